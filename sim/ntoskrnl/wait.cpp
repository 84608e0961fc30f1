// KeDelayExecutionThread on the virtual clock: nothing sleeps for real. A relative
// interval (negative or zero, 100 ns units) advances the clock by its length; every
// interval asked for is recorded on the clock, as passed. Waits until an absolute time
// are not modelled.
#include "qorsim.h"

using qorsim::machine;

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("KeDelayExecutionThread above PASSIVE_LEVEL");
    // A driver waits in KernelMode: a UserMode wait lets the kernel page out the thread's
    // stack and deliver user APCs into the program whose thread it borrowed. An alertable
    // wait ends early (STATUS_ALERTED, STATUS_USER_APC), which a delay does not expect.
    if (WaitMode != KernelMode)
        machine().verifier.violation("KeDelayExecutionThread in a wait mode other than KernelMode");
    if (Alertable != FALSE)
        machine().verifier.violation("KeDelayExecutionThread alertable");
    const LONGLONG interval = Interval->QuadPart;
    machine().clock.note_delay(interval);
    if (interval > 0) {
        machine().verifier.violation("KeDelayExecutionThread until an absolute time is not modelled");
        return STATUS_SUCCESS;
    }
    constexpr uint64_t kNsPerUnit = 100;
    machine().clock.advance_ns(static_cast<uint64_t>(-interval) * kNsPerUnit);
    return STATUS_SUCCESS;
}
