/* acqapp.exe: the sample program as a Win32 console program. */
#include <stdio.h>
#include <stdlib.h>

#include "acqapp.h"

int main(int argc, char **argv)
{
    AcqAppOptions options = {"\\\\.\\AcqA0", 1000, 5000};
    AcqAppReport report;
    int ok;
    if (argc > 1)
        options.device = argv[1];
    if (argc > 2)
        options.halves = strtoul(argv[2], 0, 0);
    ok = AcqAppRun(&options, &report);
    printf("%s: %lu halves, %llu samples read, %llu lost, %lu out of sequence\n", options.device,
           report.halvesRead, report.samplesRead, report.samplesLost, report.sequenceErrors);
    if (!ok)
        printf("stopped at: %s (error %lu)\n", report.failedStep, (unsigned long)report.lastError);
    return ok ? 0 : 1;
}
