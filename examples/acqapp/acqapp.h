/* acqapp: the sample user program's continuous acquisition, callable from a console
   program (main.c on Windows) or from the simulator's command line. */
#ifndef ACQAPP_H
#define ACQAPP_H

#include "qorwin32.h"
#include "qorpelk_requests.h"

#ifdef __cplusplus
extern "C" {
#endif

struct AcqAppReport;

/* The request codes of a client driver whose requests follow the sample driver's plan for a
   double-buffered acquisition: each one a row of the library's request table with the
   same record (description out; mode in; start in; half, progress and stop out), and
   `buffer` the description's entry whose view and event the halves come through. */
typedef struct AcqAppCodes {
    DWORD describe;
    DWORD doubleBuffer;
    DWORD start;
    DWORD half;
    DWORD progress;
    DWORD stop;
    unsigned buffer;
} AcqAppCodes;

/* Fills `codes` with the sample driver's: its analog input buffer. */
void AcqAppSampleCodes(AcqAppCodes *codes);

typedef struct AcqAppOptions {
    const char *device;    /* e.g. "\\\\.\\AcqA0" */
    unsigned long halves;  /* halves to read */
    DWORD waitMs;          /* longest wait for one half */
    DWORD workMs;          /* time the program spends on each half after checking it (0: none) */
    /* Called every 64 halves read and once at the end, with the report so far; 0: none. */
    void (*progress)(const struct AcqAppReport *report, void *context);
    void *progressContext;
    const AcqAppCodes *codes; /* another client's requests; 0: the sample driver's */
} AcqAppOptions;

/* A program that falls behind the card loses halves: the card overwrites a half the
   program has not read yet. It shows as a half found not ready when the event comes, or
   as a gap in the sequence between two halves read; either is an overrun. The sequence is
   16 bits wide, so a gap names the number of whole halves lost only modulo 65536 samples:
   the program takes the smallest number of halves that fits, exact while fewer than
   65536 / gcd(samples per half, 65536) halves are lost at once (with halves of an odd
   multiple of 1024 samples, fewer than 64). */
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
    unsigned long overruns;       /* times the program found it had fallen behind */
    unsigned long halvesLost;     /* whole halves the card wrote that the program never read */
    int blocks;                   /* a scatter-gather run: halvesRead counts blocks */
    int fifo;                     /* a 9050 FIFO run: halvesRead counts drains of the FIFO */
    unsigned long missedPulses;   /* data found by the dual-interrupt get after a wait timed out */
    unsigned long overflows;      /* overflows the card announced on event 6 */
    SHORT refusal;                /* the library's status of a request it refused, 0 for none
                                     (QorErrBusy: another program's acquisition runs) */
} AcqAppReport;

/* Opens the card, switches double-buffer mode on for the analog input buffer, starts a
   continuous acquisition, reads `halves` halves through the buffer's view as the named
   event announces them, checking the samples' sequence, then stops and closes. Returns
   nonzero when every step succeeded. */
int AcqAppRun(const AcqAppOptions *options, AcqAppReport *report);

/* The same check on a PLX 9080 card, whose DMA writes straight into the program's own
   memory: `halves` blocks of 16 KB, each one scatter-gather transfer into pages the program
   allocated (the driver locks them for the transfer and describes them to the card page by
   page). The report counts blocks where a double-buffer run counts halves. Returns nonzero
   when every step succeeded. */
int AcqAppScatterRun(const AcqAppOptions *options, AcqAppReport *report);

/* The same check on a PLX 9050 card, whose add-on FIFO the program drains through port
   requests: it arms the dual-interrupt pair, starts the card's pacer and `halves` times
   waits on event 4 (at most `waitMs`) for the FIFO to reach its level, drains it, counts
   the samples an overflow dropped (announced on event 6, counted by the card) and arms
   again. A pulse that came while the program was busy has no waiter: the wait times out
   and the dual-interrupt get shows the input active, so the program drains all the same.
   Every sample the card made is read or counted lost. Returns nonzero when every step
   succeeded. */
int AcqAppFifoRun(const AcqAppOptions *options, AcqAppReport *report);

/* One line on what the program read, ending in an overrun notice when it fell behind;
   returns `text`. */
const char *AcqAppSummary(const AcqAppReport *report, char *text, unsigned long size);

#ifdef __cplusplus
}
#endif

#endif /* ACQAPP_H */
