// KeDelayExecutionThread on the virtual clock: nothing sleeps for real. A relative
// interval (negative, 100 ns units) advances the clock by its length; an absolute one
// (positive) advances it to that time when it lies ahead. Every interval asked for is
// recorded on the clock, as passed.
#include "qorsim.h"

using qorsim::machine;

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    if (qorsim::current_irql() > APC_LEVEL)
        machine().verifier.violation("KeDelayExecutionThread above APC_LEVEL");
    const LONGLONG interval = Interval->QuadPart;
    machine().clock.note_delay(interval);
    constexpr uint64_t kNsPerUnit = 100;
    if (interval < 0) {
        machine().clock.advance_ns(static_cast<uint64_t>(-interval) * kNsPerUnit);
    } else {
        const uint64_t until = static_cast<uint64_t>(interval) * kNsPerUnit;
        if (until > machine().clock.now_ns())
            machine().clock.advance_ns(until - machine().clock.now_ns());
    }
    return STATUS_SUCCESS;
}
