/* acqapp.exe: the sample program as a Win32 console program.
   acqapp [device [halves [work ms per half]]]: a double-buffered run on an S5933 card;
   acqapp -s [device [blocks]]: scatter-gather blocks from a PLX 9080 card into the
   program's own memory;
   acqapp -f [device [drains [work ms per drain]]]: a PLX 9050 card's FIFO, drained through
   port requests as its events announce it.
   Exit status 0, 1 when a step failed, 2 on an overrun (or, for -f, samples lost). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "acqapp.h"

int main(int argc, char **argv)
{
    AcqAppOptions options = {"\\\\.\\AcqA0", 1000, 5000, 0, 0, 0, 0};
    AcqAppReport report;
    char summary[320];
    int ok, scatter = argc > 1 && strcmp(argv[1], "-s") == 0, fifo = argc > 1 && strcmp(argv[1], "-f") == 0;
    if (scatter || fifo) {
        options.device = scatter ? "\\\\.\\AcqC0" : "\\\\.\\AcqB0";
        --argc;
        ++argv;
    }
    if (argc > 1)
        options.device = argv[1];
    if (argc > 2)
        options.halves = strtoul(argv[2], 0, 0);
    if (argc > 3)
        options.workMs = strtoul(argv[3], 0, 0); /* a slow reader: ms of work per half */
    if (fifo)
        options.waitMs = 100; /* a pulse missed while working shows after this */
    ok = scatter ? AcqAppScatterRun(&options, &report) : fifo ? AcqAppFifoRun(&options, &report) : AcqAppRun(&options, &report);
    printf("%s: %s\n", options.device, AcqAppSummary(&report, summary, sizeof summary));
    if (!ok)
        printf("stopped at: %s (error %lu)\n", report.failedStep, (unsigned long)report.lastError);
    return !ok ? 1 : report.overruns != 0 || report.samplesLost != 0 ? 2 : 0;
}
