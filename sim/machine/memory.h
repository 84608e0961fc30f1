// Simulated physical memory, user processes with their views, the handle table and named
// events of the simulated kernel.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qorsim {

constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kAllocationGranularity = 0x10000; // of views, as on NT

// RAM as one shared-memory object. The kernel sees all of it at one mapping (kernel
// address = base + physical address); each view a process makes is another mapping of
// the same pages, so a DMA engine, the kernel and any number of user views see the
// same bytes at different addresses.
class PhysicalMemory {
public:
    ~PhysicalMemory();
    void configure(uint32_t bytes); // before first use; default 192 MB
    uint32_t size() const { return size_; }

    uint8_t *kernel_base();
    uint8_t *phys_to_kernel(uint32_t phys);
    bool kernel_to_phys(const void *kernel, uint32_t *phys);

    // Physically contiguous, page-aligned allocation below `highest` (exclusive).
    void *allocate_contiguous(uint32_t bytes, uint64_t highest);
    bool free_contiguous(void *kernel);
    // The physical range of the contiguous block at `kernel`; false when none starts there.
    bool block_range(const void *kernel, uint32_t *phys, uint32_t *bytes) const;
    // Test knob: no contiguous run larger than this many bytes can be found (0: no limit).
    void set_contiguous_limit(uint32_t bytes);
    std::vector<uint32_t> contiguous_requests() const; // sizes asked for since reset
    size_t contiguous_blocks() const;

    // A device's bus-master access by physical address; false outside RAM.
    bool dma_write(uint32_t phys, const void *data, uint32_t bytes);
    bool dma_read(uint32_t phys, void *data, uint32_t bytes);

    // A new mapping of [phys, phys + bytes) (page-aligned), or null.
    uint8_t *map_view(uint32_t phys, uint32_t bytes);
    void unmap_view(uint8_t *address, uint32_t bytes);

    void reset(); // frees every contiguous block and clears the knobs

    // ---- page runs for user memory (private allocations of processes) ----
    // A run of `bytes` (whole pages) of RAM that is no contiguous block for the kernel:
    // not counted in contiguous_requests, not filled. Returns its physical start, or
    // false when RAM is exhausted.
    bool take_run(uint32_t bytes, uint32_t *phys);
    void give_back_run(uint32_t phys);
    // Maps [phys, phys + bytes) at exactly `at` (page-aligned), replacing what was there.
    bool map_fixed(void *at, uint32_t phys, uint32_t bytes);

private:
    void ensure();
    mutable std::mutex mutex_;
    int fd_ = -1;
    uint32_t size_ = 192u << 20;
    uint8_t *kernel_ = nullptr;
    std::map<uint32_t, uint32_t> blocks_; // physical start -> bytes
    std::vector<uint32_t> requests_;
    uint32_t limit_ = 0;
};

// A simulated user process: an address space made of views of physical memory.
struct View {
    uint32_t phys;  // first mapped physical byte (allocation-granularity aligned)
    uint32_t bytes; // mapped length (whole pages)
};

class Process {
public:
    Process(uint32_t id, std::string name) : id_(id), name_(std::move(name)) {}
    uint32_t id() const { return id_; }
    const std::string &name() const { return name_; }

    // Views by base address; the process owns and unmaps them when it ends.
    std::map<uintptr_t, View> views() const;
    bool contains(uintptr_t address, uint32_t bytes) const;
    uintptr_t add_view(uint32_t phys, uint32_t bytes);
    bool remove_view(uintptr_t address); // any address inside the view
    ~Process();
    // The end of the address space: every view and private allocation goes. The process
    // object itself lives on while the kernel holds references to it.
    void rundown();

    // ---- private allocations: user memory whose pages lie scattered in RAM ----
    // `bytes` of address space backed by pages of simulated RAM taken in a scattered
    // order, so that consecutive user pages are not consecutive physical pages. Mapped:
    // the process (and the test) reads and writes the bytes through the address.
    // PageNumbersOnly: the address range is reserved and every page has a physical page
    // number, but nothing is mapped for the host to touch; with `ram_pages` below the
    // page count the physical pages repeat (a large buffer over a small RAM), which is
    // enough for whatever only needs the page numbers, such as locking it into an MDL.
    // Returns the user address, or 0.
    enum class Backing { Mapped, PageNumbersOnly };
    uintptr_t allocate_private(uint32_t bytes, Backing backing = Backing::Mapped, uint32_t ram_pages = 0);
    bool free_private(uintptr_t address); // the address allocate_private returned
    // The physical page number behind a user address, in a view or a private allocation.
    bool translate(uintptr_t address, uint32_t *page) const;

private:
    struct Private {
        uint32_t bytes;
        uint32_t ram_phys;   // the run of RAM the pages come from
        std::vector<uint32_t> pages; // physical page number per user page
    };
    void release_private(uintptr_t address, const Private &allocation);

    uint32_t id_;
    std::string name_;
    mutable std::mutex mutex_;
    std::map<uintptr_t, View> views_;
    std::map<uintptr_t, Private> privates_;
};

class ProcessTable {
public:
    Process &create(std::string name);
    void end(Process &process); // unmaps its views, closes its handles
    Process &system();          // the process of kernel threads and driver entry
    // ObReferenceObject and ObDereferenceObject of a process object: an ended process
    // whose object is still referenced stays, without its address space, until the
    // last reference goes. False for a pointer that is no process of this table.
    bool reference(Process *process);
    bool dereference(Process *process);
    std::vector<Process *> all(); // the system process first, then the others by age
    Process *current();         // the calling thread's process (system when none was set)
    void set_current(Process *process);
    // KeAttachProcess and KeDetachProcess: the thread runs in another process's context
    // until it detaches. False: attached already (attach) or not attached (detach).
    bool attach(Process *process);
    bool detach();
    size_t count() const;
    void reset();

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Process>> processes_;
    std::vector<std::unique_ptr<Process>> ended_; // objects still referenced
    std::map<const Process *, int> references_;
    std::unique_ptr<Process> system_;
    uint32_t next_id_ = 8;
};

// Runs the enclosing scope in the context of a process, as a thread of it.
class InProcess {
public:
    explicit InProcess(Process &process);
    ~InProcess();
    InProcess(const InProcess &) = delete;
    InProcess &operator=(const InProcess &) = delete;

private:
    Process *previous_;
};

// Kernel handles to sections, events and files. A handle belongs to the process in whose
// context it was created (NT 4 has no kernel handle table: a driver's handle made in a
// request's context lands in the calling process's table) and is valid only there; a
// process's handles are closed when it ends. Values are unique machine-wide, so that a
// handle used in the wrong process is caught instead of naming another object there.
enum class ObjectKind { Section, Event, File };

class HandleTable {
public:
    // `access` is what the opener was granted; the object's uses check it as NT does.
    HANDLE open(ObjectKind kind, void *object, Process *owner, ACCESS_MASK access = GENERIC_ALL);
    // The object behind a handle of `process`; false for a handle it does not hold.
    bool lookup(HANDLE handle, Process *process, ObjectKind *kind, void **object,
                ACCESS_MASK *access = nullptr) const;
    enum class CloseResult { Closed, NotOpen, OtherProcess };
    // Closes a handle of `process`; a handle of another process stays open.
    CloseResult close(HANDLE handle, Process *process, Process **owner = nullptr);
    void close_all(Process *owner);
    size_t open_count(const Process *owner) const;
    size_t open_count() const;
    std::string leak_report() const;
    void reset();

private:
    struct Entry {
        ObjectKind kind;
        void *object;
        Process *owner;
        ACCESS_MASK access;
    };
    mutable std::mutex mutex_;
    std::map<uintptr_t, Entry> entries_;
    uintptr_t next_ = 0x100;
};

// Named notification events under \BaseNamedObjects. An event lives while kernel handles
// or user references to it remain.
class EventDirectory {
public:
    // IoCreateNotificationEvent: creates or opens the event; takes one kernel reference.
    PKEVENT create_or_open(const std::u16string &name, bool *created);
    // A user program opens an existing event by its name without the directory part.
    PKEVENT open_user(const std::u16string &name);
    void release(PKEVENT event); // drops one reference (handle close or user close)
    PKEVENT find(const std::u16string &name) const;
    std::vector<std::u16string> names() const;
    size_t count() const;
    void reset();

private:
    struct Entry {
        std::unique_ptr<KEVENT> event;
        std::u16string name;
        int references;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Pulses and waits. A waiter is released by a KeSetEvent that happens while it waits,
// even when KeClearEvent follows at once, and by an event that is signalled when it
// starts to wait.
bool wait_event_for(PKEVENT event, uint64_t timeout_ms);
size_t event_waiters(PKEVENT event);
uint64_t event_set_count(PKEVENT event);

} // namespace qorsim
