// Zero-filled blocks of nonpaged pool under the library's pool tag, and the millisecond
// sleep. Every object the library allocates comes from QorNewNpp.
#include "qor_platform.h"

namespace {
// KeDelayExecutionThread counts in 100-nanosecond units; a negative interval is relative.
constexpr LONGLONG kRelativeUnitsPerMillisecond = -10000;
} // namespace

extern "C" {

PVOID QORCALL QorNewNpp(ULONG size)
{
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, size, QOR_POOL_TAG));
    if (block == nullptr)
        return nullptr;
    for (ULONG i = 0; i < size; ++i)
        block[i] = 0;
    return block;
}

VOID QORCALL QorDeleteNpp(PVOID block)
{
    if (block != nullptr)
        ExFreePool(block);
}

// A kernel-mode, non-alertable wait; the caller must be able to wait (APC_LEVEL or below).
NTSTATUS QORCALL QorSleep(LONG milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = static_cast<LONGLONG>(milliseconds) * kRelativeUnitsPerMillisecond;
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

} // extern "C"
