// Physical memory, processes, handles and named events of the simulated kernel, with the
// kernel operations that use them: contiguous memory, the physical-memory section and
// its views, handle close, named notification events.
#include "qorsim.h"
#include "address_space.h"
#include "virtual_time.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qorsim {

namespace {
constexpr uint32_t kFirstAllocatablePage = 0x100000; // below 1 MB belongs to the firmware
uint32_t PageRound(uint32_t bytes) { return (bytes + kPageSize - 1) & ~(kPageSize - 1); }

// The object behind the "\Device\PhysicalMemory" section handle.
struct SectionObject {
    int references = 0;
} g_physical_memory_section;
} // namespace

// ---- physical memory ---------------------------------------------------------------------
PhysicalMemory::~PhysicalMemory()
{
    // The window stays reserved for the next machine.
    if (kernel_ != nullptr)
        mmap(kernel_, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    if (fd_ >= 0)
        close(fd_);
}

void PhysicalMemory::configure(uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (kernel_ == nullptr)
        size_ = std::min(PageRound(bytes), kRamRegion.bytes);
}

void PhysicalMemory::ensure()
{
    if (kernel_ != nullptr)
        return;
    fd_ = memfd_create("qorsim-ram", 0);
    if (fd_ < 0 || ftruncate(fd_, size_) != 0) {
        std::perror("qorsim: simulated RAM");
        std::abort();
    }
    // The kernel sees RAM at its window in system space: kernel address = 0x80000000 +
    // physical address, the same on every host.
    void *p = mmap(ram_window(), size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd_, 0);
    if (p == MAP_FAILED) {
        std::perror("qorsim: kernel mapping of simulated RAM");
        std::abort();
    }
    kernel_ = static_cast<uint8_t *>(p);
}

uint8_t *PhysicalMemory::kernel_base()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ensure();
    return kernel_;
}

uint8_t *PhysicalMemory::phys_to_kernel(uint32_t phys) { return phys < size_ ? kernel_base() + phys : nullptr; }

bool PhysicalMemory::kernel_to_phys(const void *kernel, uint32_t *phys)
{
    const uint8_t *base = kernel_base();
    const auto *p = static_cast<const uint8_t *>(kernel);
    if (p < base || p >= base + size_)
        return false;
    *phys = static_cast<uint32_t>(p - base);
    return true;
}

void *PhysicalMemory::allocate_contiguous(uint32_t bytes, uint64_t highest)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ensure();
    requests_.push_back(bytes);
    const uint32_t need = PageRound(bytes);
    if (need == 0 || (limit_ != 0 && need > limit_))
        return nullptr;
    const uint64_t top = std::min<uint64_t>(highest, size_);
    // First fit, from the bottom of allocatable memory.
    uint32_t candidate = kFirstAllocatablePage;
    for (const auto &[start, length] : blocks_) {
        if (uint64_t(candidate) + need <= start)
            break;
        candidate = std::max(candidate, start + length);
    }
    if (uint64_t(candidate) + need > top)
        return nullptr;
    blocks_[candidate] = need;
    std::memset(kernel_ + candidate, 0xCD, need); // contiguous memory is not zeroed
    return kernel_ + candidate;
}

bool PhysicalMemory::free_contiguous(void *kernel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (kernel_ == nullptr || kernel < kernel_ || kernel >= kernel_ + size_)
        return false;
    return blocks_.erase(static_cast<uint32_t>(static_cast<uint8_t *>(kernel) - kernel_)) != 0;
}

bool PhysicalMemory::block_range(const void *kernel, uint32_t *phys, uint32_t *bytes) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto *p = static_cast<const uint8_t *>(kernel);
    if (kernel_ == nullptr || p < kernel_ || p >= kernel_ + size_)
        return false;
    auto it = blocks_.find(static_cast<uint32_t>(p - kernel_));
    if (it == blocks_.end())
        return false;
    *phys = it->first;
    *bytes = it->second;
    return true;
}

void PhysicalMemory::set_contiguous_limit(uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ = bytes;
}

std::vector<uint32_t> PhysicalMemory::contiguous_requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t PhysicalMemory::contiguous_blocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
}

bool PhysicalMemory::dma_write(uint32_t phys, const void *data, uint32_t bytes)
{
    if (uint64_t(phys) + bytes > size_)
        return false;
    std::memcpy(kernel_base() + phys, data, bytes);
    return true;
}

bool PhysicalMemory::dma_read(uint32_t phys, void *data, uint32_t bytes)
{
    if (uint64_t(phys) + bytes > size_)
        return false;
    std::memcpy(data, kernel_base() + phys, bytes);
    return true;
}

uint8_t *PhysicalMemory::map_view(uint32_t phys, uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ensure();
    if (bytes == 0 || uint64_t(phys) + bytes > size_ || phys % kPageSize != 0)
        return nullptr;
    // Views start at the allocation granularity, in user space.
    const uintptr_t at = user_space_reserve(PageRound(bytes), kAllocationGranularity);
    if (at == 0)
        return nullptr;
    void *p = mmap(reinterpret_cast<void *>(at), PageRound(bytes), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                   fd_, phys);
    if (p == MAP_FAILED) {
        user_space_release(at, PageRound(bytes));
        return nullptr;
    }
    user_space_set_accessible(at, PageRound(bytes), true);
    return static_cast<uint8_t *>(p);
}

void PhysicalMemory::unmap_view(uint8_t *address, uint32_t bytes)
{
    user_space_release(reinterpret_cast<uintptr_t>(address), PageRound(bytes));
}

void PhysicalMemory::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.clear();
    requests_.clear();
    limit_ = 0;
}

// ---- processes ---------------------------------------------------------------------------
std::map<uintptr_t, View> Process::views() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return views_;
}

bool Process::contains(uintptr_t address, uint32_t bytes) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = views_.upper_bound(address);
    if (it == views_.begin())
        return false;
    --it;
    return address + uint64_t(bytes) <= it->first + uint64_t(it->second.bytes);
}

uintptr_t Process::add_view(uint32_t phys, uint32_t bytes)
{
    uint8_t *p = machine().memory.map_view(phys, bytes);
    if (p == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    views_[reinterpret_cast<uintptr_t>(p)] = View{phys, PageRound(bytes)};
    return reinterpret_cast<uintptr_t>(p);
}

bool Process::remove_view(uintptr_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = views_.upper_bound(address);
    if (it == views_.begin())
        return false;
    --it;
    if (address >= it->first + it->second.bytes)
        return false;
    machine().memory.unmap_view(reinterpret_cast<uint8_t *>(it->first), it->second.bytes);
    views_.erase(it);
    return true;
}

Process::~Process() { rundown(); }

void Process::rundown()
{
    std::map<uintptr_t, View> views;
    std::map<uintptr_t, Private> privates;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        views.swap(views_);
        privates.swap(privates_);
    }
    for (const auto &[base, view] : views)
        machine().memory.unmap_view(reinterpret_cast<uint8_t *>(base), view.bytes);
    for (const auto &[base, allocation] : privates)
        release_private(base, allocation);
}

// ---- private allocations -------------------------------------------------------------------
bool PhysicalMemory::take_run(uint32_t bytes, uint32_t *phys)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ensure();
    const uint32_t need = PageRound(bytes);
    if (need == 0)
        return false;
    uint32_t candidate = kFirstAllocatablePage;
    for (const auto &[start, length] : blocks_) {
        if (uint64_t(candidate) + need <= start)
            break;
        candidate = std::max(candidate, start + length);
    }
    if (uint64_t(candidate) + need > size_)
        return false;
    blocks_[candidate] = need;
    *phys = candidate;
    return true;
}

void PhysicalMemory::give_back_run(uint32_t phys)
{
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.erase(phys);
}

bool PhysicalMemory::map_fixed(void *at, uint32_t phys, uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ensure();
    if (uint64_t(phys) + bytes > size_ || phys % kPageSize != 0)
        return false;
    return mmap(at, PageRound(bytes), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd_, phys) != MAP_FAILED;
}

namespace {
uint32_t Gcd(uint32_t a, uint32_t b)
{
    while (b != 0) {
        const uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}
} // namespace

uintptr_t Process::allocate_private(uint32_t bytes, Backing backing, uint32_t ram_pages)
{
    const uint32_t pages = PageRound(bytes) / kPageSize;
    if (pages == 0)
        return 0;
    const uint32_t ram = (ram_pages == 0 || ram_pages > pages) ? pages : ram_pages;
    if (backing == Backing::Mapped && ram != pages)
        return 0; // a mapped allocation has a page of RAM of its own for every page
    uint32_t run = 0;
    if (!machine().memory.take_run(ram * kPageSize, &run))
        return 0;
    // VirtualAlloc's blocks start at the allocation granularity, in user space.
    void *base = reinterpret_cast<void *>(user_space_reserve(pages * kPageSize, kAllocationGranularity));
    if (base == nullptr) {
        machine().memory.give_back_run(run);
        return 0;
    }
    // User page i takes RAM page (i * stride) mod ram, counted from the top of the run: a
    // permutation (stride and ram coprime) in which neighbours lie far apart and the
    // order is reversed, so that no two consecutive user pages are consecutive in RAM.
    uint32_t stride = 7919;
    while (Gcd(stride, ram) != 1)
        stride += 2;
    Private allocation{pages * kPageSize, run, {}};
    allocation.pages.resize(pages);
    const uint32_t firstPage = run / kPageSize;
    for (uint32_t i = 0; i < pages; ++i)
        allocation.pages[i] = firstPage + (ram - 1 - uint32_t((uint64_t(i) * stride) % ram));
    const auto address = reinterpret_cast<uintptr_t>(base);
    if (backing == Backing::Mapped) {
        for (uint32_t i = 0; i < pages; ++i) {
            if (!machine().memory.map_fixed(static_cast<uint8_t *>(base) + size_t(i) * kPageSize,
                                            allocation.pages[i] * kPageSize, kPageSize)) {
                release_private(address, allocation);
                return 0;
            }
        }
        user_space_set_accessible(address, pages * kPageSize, true);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    privates_.emplace(address, std::move(allocation));
    return address;
}

void Process::release_private(uintptr_t address, const Private &allocation)
{
    user_space_release(address, allocation.bytes);
    machine().memory.give_back_run(allocation.ram_phys);
}

bool Process::free_private(uintptr_t address)
{
    Private allocation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = privates_.find(address);
        if (it == privates_.end())
            return false;
        allocation = std::move(it->second);
        privates_.erase(it);
    }
    release_private(address, allocation);
    return true;
}

bool Process::translate(uintptr_t address, uint32_t *page) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto v = views_.upper_bound(address);
    if (v != views_.begin()) {
        --v;
        if (address < v->first + uint64_t(v->second.bytes)) {
            *page = (v->second.phys + uint32_t(address - v->first)) / kPageSize;
            return true;
        }
    }
    auto p = privates_.upper_bound(address);
    if (p != privates_.begin()) {
        --p;
        if (address < p->first + uint64_t(p->second.bytes)) {
            *page = p->second.pages[(address - p->first) / kPageSize];
            return true;
        }
    }
    return false;
}

namespace {
thread_local Process *t_process = nullptr;
thread_local bool t_attached = false;
thread_local Process *t_attached_from = nullptr;
}

Process &ProcessTable::create(std::string name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    processes_.push_back(std::make_unique<Process>(next_id_, std::move(name)));
    next_id_ += 4;
    return *processes_.back();
}

void ProcessTable::end(Process &process)
{
    // As NT's process rundown: the handles are closed in the ending process's context,
    // the Win32 ones (a device's close request reaches its driver) and the kernel ones.
    {
        InProcess in(process);
        close_user_handles(&process);
        machine().handles.close_all(&process);
    }
    process.rundown();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = processes_.begin(); it != processes_.end(); ++it) {
        if (it->get() != &process)
            continue;
        if (references_.count(&process) != 0)
            ended_.push_back(std::move(*it));
        processes_.erase(it);
        return;
    }
}

bool ProcessTable::reference(Process *process)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto *list : {&processes_, &ended_}) {
        for (const auto &p : *list) {
            if (p.get() == process) {
                ++references_[process];
                return true;
            }
        }
    }
    return false;
}

bool ProcessTable::dereference(Process *process)
{
    std::unique_ptr<Process> gone;
    std::lock_guard<std::mutex> lock(mutex_);
    auto r = references_.find(process);
    if (r == references_.end())
        return false;
    if (--r->second == 0) {
        references_.erase(r);
        for (auto it = ended_.begin(); it != ended_.end(); ++it) {
            if (it->get() == process) {
                gone = std::move(*it);
                ended_.erase(it);
                break;
            }
        }
    }
    return true;
}

Process &ProcessTable::system()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!system_)
        system_ = std::make_unique<Process>(4, "System");
    return *system_;
}

std::vector<Process *> ProcessTable::all()
{
    Process *sys = &system();
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Process *> out{sys};
    for (const auto &p : processes_)
        out.push_back(p.get());
    return out;
}

Process *ProcessTable::current() { return t_process != nullptr ? t_process : &system(); }

void ProcessTable::set_current(Process *process) { t_process = process; }

bool ProcessTable::attach(Process *process)
{
    if (t_attached)
        return false;
    t_attached = true;
    t_attached_from = t_process;
    t_process = process;
    return true;
}

bool ProcessTable::detach()
{
    if (!t_attached)
        return false;
    t_attached = false;
    t_process = t_attached_from;
    t_attached_from = nullptr;
    return true;
}

size_t ProcessTable::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return processes_.size();
}

void ProcessTable::reset()
{
    std::vector<std::unique_ptr<Process>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(processes_);
        for (auto &p : ended_)
            ended.push_back(std::move(p));
        ended_.clear();
        references_.clear();
        if (system_)
            ended.push_back(std::move(system_));
    }
    t_process = nullptr;
    t_attached = false;
    t_attached_from = nullptr;
}

// A thread inside a simulated process runs a program: it holds virtual time still while
// it runs (sim/machine/virtual_time.h).
InProcess::InProcess(Process &process) : previous_(t_process)
{
    t_process = &process;
    virtual_time().join();
}
InProcess::~InProcess()
{
    virtual_time().leave();
    t_process = previous_;
}

// ---- handles -----------------------------------------------------------------------------
HANDLE HandleTable::open(ObjectKind kind, void *object, Process *owner, ACCESS_MASK access)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const uintptr_t h = next_;
    next_ += 4;
    entries_[h] = Entry{kind, object, owner, access};
    return reinterpret_cast<HANDLE>(h);
}

bool HandleTable::lookup(HANDLE handle, Process *process, ObjectKind *kind, void **object,
                         ACCESS_MASK *access) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == entries_.end() || it->second.owner != process)
        return false;
    *kind = it->second.kind;
    *object = it->second.object;
    if (access != nullptr)
        *access = it->second.access;
    return true;
}

namespace {
void ReleaseObject(ObjectKind kind, void *object)
{
    switch (kind) {
    case ObjectKind::Event: machine().events.release(static_cast<PKEVENT>(object)); break;
    case ObjectKind::Section: --static_cast<SectionObject *>(object)->references; break;
    case ObjectKind::File: machine().files.close(static_cast<FileStore::OpenFile *>(object)); break;
    }
}
} // namespace

HandleTable::CloseResult HandleTable::close(HANDLE handle, Process *process, Process **owner)
{
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == entries_.end())
            return CloseResult::NotOpen;
        if (it->second.owner != process) {
            if (owner != nullptr)
                *owner = it->second.owner;
            return CloseResult::OtherProcess;
        }
        entry = it->second;
        entries_.erase(it);
    }
    ReleaseObject(entry.kind, entry.object);
    return CloseResult::Closed;
}

void HandleTable::close_all(Process *owner)
{
    std::vector<Entry> closed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (it->second.owner == owner) {
                closed.push_back(it->second);
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const Entry &e : closed)
        ReleaseObject(e.kind, e.object);
}

size_t HandleTable::open_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

size_t HandleTable::open_count(const Process *owner) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto &[h, e] : entries_)
        n += e.owner == owner;
    return n;
}

std::string HandleTable::leak_report() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    static const char *const kinds[] = {"section", "event", "file"};
    for (const auto &[h, e] : entries_) {
        char line[96];
        std::snprintf(line, sizeof line, "open handle 0x%lx: %s of process %u\n", static_cast<unsigned long>(h),
                      kinds[static_cast<int>(e.kind)], e.owner ? e.owner->id() : 0u);
        out += line;
    }
    return out;
}

void HandleTable::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    g_physical_memory_section.references = 0;
}

// ---- named events --------------------------------------------------------------------------
namespace {
const std::u16string kEventDirectory = u"\\BaseNamedObjects\\";

} // namespace

PKEVENT EventDirectory::create_or_open(const std::u16string &name, bool *created)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::u16string key = upper_ascii(name);
    for (Entry &e : entries_) {
        if (upper_ascii(e.name) == key) {
            ++e.references;
            *created = false;
            return e.event.get();
        }
    }
    auto event = std::make_unique<KEVENT>();
    initialize_event(event.get());
    PKEVENT result = event.get();
    entries_.push_back(Entry{std::move(event), name, 1});
    *created = true;
    return result;
}

PKEVENT EventDirectory::open_user(const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::u16string key = upper_ascii(kEventDirectory + name);
    for (Entry &e : entries_) {
        if (upper_ascii(e.name) == key) {
            ++e.references;
            return e.event.get();
        }
    }
    return nullptr;
}

void EventDirectory::release(PKEVENT event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->event.get() == event) {
            if (--it->references == 0)
                entries_.erase(it);
            return;
        }
    }
}

PKEVENT EventDirectory::find(const std::u16string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::u16string key = upper_ascii(name);
    for (const Entry &e : entries_)
        if (upper_ascii(e.name) == key)
            return e.event.get();
    return nullptr;
}

std::vector<std::u16string> EventDirectory::names() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::u16string> out;
    for (const Entry &e : entries_)
        out.push_back(e.name);
    return out;
}

size_t EventDirectory::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void EventDirectory::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

} // namespace qorsim

using qorsim::machine;

namespace {
void RequirePassive(const char *operation)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation(std::string(operation) + " above PASSIVE_LEVEL");
}
} // namespace

extern "C" {

PVOID NTAPI MmAllocateContiguousMemory(ULONG NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("MmAllocateContiguousMemory above DISPATCH_LEVEL");
    if (machine().faults.take(qorsim::Fault::ContiguousMemory))
        return nullptr;
    return machine().memory.allocate_contiguous(NumberOfBytes, uint64_t(HighestAcceptableAddress.QuadPart) + 1);
}

VOID NTAPI MmFreeContiguousMemory(PVOID BaseAddress)
{
    RequirePassive("MmFreeContiguousMemory");
    // Pages a user view still maps would go on being written by the program after the
    // kernel hands them to someone else.
    uint32_t phys = 0, bytes = 0;
    if (machine().memory.block_range(BaseAddress, &phys, &bytes)) {
        for (qorsim::Process *process : machine().processes.all()) {
            for (const auto &[base, view] : process->views()) {
                if (view.phys < phys + bytes && phys < view.phys + view.bytes) {
                    char text[192];
                    std::snprintf(text, sizeof text,
                                  "MmFreeContiguousMemory of pages 0x%X-0x%X that a view of process %u (%s) at "
                                  "0x%08X still maps",
                                  phys, phys + bytes - 1, process->id(), process->name().c_str(),
                                  static_cast<unsigned>(base));
                    machine().verifier.violation(text);
                }
            }
        }
    }
    if (!machine().memory.free_contiguous(BaseAddress))
        machine().verifier.violation("MmFreeContiguousMemory of memory that is no contiguous block");
}

PHYSICAL_ADDRESS NTAPI MmGetPhysicalAddress(PVOID BaseAddress)
{
    PHYSICAL_ADDRESS result;
    uint32_t phys = 0;
    if (!machine().memory.kernel_to_phys(BaseAddress, &phys))
        machine().verifier.violation("MmGetPhysicalAddress of an address outside simulated RAM");
    result.QuadPart = phys;
    return result;
}

NTSTATUS NTAPI ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    RequirePassive("ZwOpenSection");
    if (machine().faults.take(qorsim::Fault::OpenSection))
        return STATUS_INSUFFICIENT_RESOURCES;
    const std::u16string name = qorsim::from_ucs(ObjectAttributes->ObjectName);
    const bool caseless = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
    const std::u16string wanted = u"\\Device\\PhysicalMemory";
    if (caseless ? qorsim::upper_ascii(name) != qorsim::upper_ascii(wanted) : name != wanted)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ++qorsim::g_physical_memory_section.references;
    *SectionHandle = machine().handles.open(qorsim::ObjectKind::Section, &qorsim::g_physical_memory_section,
                                            machine().processes.current(), DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE, PVOID *Object,
                                         PVOID)
{
    RequirePassive("ObReferenceObjectByHandle");
    qorsim::ObjectKind kind;
    void *object;
    if (machine().faults.take(qorsim::Fault::ReferenceObject) ||
        !machine().handles.lookup(Handle, machine().processes.current(), &kind, &object))
        return STATUS_INVALID_HANDLE;
    if (kind == qorsim::ObjectKind::Section)
        ++static_cast<qorsim::SectionObject *>(object)->references;
    *Object = object;
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("ObfReferenceObject above DISPATCH_LEVEL");
    if (Object == &qorsim::g_physical_memory_section)
        return ++qorsim::g_physical_memory_section.references;
    // Process objects (the system process's is permanent).
    if (Object != PsInitialSystemProcess && !machine().processes.reference(static_cast<qorsim::Process *>(Object)))
        machine().verifier.violation("ObfReferenceObject of an object the simulator does not know");
    return 1;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("ObfDereferenceObject above DISPATCH_LEVEL");
    if (Object == &qorsim::g_physical_memory_section)
        return --qorsim::g_physical_memory_section.references;
    if (Object != PsInitialSystemProcess && !machine().processes.dereference(static_cast<qorsim::Process *>(Object)))
        machine().verifier.violation("ObfDereferenceObject of an object that holds no reference");
    return 0;
}

NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress, ULONG_PTR,
                                  ULONG, PLARGE_INTEGER SectionOffset, PULONG ViewSize, SECTION_INHERIT inherit,
                                  ULONG allocationType, ULONG Win32Protect)
{
    RequirePassive("ZwMapViewOfSection");
    // NT checks the inheritance and the allocation type before it looks at the section.
    constexpr ULONG kMemTopDown = 0x100000, kSecNoChange = 0x400000, kMemDosLim = 0x40000000;
    if (inherit != ViewShare && inherit != ViewUnmap)
        return STATUS_INVALID_PARAMETER_8;
    if (allocationType & ~(kMemTopDown | kSecNoChange | kMemDosLim))
        return STATUS_INVALID_PARAMETER_9;
    qorsim::ObjectKind kind;
    void *object;
    ACCESS_MASK access = 0;
    if (!machine().handles.lookup(SectionHandle, machine().processes.current(), &kind, &object, &access) ||
        kind != qorsim::ObjectKind::Section)
        return STATUS_INVALID_HANDLE;
    // A writable view needs a handle granted reading and writing of the section's pages;
    // generic rights count as the section type maps them.
    if (access & (GENERIC_READ | GENERIC_ALL))
        access |= SECTION_MAP_READ;
    if (access & (GENERIC_WRITE | GENERIC_ALL))
        access |= SECTION_MAP_WRITE;
    if ((access & (SECTION_MAP_READ | SECTION_MAP_WRITE)) != (SECTION_MAP_READ | SECTION_MAP_WRITE))
        return STATUS_ACCESS_DENIED;
    if (ProcessHandle != NtCurrentProcess())
        machine().verifier.violation("ZwMapViewOfSection into a process other than the current one");
    if (Win32Protect != (PAGE_READWRITE | PAGE_NOCACHE))
        machine().verifier.violation("ZwMapViewOfSection of device memory without PAGE_READWRITE|PAGE_NOCACHE");
    if (machine().faults.take(qorsim::Fault::MapView))
        return STATUS_INSUFFICIENT_RESOURCES;
    // The offset is rounded down to the allocation granularity and the view grows by the
    // bytes rounded off; the rounded offset is reported back.
    const uint64_t offset = uint64_t(SectionOffset->QuadPart);
    const uint64_t rounded = offset & ~uint64_t(qorsim::kAllocationGranularity - 1);
    const uint64_t bytes = *ViewSize + (offset - rounded);
    if (offset + *ViewSize > machine().memory.size())
        return STATUS_INVALID_PARAMETER;
    const uintptr_t base = machine().processes.current()->add_view(uint32_t(rounded), uint32_t(bytes));
    if (base == 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    SectionOffset->QuadPart = LONGLONG(rounded);
    *ViewSize = (uint32_t(bytes) + qorsim::kPageSize - 1) & ~(qorsim::kPageSize - 1);
    *BaseAddress = reinterpret_cast<PVOID>(base);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress)
{
    RequirePassive("ZwUnmapViewOfSection");
    if (ProcessHandle != NtCurrentProcess())
        machine().verifier.violation("ZwUnmapViewOfSection in a process other than the current one");
    return machine().processes.current()->remove_view(reinterpret_cast<uintptr_t>(BaseAddress))
               ? STATUS_SUCCESS
               : STATUS_NOT_MAPPED_VIEW;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    RequirePassive("ZwClose");
    qorsim::Process *current = machine().processes.current();
    qorsim::Process *owner = nullptr;
    switch (machine().handles.close(Handle, current, &owner)) {
    case qorsim::HandleTable::CloseResult::Closed: return STATUS_SUCCESS;
    case qorsim::HandleTable::CloseResult::OtherProcess:
        // On NT the value means nothing here, or names another object of this process.
        machine().verifier.violation("ZwClose in process " + std::to_string(current->id()) +
                                     " of a handle of process " + std::to_string(owner ? owner->id() : 0));
        return STATUS_INVALID_HANDLE;
    default: break;
    }
    machine().verifier.violation("ZwClose of a handle that is not open");
    return STATUS_INVALID_HANDLE;
}

// The system process as drivers see it: PsInitialSystemProcess. Process pointers that the
// kernel hands out are the simulator's Process objects, except the system process, whose
// object is made anew at every machine reset and so stands behind this fixed address.
struct _EPROCESS {
    int unused;
};
static _EPROCESS g_system_process_object;
PEPROCESS PsInitialSystemProcess = &g_system_process_object;

namespace {
PEPROCESS ProcessPointer(qorsim::Process *process)
{
    return process == &machine().processes.system() ? PsInitialSystemProcess
                                                    : reinterpret_cast<PEPROCESS>(process);
}
qorsim::Process *ProcessOf(PKPROCESS process)
{
    return reinterpret_cast<PEPROCESS>(process) == PsInitialSystemProcess
               ? &machine().processes.system()
               : reinterpret_cast<qorsim::Process *>(process);
}
} // namespace

PEPROCESS NTAPI IoGetCurrentProcess(void) { return ProcessPointer(machine().processes.current()); }

VOID NTAPI KeAttachProcess(PKPROCESS Process)
{
    if (qorsim::current_irql() > APC_LEVEL)
        machine().verifier.violation("KeAttachProcess above APC_LEVEL");
    if (Process == nullptr) {
        machine().verifier.violation("KeAttachProcess of no process");
        return;
    }
    // NT stops the machine for a thread that attaches while attached.
    if (!machine().processes.attach(ProcessOf(Process)))
        machine().verifier.violation("KeAttachProcess from a thread that is attached already");
}

VOID NTAPI KeDetachProcess(void)
{
    if (qorsim::current_irql() > APC_LEVEL)
        machine().verifier.violation("KeDetachProcess above APC_LEVEL");
    if (!machine().processes.detach())
        machine().verifier.violation("KeDetachProcess from a thread that is not attached");
}

PKEVENT NTAPI IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    RequirePassive("IoCreateNotificationEvent");
    if (machine().faults.take(qorsim::Fault::CreateEvent))
        return nullptr;
    bool created = false;
    PKEVENT event = machine().events.create_or_open(qorsim::from_ucs(EventName), &created);
    if (created) // a new notification event starts signalled, as IoCreateNotificationEvent makes it
        KeSetEvent(event, 0, FALSE);
    *EventHandle = machine().handles.open(qorsim::ObjectKind::Event, event, machine().processes.current());
    return event;
}

} // extern "C"
