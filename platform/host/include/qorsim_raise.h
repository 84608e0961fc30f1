/*
 * Exceptions raised by the simulated kernel. On NT, MmProbeAndLockPages reports a buffer
 * it cannot lock by raising an exception that the caller catches with a structured
 * exception handler. The host build has no such handlers across the freestanding
 * library, so the simulator records the raised status for the calling thread instead,
 * and the library's probe-and-lock boundary takes it right after the call. A raised
 * status that nobody takes is reported by the simulator's verifier.
 */
#ifndef QORSIM_RAISE_H
#define QORSIM_RAISE_H

#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The status raised on this thread by the last kernel call, STATUS_SUCCESS when none;
   taking it clears it. */
NTSTATUS NTAPI QorSimTakeRaisedStatus(void);

#ifdef __cplusplus
}
#endif

#endif /* QORSIM_RAISE_H */
