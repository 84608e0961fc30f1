// KeDelayExecutionThread on the virtual clock: nothing sleeps for real. A relative
// interval (negative or zero, 100 ns units) advances the clock by its length; every
// interval asked for is recorded on the clock, as passed. Waits until an absolute time
// are not modelled.
#include "qorsim.h"

using qorsim::machine;

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    if (qorsim::current_irql() > APC_LEVEL)
        machine().verifier.violation("KeDelayExecutionThread above APC_LEVEL");
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
