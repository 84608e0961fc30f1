// Nonpaged pool of the simulated machine: tagged blocks with accounting, a leak report
// and fault injection. New blocks are filled with 0xCD so that code relying on zeroed
// pool without zeroing it itself is caught.
#include "qorsim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qorsim {

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
    std::lock_guard<std::mutex> lock(mutex_);
    ++attempts_;
    const bool fail = (fail_nth_at_ != 0 && attempts_ == fail_nth_at_) ||
                      (fail_from_at_ != 0 && attempts_ >= fail_from_at_);
    if (fail) {
        ++failures_;
        return nullptr;
    }
    // A zero-byte request still yields a distinct block, as the NT pool does.
    void *p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        return nullptr;
    std::memset(p, 0xCD, size == 0 ? 1 : size);
    live_[p] = PoolBlock{p, size, tag, attempts_};
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
    std::memset(address, 0xDD, it->second.size); // freed memory must not be read again
    std::free(address);
    live_.erase(it);
    return true;
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
        std::snprintf(line, sizeof line, "leaked pool block #%llu: %zu bytes, tag '%s'\n",
                      static_cast<unsigned long long>(block.serial), block.size,
                      tag_text(block.tag).c_str());
        out += line;
    }
    return out;
}

void Pool::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &[address, block] : live_)
        std::free(address);
    live_.clear();
    attempts_ = failures_ = fail_nth_at_ = fail_from_at_ = 0;
}

} // namespace qorsim

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, ULONG NumberOfBytes, ULONG Tag)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        qorsim::machine().verifier.violation("ExAllocatePoolWithTag above DISPATCH_LEVEL");
    return qorsim::machine().pool.allocate(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI ExFreePool(PVOID P)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        qorsim::machine().verifier.violation("ExFreePool above DISPATCH_LEVEL");
    qorsim::machine().pool.free(P);
}

} // extern "C"
