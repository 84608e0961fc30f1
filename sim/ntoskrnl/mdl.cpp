// Memory descriptor lists of the simulated kernel and the four operations on them. An MDL
// is laid out as on i386 NT: the 28-byte header, then one 32-bit physical page number per
// page that [StartVa + ByteOffset, + ByteCount) spans; Size counts both. Probe-and-lock
// resolves each page through the current process (its views and private allocations) and
// raises STATUS_ACCESS_VIOLATION for a page it has not mapped.
#include "qorsim.h"
#include "qorsim_raise.h"
#include "address_space.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qorsim {

namespace {
// NT keeps an MDL's size in a 16-bit field: an MDL spans at most this many pages.
constexpr uint32_t kMaxMdlBytes = 0xFFFF;
constexpr PFN_NUMBER kUnsetPage = 0xFFFFFFFF; // page numbers before a probe

PPFN_NUMBER Pages(PMDL mdl) { return MmGetMdlPfnArray(mdl); }

thread_local NTSTATUS t_raised = STATUS_SUCCESS;

// A status raised by an earlier call that the caller never took: on NT the exception
// would have gone up the stack uncaught.
void CheckNothingRaised(const char *operation)
{
    if (t_raised != STATUS_SUCCESS) {
        machine().verifier.violation(std::string(operation) +
                                     " after an exception of MmProbeAndLockPages that was not caught");
        t_raised = STATUS_SUCCESS;
    }
}
} // namespace

PMDL MdlTable::allocate(uintptr_t va, uint32_t length, Process *owner)
{
    const uint32_t pages = SpanPages(va, length);
    const uint32_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    if (length == 0 || size > kMaxMdlBytes)
        return nullptr;
    auto *mdl = static_cast<PMDL>(std::malloc(size));
    if (mdl == nullptr)
        return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    mdl->Size = static_cast<CSHORT>(size);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t(kPageSize - 1));
    mdl->ByteOffset = static_cast<ULONG>(va & (kPageSize - 1));
    mdl->ByteCount = length;
    for (uint32_t i = 0; i < pages; ++i)
        Pages(mdl)[i] = kUnsetPage;
    std::lock_guard<std::mutex> lock(mutex_);
    live_[mdl] = Entry{va, length, pages, false, owner};
    ++allocations_;
    return mdl;
}

bool MdlTable::lock(PMDL mdl, Process *process)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++probes_;
    auto it = live_.find(mdl);
    if (it == live_.end())
        return false;
    const uintptr_t first = it->second.va & ~uintptr_t(kPageSize - 1);
    for (uint32_t i = 0; i < it->second.pages; ++i) {
        uint32_t page = 0;
        if (!process->translate(first + uintptr_t(i) * kPageSize, &page)) {
            for (uint32_t j = 0; j < i; ++j) // nothing stays locked after a failed probe
                Pages(mdl)[j] = kUnsetPage;
            return false;
        }
        Pages(mdl)[i] = page;
    }
    it->second.locked = true;
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
    mdl->Process = reinterpret_cast<struct _EPROCESS *>(process);
    locked_pages_ += it->second.pages;
    return true;
}

bool MdlTable::unlock(PMDL mdl)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(mdl);
    if (it == live_.end() || !it->second.locked)
        return false;
    it->second.locked = false;
    locked_pages_ -= it->second.pages;
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags & ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION));
    return true;
}

bool MdlTable::free(PMDL mdl)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(mdl);
    if (it == live_.end())
        return false;
    if (it->second.locked)
        locked_pages_ -= it->second.pages;
    live_.erase(it);
    std::free(mdl);
    return true;
}

bool MdlTable::known(PMDL mdl) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(mdl) != 0;
}

bool MdlTable::locked(PMDL mdl) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(mdl);
    return it != live_.end() && it->second.locked;
}

size_t MdlTable::live() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

uint64_t MdlTable::locked_pages() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return locked_pages_;
}

uint64_t MdlTable::allocations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return allocations_;
}

uint64_t MdlTable::probes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return probes_;
}

std::string MdlTable::leak_report() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto &[mdl, e] : live_) {
        char line[160];
        std::snprintf(line, sizeof line, "MDL not freed: 0x%lx bytes at 0x%lx of process %u, %u pages %s\n",
                      static_cast<unsigned long>(e.length), static_cast<unsigned long>(e.va),
                      e.owner ? e.owner->id() : 0u, e.pages, e.locked ? "still locked" : "not locked");
        out += line;
    }
    return out;
}

void MdlTable::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[mdl, e] : live_)
        std::free(mdl);
    live_.clear();
    locked_pages_ = allocations_ = probes_ = 0;
    t_raised = STATUS_SUCCESS;
}

} // namespace qorsim

using qorsim::machine;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp)
{
    qorsim::CheckNothingRaised("IoAllocateMdl");
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("IoAllocateMdl above DISPATCH_LEVEL");
    // The quota is charged to the process current now and given back to whichever process
    // is current at IoFreeMdl: a driver's MDL, freed from a DPC, a close or the unload,
    // would return it to the wrong process.
    if (ChargeQuota)
        machine().verifier.violation("IoAllocateMdl charging the current process's quota");
    if (SecondaryBuffer || Irp != nullptr)
        machine().verifier.violation("IoAllocateMdl for an IRP: not modelled");
    if (machine().faults.take(qorsim::Fault::AllocateMdl))
        return nullptr;
    return machine().mdls.allocate(reinterpret_cast<uintptr_t>(VirtualAddress), Length,
                                   machine().processes.current());
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    qorsim::CheckNothingRaised("MmProbeAndLockPages");
    if (qorsim::current_irql() >= DISPATCH_LEVEL)
        machine().verifier.violation("MmProbeAndLockPages at or above DISPATCH_LEVEL");
    if (AccessMode != KernelMode && AccessMode != UserMode)
        machine().verifier.violation("MmProbeAndLockPages with an access mode that is neither KernelMode nor UserMode");
    if (Operation != IoReadAccess && Operation != IoWriteAccess && Operation != IoModifyAccess)
        machine().verifier.violation("MmProbeAndLockPages with an operation that is no LOCK_OPERATION");
    // A buffer of a user program is probed in UserMode: a KernelMode probe skips the check
    // that the range lies in user space, so a program could name kernel memory for the
    // device to write.
    qorsim::Process *current = machine().processes.current();
    if (AccessMode == KernelMode && current != &machine().processes.system() &&
        machine().mdls.known(MemoryDescriptorList)) {
        uint32_t page = 0;
        const auto va = reinterpret_cast<uintptr_t>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
        if (current->translate(va, &page))
            machine().verifier.violation("MmProbeAndLockPages of a user program's buffer in KernelMode");
    }
    if (!machine().mdls.known(MemoryDescriptorList)) {
        machine().verifier.violation("MmProbeAndLockPages of an MDL that IoAllocateMdl did not make");
        return;
    }
    if (machine().mdls.locked(MemoryDescriptorList)) {
        machine().verifier.violation("MmProbeAndLockPages of an MDL whose pages are locked already");
        return;
    }
    // A UserMode probe accepts user space only: a program naming kernel memory gets an
    // access violation, as NT's probe raises.
    const auto first = reinterpret_cast<uintptr_t>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
    const bool outside = AccessMode == UserMode && !qorsim::in_user_space(first, MemoryDescriptorList->ByteCount);
    const bool failed = outside || machine().faults.take(qorsim::Fault::ProbeAndLock);
    if (failed || !machine().mdls.lock(MemoryDescriptorList, machine().processes.current()))
        qorsim::t_raised = STATUS_ACCESS_VIOLATION;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    qorsim::CheckNothingRaised("MmUnlockPages");
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("MmUnlockPages above DISPATCH_LEVEL");
    if (!machine().mdls.unlock(MemoryDescriptorList))
        machine().verifier.violation("MmUnlockPages of an MDL whose pages are not locked");
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    qorsim::CheckNothingRaised("IoFreeMdl");
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("IoFreeMdl above DISPATCH_LEVEL");
    if (machine().mdls.locked(Mdl))
        machine().verifier.violation("IoFreeMdl of an MDL whose pages are still locked");
    if (!machine().mdls.free(Mdl))
        machine().verifier.violation("IoFreeMdl of an MDL that is not allocated");
}

NTSTATUS NTAPI QorSimTakeRaisedStatus(void)
{
    const NTSTATUS status = qorsim::t_raised;
    qorsim::t_raised = STATUS_SUCCESS;
    return status;
}

} // extern "C"
