// The probe-and-lock boundary on the simulator: the simulated kernel records the status
// it raises instead of unwinding through the freestanding library, and the status is
// taken here, right after the call, where the NT build's exception frame would catch it.
#include "qor_platform.h"
#include "qorsim_raise.h"

extern "C" BOOLEAN NTAPI QorProbeAndLock(PMDL mdl)
{
    MmProbeAndLockPages(mdl, UserMode, IoModifyAccess);
    return QorSimTakeRaisedStatus() == STATUS_SUCCESS ? TRUE : FALSE;
}
