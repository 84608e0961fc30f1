/* acqapp: the sample user program's continuous acquisition, callable from a console
   program (main.c on Windows) or from the simulator's command line. */
#ifndef ACQAPP_H
#define ACQAPP_H

#include "qorwin32.h"
#include "qorpelk_requests.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AcqAppOptions {
    const char *device;    /* e.g. "\\\\.\\AcqA0" */
    unsigned long halves;  /* halves to read */
    DWORD waitMs;          /* longest wait for one half */
} AcqAppOptions;

typedef struct AcqAppReport {
    int opened;                   /* the device and its event were opened */
    DWORD lastError;              /* the first Win32 error met, 0 for none */
    const char *failedStep;       /* where it stopped early, or 0 */
    QorDesp desp;                 /* the description as the program received it */
    unsigned long samplesPerHalf;
    unsigned long halvesRead;
    unsigned long halvesNotReady; /* a pulse whose half was no longer ready */
    unsigned long long samplesRead;
    unsigned long long samplesLost;   /* gaps in the sequence between halves */
    unsigned long sequenceErrors;     /* samples out of order inside a half */
    unsigned long progressPolls;
    QorAsyResult stop;            /* the stop request's answer */
} AcqAppReport;

/* Opens the card, switches double-buffer mode on for the analog input buffer, starts a
   continuous acquisition, reads `halves` halves through the buffer's view as the named
   event announces them, checking the samples' sequence, then stops and closes. Returns
   nonzero when every step succeeded. */
int AcqAppRun(const AcqAppOptions *options, AcqAppReport *report);

#ifdef __cplusplus
}
#endif

#endif /* ACQAPP_H */
