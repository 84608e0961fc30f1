// NT 4's address space on i386: the simulator's fixed regions, the first-fit allocators
// over them and the stacks of program threads.
#include "address_space.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace qorsim {

namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kHeapGrain = 16;

uint32_t RoundUp(uint64_t bytes, uint32_t grain)
{
    const uint64_t r = (bytes + grain - 1) / grain * grain;
    return r > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(r);
}

// Free ranges of one region, first fit from the bottom: the same sequence of requests
// gets the same addresses whatever happened before, once everything was given back.
class RangeAllocator {
public:
    explicit RangeAllocator(const AddressRegion &region) { free_[region.base] = region.bytes; }

    uint32_t take(uint32_t bytes, uint32_t alignment)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = free_.begin(); it != free_.end(); ++it) {
            const uint64_t start = (uint64_t(it->first) + alignment - 1) & ~uint64_t(alignment - 1);
            const uint64_t end = uint64_t(it->first) + it->second;
            if (start + bytes > end)
                continue;
            const uint32_t base = it->first;
            free_.erase(it);
            if (start > base)
                free_[base] = static_cast<uint32_t>(start - base);
            if (start + bytes < end)
                free_[static_cast<uint32_t>(start + bytes)] = static_cast<uint32_t>(end - start - bytes);
            taken_[static_cast<uint32_t>(start)] = Taken{bytes, false};
            return static_cast<uint32_t>(start);
        }
        return 0;
    }

    // The length of the range taken at `address`, 0 when none starts there.
    uint32_t give(uint32_t address)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto t = taken_.find(address);
        if (t == taken_.end())
            return 0;
        const uint32_t bytes = t->second.bytes;
        taken_.erase(t);
        uint32_t base = address, length = bytes;
        auto next = free_.lower_bound(base);
        if (next != free_.end() && next->first == base + length) {
            length += next->second;
            next = free_.erase(next);
        }
        if (next != free_.begin()) {
            auto prev = std::prev(next);
            if (prev->first + prev->second == base) {
                base = prev->first;
                length += prev->second;
                free_.erase(prev);
            }
        }
        free_[base] = length;
        return bytes;
    }

    uint32_t length_at(uint32_t address) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto t = taken_.find(address);
        return t == taken_.end() ? 0 : t->second.bytes;
    }

    void set_accessible(uint32_t address, bool accessible)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto t = taken_.find(address);
        if (t != taken_.end())
            t->second.accessible = accessible;
    }

    bool accessible(uintptr_t address, size_t bytes) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Consecutive accessible ranges may together hold the buffer.
        uint64_t at = address;
        const uint64_t end = uint64_t(address) + bytes;
        while (at < end) {
            auto t = taken_.upper_bound(static_cast<uint32_t>(at));
            if (t == taken_.begin())
                return false;
            --t;
            if (!t->second.accessible || at >= uint64_t(t->first) + t->second.bytes)
                return false;
            at = uint64_t(t->first) + t->second.bytes;
        }
        return true;
    }

    size_t taken() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return taken_.size();
    }

private:
    struct Taken {
        uint32_t bytes;
        bool accessible;
    };
    mutable std::mutex mutex_;
    std::map<uint32_t, uint32_t> free_;
    std::map<uint32_t, Taken> taken_;
};

[[noreturn]] void CannotReserve(const AddressRegion &region)
{
    std::fprintf(stderr,
                 "qorsim: cannot reserve NT 4 %s at 0x%08X-0x%08X: the host has a mapping there "
                 "(the simulated machine needs that range for itself)\n",
                 region.name, region.base, region.end() - 1);
    std::fflush(stderr);
    std::_Exit(70);
}

// Reserves a region at its own address, or stops. MAP_FIXED_NOREPLACE never replaces a
// host mapping; where it is only a hint (older kernels, qemu-i386) a mapping that lands
// elsewhere tells that the range was taken.
void Reserve(const AddressRegion &region, int protection)
{
    void *want = reinterpret_cast<void *>(uintptr_t(region.base));
    void *got = mmap(want, region.bytes, protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE,
                     -1, 0);
    if (got == want)
        return;
    if (got != MAP_FAILED)
        munmap(got, region.bytes);
    CannotReserve(region);
}

// Makes pages inaccessible again without giving the addresses back to the host.
void Rereserve(uintptr_t address, uint32_t bytes)
{
    void *p = mmap(reinterpret_cast<void *>(address), bytes, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("qorsim: reserving user space again");
        std::abort();
    }
}

struct Regions {
    Regions() : user(kUserRegion), pool(kPoolRegion), ptes(kSystemPteRegion)
    {
        Reserve(kUserRegion, PROT_NONE);
        Reserve(kRamRegion, PROT_NONE);
        Reserve(kPoolRegion, PROT_READ | PROT_WRITE);
        Reserve(kSystemPteRegion, PROT_NONE);
    }
    RangeAllocator user, pool, ptes;
};

Regions &regions()
{
    static Regions *r = new Regions; // never destroyed: mappings outlive every user
    return *r;
}

} // namespace

uintptr_t user_space_reserve(uint32_t bytes, uint32_t alignment)
{
    const uint32_t need = RoundUp(bytes, kPage);
    if (need == 0)
        return 0;
    return regions().user.take(need, alignment < kPage ? kPage : alignment);
}

void user_space_release(uintptr_t address, uint32_t bytes)
{
    const uint32_t taken = regions().user.length_at(static_cast<uint32_t>(address));
    if (taken == 0)
        return;
    (void)bytes;
    Rereserve(address, taken);
    regions().user.give(static_cast<uint32_t>(address));
}

void user_space_set_accessible(uintptr_t address, uint32_t, bool accessible)
{
    regions().user.set_accessible(static_cast<uint32_t>(address), accessible);
}

bool user_space_accessible(uintptr_t address, size_t bytes)
{
    if (!in_user_space(address, bytes))
        return false;
    return bytes == 0 || regions().user.accessible(address, bytes);
}

size_t user_space_ranges() { return regions().user.taken(); }

uintptr_t user_space_allocate(uint32_t bytes)
{
    const uint32_t need = RoundUp(bytes, kPage);
    const uintptr_t at = need == 0 ? 0 : user_space_reserve(need, 0x10000);
    if (at == 0)
        return 0;
    if (mmap(reinterpret_cast<void *>(at), need, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
             0) == MAP_FAILED) {
        user_space_release(at, need);
        return 0;
    }
    user_space_set_accessible(at, need, true);
    return at;
}

uint8_t *ram_window()
{
    regions();
    return reinterpret_cast<uint8_t *>(uintptr_t(kRamRegion.base));
}

void *system_space_reserve(size_t bytes)
{
    if (bytes == 0 || bytes > kSystemPteRegion.bytes)
        return nullptr;
    const uint32_t need = RoundUp(bytes, kPage);
    const uint32_t at = regions().ptes.take(need, kPage);
    if (at == 0)
        return nullptr;
    void *p = mmap(reinterpret_cast<void *>(uintptr_t(at)), need, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (p == MAP_FAILED) {
        regions().ptes.give(at);
        return nullptr;
    }
    return p;
}

void system_space_release(void *address, size_t)
{
    const auto at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
    const uint32_t taken = regions().ptes.length_at(at);
    if (taken == 0)
        return;
    Rereserve(at, taken);
    regions().ptes.give(at);
}

void *system_heap_allocate(size_t bytes)
{
    if (bytes > kPoolRegion.bytes)
        return nullptr;
    const uint32_t need = RoundUp(bytes == 0 ? 1 : bytes, kHeapGrain);
    const uint32_t at = regions().pool.take(need, kHeapGrain);
    return at == 0 ? nullptr : reinterpret_cast<void *>(uintptr_t(at));
}

void system_heap_free(void *address)
{
    if (address != nullptr)
        regions().pool.give(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address)));
}

// ---- program threads ---------------------------------------------------------------------
namespace {
// A guard page below every stack, as NT leaves below a thread's reserve.
constexpr uint32_t kGuard = kPage;

uintptr_t TakeStack(uint32_t bytes)
{
    const uintptr_t base = user_space_allocate(bytes + kGuard);
    if (base == 0) {
        std::fprintf(stderr, "qorsim: user space exhausted: no stack for a program thread\n");
        std::abort();
    }
    mprotect(reinterpret_cast<void *>(base), kGuard, PROT_NONE);
    return base;
}

pthread_t StartOnStack(uintptr_t base, uint32_t bytes, void *(*entry)(void *), void *argument)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, reinterpret_cast<void *>(base + kGuard), bytes);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, entry, argument);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "qorsim: cannot start a program thread (error %d)\n", error);
        std::abort();
    }
    return thread;
}
} // namespace

void *UserThread::entry(void *body)
{
    auto *b = static_cast<BodyBase *>(body);
    b->run();
    delete b;
    return nullptr;
}

void UserThread::start(BodyBase *body)
{
    stack_ = TakeStack(kStackBytes);
    thread_ = static_cast<unsigned long>(StartOnStack(stack_, kStackBytes, &UserThread::entry, body));
    started_ = true;
}

void UserThread::join()
{
    if (!started_)
        return;
    pthread_join(static_cast<pthread_t>(thread_), nullptr);
    user_space_release(stack_, kStackBytes + kGuard);
    started_ = false;
    stack_ = 0;
}

UserThread::~UserThread() { join(); }

UserThread::UserThread(UserThread &&other) noexcept
    : thread_(other.thread_), stack_(other.stack_), started_(other.started_)
{
    other.started_ = false;
    other.stack_ = 0;
}

UserThread &UserThread::operator=(UserThread &&other) noexcept
{
    if (this != &other) {
        join();
        thread_ = other.thread_;
        stack_ = other.stack_;
        started_ = other.started_;
        other.started_ = false;
        other.stack_ = 0;
    }
    return *this;
}

namespace {
struct MainCall {
    int (*main)(int, char **);
    int argc;
    char **argv;
    int result;
};
void *RunMain(void *call)
{
    auto *c = static_cast<MainCall *>(call);
    c->result = c->main(c->argc, c->argv);
    return nullptr;
}
} // namespace

int run_on_user_stack(int (*main)(int, char **), int argc, char **argv, uint32_t stack_bytes)
{
    const uint32_t bytes = RoundUp(stack_bytes, kPage);
    const uintptr_t base = TakeStack(bytes);
    MainCall call{main, argc, argv, 0};
    pthread_t thread = StartOnStack(base, bytes, &RunMain, &call);
    pthread_join(thread, nullptr);
    user_space_release(base, bytes + kGuard);
    return call.result;
}

} // namespace qorsim
