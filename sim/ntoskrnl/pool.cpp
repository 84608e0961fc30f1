// Nonpaged pool of the simulated machine: tagged blocks with accounting, a leak report
// and fault injection. New blocks are filled with 0xCD so that code relying on zeroed
// pool without zeroing it itself is caught, and guarded behind their end so that a write
// past it is caught when the block is freed.
#include "qorsim.h"
#include "image_context.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QOR_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define QOR_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define QOR_POISON(p, n) ((void)(p), (void)(n))
#define QOR_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace qorsim {

namespace {
constexpr size_t kQuarantineBlocks = 256;
// Bytes behind every block, filled with a pattern and checked when the block is freed, as
// the verifier's special pool finds a write past the end of an allocation.
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuardFill = 0xAB;
}

namespace {
std::string tag_text(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return s;
}
} // namespace

void *Pool::allocate(POOL_TYPE, size_t size, ULONG tag)
{
    std::string site = image_caller(); // a leak report names the image's call
    std::lock_guard<std::mutex> lock(mutex_);
    ++attempts_;
    const bool fail = (fail_nth_at_ != 0 && attempts_ == fail_nth_at_) ||
                      (fail_from_at_ != 0 && attempts_ >= fail_from_at_);
    if (fail) {
        ++failures_;
        return nullptr;
    }
    // A zero-byte request still yields a distinct block, as the NT pool does.
    const size_t bytes = size == 0 ? 1 : size;
    // Nonpaged pool lies in system space, at the same addresses on every run.
    if (bytes > SIZE_MAX - kGuardBytes)
        return nullptr;
    void *p = system_heap_allocate(bytes + kGuardBytes);
    if (p == nullptr)
        return nullptr;
    std::memset(p, 0xCD, bytes);
    std::memset(static_cast<uint8_t *>(p) + bytes, kGuardFill, kGuardBytes);
    live_[p] = PoolBlock{p, size, tag, attempts_, std::move(site)};
    return p;
}

bool Pool::free(void *address)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = live_.find(address);
    if (it == live_.end()) {
        lock.unlock();
        char text[64];
        std::snprintf(text, sizeof text, "ExFreePool of %p, which is no live pool block",
                      address);
        machine().verifier.violation(text);
        return false;
    }
    const size_t size = it->second.size == 0 ? 1 : it->second.size;
    const auto *guard = static_cast<const uint8_t *>(address) + size;
    char overrun[128] = "";
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardFill) {
            std::snprintf(overrun, sizeof overrun, "a write past the end of a pool block of %zu bytes, tag '%s'",
                          it->second.size, tag_text(it->second.tag).c_str());
            break;
        }
    }
    std::memset(address, 0xDD, size); // freed memory must not be read again
    QOR_POISON(address, size);
    live_.erase(it);
    quarantine_.emplace_back(address, size);
    release_quarantine(kQuarantineBlocks);
    lock.unlock();
    if (overrun[0] != 0)
        machine().verifier.violation(overrun);
    return true;
}

void Pool::release_quarantine(size_t keep)
{
    if (quarantine_.size() <= keep)
        return;
    const size_t drop = quarantine_.size() - keep;
    for (size_t i = 0; i < drop; ++i) {
        QOR_UNPOISON(quarantine_[i].first, quarantine_[i].second);
        system_heap_free(quarantine_[i].first);
    }
    quarantine_.erase(quarantine_.begin(), quarantine_.begin() + static_cast<std::ptrdiff_t>(drop));
}

void Pool::fail_nth(uint64_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fail_nth_at_ = n == 0 ? 0 : attempts_ + n;
}

void Pool::fail_from(uint64_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fail_from_at_ = n == 0 ? 0 : attempts_ + n;
}

void Pool::clear_faults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    fail_nth_at_ = fail_from_at_ = 0;
}

uint64_t Pool::allocations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
}

uint64_t Pool::failures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

size_t Pool::bytes_to_block_end(const void *address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.upper_bound(const_cast<void *>(address));
    if (it == live_.begin())
        return 0;
    --it;
    const auto *base = static_cast<const uint8_t *>(it->first);
    const auto *at = static_cast<const uint8_t *>(address);
    return at < base + it->second.size ? size_t(base + it->second.size - at) : 0;
}

std::vector<PoolBlock> Pool::live_blocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PoolBlock> out;
    for (const auto &[address, block] : live_)
        out.push_back(block);
    return out;
}

size_t Pool::live_bytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t total = 0;
    for (const auto &[address, block] : live_)
        total += block.size;
    return total;
}

std::string Pool::leak_report() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto &[address, block] : live_) {
        char line[128];
        std::snprintf(line, sizeof line, "leaked pool block #%llu: %zu bytes, tag '%s'",
                      static_cast<unsigned long long>(block.serial), block.size,
                      tag_text(block.tag).c_str());
        out += line;
        out += block.site.empty() ? "\n" : ", allocated " + block.site + "\n";
    }
    return out;
}

void Pool::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &[address, block] : live_)
        system_heap_free(address);
    live_.clear();
    release_quarantine(0);
    attempts_ = failures_ = fail_nth_at_ = fail_from_at_ = 0;
}

} // namespace qorsim

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, ULONG NumberOfBytes, ULONG Tag)
{
    // Pool types as the DDK numbers them: 0 nonpaged, 1 paged, 2 nonpaged must-succeed,
    // 4 and 5 the cache-aligned nonpaged and paged pools, 6 cache-aligned must-succeed;
    // with 8 added the allocation charges the process's quota. Paged pool may fault, so it
    // is taken only below DISPATCH_LEVEL; must-succeed pool stops the machine when it is
    // short and is the kernel's own; quota charging belongs to ExAllocatePoolWithQuotaTag
    // in the context of the process that is charged, not to a driver's own blocks.
    constexpr ULONG kPaged = 1, kMustSucceed = 2, kCacheAligned = 4, kQuota = 8;
    const ULONG type = static_cast<ULONG>(PoolType);
    const KIRQL irql = qorsim::current_irql();
    if (irql > DISPATCH_LEVEL)
        qorsim::machine().verifier.violation("ExAllocatePoolWithTag above DISPATCH_LEVEL");
    if (type & ~(kPaged | kMustSucceed | kCacheAligned | kQuota) || (type & kPaged && type & kMustSucceed))
        qorsim::machine().verifier.violation("ExAllocatePoolWithTag of pool type " + std::to_string(type) +
                                             ", which is no pool type");
    else if (type & kMustSucceed)
        qorsim::machine().verifier.violation("ExAllocatePoolWithTag of must-succeed pool");
    else if (type & kQuota)
        qorsim::machine().verifier.violation("ExAllocatePoolWithTag with quota charging");
    if ((type & kPaged) && irql >= DISPATCH_LEVEL)
        qorsim::machine().verifier.violation("ExAllocatePoolWithTag of paged pool at DISPATCH_LEVEL or above");
    return qorsim::machine().pool.allocate(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI ExFreePool(PVOID P)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        qorsim::machine().verifier.violation("ExFreePool above DISPATCH_LEVEL");
    qorsim::machine().pool.free(P);
}

} // extern "C"
