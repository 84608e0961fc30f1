// Memory descriptor lists of the simulated kernel: IoAllocateMdl, MmProbeAndLockPages,
// MmUnlockPages and IoFreeMdl keep every live MDL here, with the pages it holds locked,
// so that a test can see what a driver left behind.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace qorsim {

class Process;

class MdlTable {
public:
    // Called by the kernel operations.
    PMDL allocate(uintptr_t va, uint32_t length, Process *owner);
    // Locks the MDL's pages in the current process: fills its page-number array. False,
    // with nothing locked, when a page is not mapped.
    bool lock(PMDL mdl, Process *process);
    bool unlock(PMDL mdl); // false: unknown MDL or pages not locked
    bool free(PMDL mdl);   // false: unknown MDL
    bool known(PMDL mdl) const;
    bool locked(PMDL mdl) const;

    // Inspection.
    size_t live() const;         // allocated and not freed
    uint64_t locked_pages() const; // pages held locked by live MDLs
    uint64_t allocations() const;  // successful IoAllocateMdl calls since the last reset
    uint64_t probes() const;       // MmProbeAndLockPages calls since the last reset
    std::string leak_report() const; // empty when no MDL is live
    // A process ends: an MDL that still locks its pages is PROCESS_HAS_LOCKED_PAGES (NT
    // stops there); the MDLs no longer refer to the process.
    void process_ends(Process *process);
    void reset();                    // frees every MDL, forgets the counts

private:
    struct Entry {
        uintptr_t va;
        uint32_t length;
        uint32_t pages;
        bool locked;
        Process *owner;
    };
    mutable std::mutex mutex_;
    std::map<PMDL, Entry> live_;
    uint64_t locked_pages_ = 0, allocations_ = 0, probes_ = 0;
};

// Pages an MDL for [va, va + length) spans.
inline uint32_t SpanPages(uintptr_t va, uint32_t length)
{
    return static_cast<uint32_t>(((va & 0xFFF) + uint64_t(length) + 0xFFF) >> 12);
}

} // namespace qorsim
