// NT 4's address space on i386, owned by the simulator: user space below 0x7FFF0000 for
// everything a simulated program sees (section views, VirtualAlloc blocks, program
// stacks), system space at and above 0x80000000 for the kernel's memory (the window onto
// physical RAM where contiguous blocks live, nonpaged pool, device objects, system
// buffers, mapped images). The simulator reserves its regions at fixed addresses the first
// time it needs memory, so the same scenario gets the same addresses on every host and
// every run, whether the 32-bit program runs natively or under qemu-i386. A region that
// cannot be had at its address (a host mapping already there) stops the program at once
// with a message naming the range: the simulator never maps over the host's memory.
//
// The host's own memory (its executable, heap, libraries and thread stacks) lies outside
// these regions: natively between the regions' ends, under qemu-i386 below 0x40000000.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorsim {

static_assert(sizeof(void *) == 4, "the simulator runs 32-bit programs only");

// NT 4's boundaries: MM_LOWEST_USER_ADDRESS, MmHighestUserAddress, MmUserProbeAddress
// (the first byte no user-mode probe passes) and MmSystemRangeStart.
constexpr uint32_t kLowestUserAddress = 0x00010000;
constexpr uint32_t kHighestUserAddress = 0x7FFEFFFF;
constexpr uint32_t kUserProbeAddress = 0x7FFF0000;
constexpr uint32_t kSystemRangeStart = 0x80000000;

// The regions the simulator reserves.
struct AddressRegion {
    uint32_t base;
    uint32_t bytes;
    const char *name;
    uint32_t end() const { return base + bytes; }
};
// Simulated programs' memory: views, private allocations, stacks.
constexpr AddressRegion kUserRegion{0x60000000, kUserProbeAddress - 0x60000000, "user space"};
// Physical RAM as the kernel sees it: kernel address = 0x80000000 + physical address, as
// NT's own mapping of low physical memory. Bounds the simulated RAM at 512 MB.
constexpr AddressRegion kRamRegion{kSystemRangeStart, 0x20000000, "physical memory window"};
// Nonpaged pool, device objects and I/O manager's system buffers.
constexpr AddressRegion kPoolRegion{0xA0000000, 0x10000000, "nonpaged pool"};
// Page-granular system ranges: driver images, mapped device memory.
constexpr AddressRegion kSystemPteRegion{0xB0000000, 0x10000000, "system ranges"};

inline bool in_user_space(uintptr_t address, size_t bytes)
{
    return address >= kLowestUserAddress && bytes <= kUserProbeAddress &&
           address <= kUserProbeAddress - bytes;
}
inline bool in_system_space(uintptr_t address) { return address >= kSystemRangeStart; }

// ---- user space ------------------------------------------------------------------------
// Address space of `bytes` (rounded up to whole pages) at a multiple of `alignment` (a
// power of two, at least a page), first fit from the bottom; reserved and inaccessible
// until the caller maps it. 0 when user space is exhausted.
uintptr_t user_space_reserve(uint32_t bytes, uint32_t alignment);
// Gives a range back: its pages are unmapped and reserved again.
void user_space_release(uintptr_t address, uint32_t bytes);
// Marks a reserved range as readable and writable by the program (a mapping was made
// there) or not. A program's buffer must lie in accessible user memory.
void user_space_set_accessible(uintptr_t address, uint32_t bytes, bool accessible);
// True when every byte of [address, address + bytes) is user space that the simulator has
// mapped for a program: what NT's probe and the copy that follows it accept.
bool user_space_accessible(uintptr_t address, size_t bytes);
// Ranges of user space handed out and not yet released.
size_t user_space_ranges();
// Zeroed, readable and writable user memory that no simulated RAM backs: a program's heap
// block for buffers it hands to the I/O manager. Released with user_space_release; 0 when
// user space is exhausted.
uintptr_t user_space_allocate(uint32_t bytes);

// ---- system space ----------------------------------------------------------------------
// The physical-memory window: the RAM object is mapped here (at most kRamRegion.bytes).
uint8_t *ram_window();
// Whole pages of read-write system memory, page-aligned; nullptr when exhausted.
void *system_space_reserve(size_t bytes);
void system_space_release(void *address, size_t bytes);
// A block of nonpaged system memory, 16-byte aligned; nullptr when the pool region is
// exhausted (or bytes is beyond it). Blocks are not cleared.
void *system_heap_allocate(size_t bytes);
void system_heap_free(void *address);

// ---- program threads ---------------------------------------------------------------------
// A thread of a simulated program: like std::thread, but its stack lies in user space, so
// the program's locals are buffers NT's probes accept. The callable runs inside no
// process: enter one with InProcess. Joined by join() or by the destructor.
class UserThread {
public:
    UserThread() = default;
    template <class F> explicit UserThread(F &&f) { start(new Body<F>(static_cast<F &&>(f))); }
    ~UserThread();
    UserThread(UserThread &&other) noexcept;
    UserThread &operator=(UserThread &&other) noexcept;
    UserThread(const UserThread &) = delete;
    UserThread &operator=(const UserThread &) = delete;
    bool joinable() const { return started_; }
    void join();

    static constexpr uint32_t kStackBytes = 1u << 20; // NT's default stack reserve

private:
    struct BodyBase {
        virtual ~BodyBase() = default;
        virtual void run() = 0;
    };
    template <class F> struct Body : BodyBase {
        explicit Body(F &&f) : f_(static_cast<F &&>(f)) {}
        void run() override { f_(); }
        F f_;
    };
    static void *entry(void *body);
    void start(BodyBase *body);
    unsigned long thread_ = 0;
    uintptr_t stack_ = 0;
    bool started_ = false;
};

// Runs `main` (argc, argv) on a user-space stack of `stack_bytes` and returns its result:
// for test programs whose test bodies act as simulated programs on their own thread.
int run_on_user_stack(int (*main)(int, char **), int argc, char **argv, uint32_t stack_bytes);

} // namespace qorsim
