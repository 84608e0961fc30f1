// The kernel and HAL boundary: the one header the library includes. It brings in the
// kernel's declarations (mingw-w64's DDK on the NT target, the simulator's on the host)
// and the exported interface, plus a few helpers that only need those declarations.
#pragma once

#if defined(_WIN32)
// mingw-w64's intrin headers define these two as inline functions in C++, which clashes
// with the DDK's own definitions; claiming them as defined keeps the DDK's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>

#include "qorpelk.h"

#if defined(_WIN32)
// Exported by ntoskrnl since NT 3.1; the DDK declares them only in its file-system header.
extern "C" {
NTKERNELAPI VOID NTAPI KeAttachProcess(PKPROCESS Process);
NTKERNELAPI VOID NTAPI KeDetachProcess(VOID);
}
#endif

// A wide string literal of the platform's 16-bit WCHAR.
#if defined(_WIN32)
#define QOR_W(text) L##text
#else
#define QOR_W(text) u##text
#endif

// ---- probe and lock ----------------------------------------------------------------------
// MmProbeAndLockPages on an MDL for modify access in user mode (the MDL describes a user
// program's buffer: a kernel-mode probe would skip the check that the range lies in user
// space, and a program could have the device write kernel memory), with the exception that
// the kernel raises for pages it cannot lock caught: TRUE when the pages are locked, FALSE
// when the probe failed and nothing is locked (the MDL is still allocated). The NT build
// catches the exception with a structured exception frame (platform/nt/); the host build
// takes the status the simulator raised (platform/host/).
extern "C" BOOLEAN NTAPI QorProbeAndLock(PMDL mdl);

namespace qor {

// Port access at a translated I/O port address; one access of the named width each.
inline UCHAR PortRead8(ULONG port) { return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(port)); }
inline USHORT PortRead16(ULONG port) { return READ_PORT_USHORT(reinterpret_cast<PUSHORT>(port)); }
inline ULONG PortRead32(ULONG port) { return READ_PORT_ULONG(reinterpret_cast<PULONG>(port)); }
inline void PortWrite8(ULONG port, UCHAR value)
{
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(port), value);
}
inline void PortWrite16(ULONG port, USHORT value)
{
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(port), value);
}
inline void PortWrite32(ULONG port, ULONG value)
{
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(port), value);
}

// Holds a spin lock for a scope: raised to DISPATCH_LEVEL on entry, back to the caller's
// level on exit.
class SpinLockGuard {
public:
    explicit SpinLockGuard(PKSPIN_LOCK lock) : lock_(lock), oldIrql_(KfAcquireSpinLock(lock)) {}
    ~SpinLockGuard() { KfReleaseSpinLock(lock_, oldIrql_); }
    SpinLockGuard(const SpinLockGuard &) = delete;
    SpinLockGuard &operator=(const SpinLockGuard &) = delete;

private:
    PKSPIN_LOCK lock_;
    KIRQL oldIrql_;
};

// Runs a scope in the system process's context. NT 4 has no kernel handle table: a handle
// made in a request's context belongs to the calling program and dies with it, and can be
// closed only in that program's context. Handles that must outlive the request (the named
// events) are therefore made and closed in the system process, whichever thread asks. The
// thread is attached only when it runs in another process; a thread that runs in the
// system process already (driver entry, unload, worker threads) is left as it is.
class SystemProcessScope {
public:
    SystemProcessScope() : attached_(IoGetCurrentProcess() != PsInitialSystemProcess)
    {
        if (attached_)
            KeAttachProcess(reinterpret_cast<PKPROCESS>(PsInitialSystemProcess));
    }
    ~SystemProcessScope()
    {
        if (attached_)
            KeDetachProcess();
    }
    SystemProcessScope(const SystemProcessScope &) = delete;
    SystemProcessScope &operator=(const SystemProcessScope &) = delete;

private:
    bool attached_;
};

// The library's status field at offset 0 of a request's system buffer.
inline void SetRequestStatus(void *systemBuffer, SHORT status)
{
    *static_cast<SHORT *>(systemBuffer) = status;
}

} // namespace qor
