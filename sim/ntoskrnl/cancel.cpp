// Cancellation of pending requests: the I/O manager's cancel spin lock, IoCancelIrp, and
// the verifier's rule that a request is never completed with its cancel routine still set.
#include "qorsim.h"
#include "image_context.h"

namespace {
KSPIN_LOCK g_cancel_lock = 0;
} // namespace

using qorsim::machine;

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&g_cancel_lock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&g_cancel_lock, Irql); }

// Marks the request cancelled and calls its cancel routine, if one is set, with the cancel
// spin lock held; the routine releases it. The routine runs on the device of the request's
// current stack location.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("IoCancelIrp above DISPATCH_LEVEL");
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(old);
        return FALSE;
    }
    Irp->CancelIrql = old;
    qorsim::enter_image_context();
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

} // extern "C"
