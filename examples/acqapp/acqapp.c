/* The sample user program: a continuous acquisition through the sample driver. The card
   fills one half of the analog input buffer while the program reads the other; each
   sample carries the card's running sequence number, so the program can tell whether
   anything was lost or duplicated. */
#include "acqapp.h"

#include <stdint.h>
#include <string.h>

#include "acqdrv_ioctl.h"

#define KIND QOR_KIND_ANALOG_INPUT

static int Fail(AcqAppReport *report, const char *step)
{
    if (report->failedStep == 0) {
        report->failedStep = step;
        report->lastError = GetLastError();
    }
    return 0;
}

/* One request whose answer is `outLength` bytes of `record`; the library's status must be 0. */
static int Request(HANDLE device, DWORD code, void *record, DWORD inLength, DWORD outLength)
{
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, record, inLength, record, outLength, &returned, 0))
        return 0;
    return returned >= 2 && *(const SHORT *)record == QorOk;
}

/* Checks one half against the sequence the card writes. */
static void CheckHalf(const uint16_t *samples, unsigned long count, uint16_t *next, int *started,
                      AcqAppReport *report)
{
    unsigned long i;
    if (*started && samples[0] != *next)
        report->samplesLost += (uint16_t)(samples[0] - *next);
    *started = 1;
    *next = samples[0];
    for (i = 0; i < count; ++i, ++*next)
        if (samples[i] != *next) {
            ++report->sequenceErrors;
            *next = samples[i];
        }
    report->samplesRead += count;
}

int AcqAppRun(const AcqAppOptions *options, AcqAppReport *report)
{
    HANDLE device, event;
    QorDbfModeRequest mode[2]; /* the mode row takes 8 bytes of input */
    QorContRequest start;
    QorDbfHalfResult half;
    QorAsyResult progress;
    const QorDespBuffer *buffer;
    uint16_t next = 0;
    int started = 0, ok = 1;
    unsigned long sampleBytes;

    memset(report, 0, sizeof *report);
    device = CreateFileA(options->device, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, 0);
    if (device == INVALID_HANDLE_VALUE)
        return Fail(report, "open the device");

    if (!Request(device, ACQ_IOCTL_GET_DESP, &report->desp, 0, sizeof report->desp)) {
        CloseHandle(device);
        return Fail(report, "describe the device");
    }
    buffer = &report->desp.Buffers[KIND];
    sampleBytes = (buffer->SampleBits + 7) / 8;
    if (buffer->BufferSize == 0 || buffer->UserAddress0 == 0 || sampleBytes != 2) {
        CloseHandle(device);
        return Fail(report, "find a mapped 16-bit analog input buffer");
    }
    report->samplesPerHalf = buffer->BufferSize / 2 / sampleBytes;

    event = OpenEventA(SYNCHRONIZE, 0, buffer->EventName);
    if (event == 0) {
        CloseHandle(device);
        return Fail(report, "open the buffer's event");
    }
    report->opened = 1;

    memset(mode, 0, sizeof mode);
    mode[0].Enable = 1;
    if (!Request(device, ACQ_IOCTL_DBF_MODE(KIND), mode, sizeof mode, 2))
        ok = Fail(report, "switch double-buffer mode on");

    memset(&start, 0, sizeof start);
    start.SampleCount = report->samplesPerHalf;
    start.ListCount = 1;
    if (ok && !Request(device, ACQ_IOCTL_START(KIND), &start, sizeof start, 2))
        ok = Fail(report, "start the acquisition");

    while (ok && report->halvesRead < options->halves) {
        if (WaitForSingleObject(event, options->waitMs) != WAIT_OBJECT_0) {
            ok = Fail(report, "wait for a half");
            break;
        }
        memset(&half, 0, sizeof half);
        if (!Request(device, ACQ_IOCTL_HALF(KIND), &half, 0, sizeof half)) {
            ok = Fail(report, "ask which half is ready");
            break;
        }
        if (!half.Ready) {
            ++report->halvesNotReady; /* fell behind: wait for the next pass */
            continue;
        }
        CheckHalf((const uint16_t *)(uintptr_t)(half.Half ? buffer->UserAddress1 : buffer->UserAddress0),
                  report->samplesPerHalf, &next, &started, report);
        ++report->halvesRead;
        if (report->halvesRead % 64 == 0) {
            memset(&progress, 0, sizeof progress);
            if (Request(device, ACQ_IOCTL_PROGRESS(KIND), &progress, 0, sizeof progress))
                ++report->progressPolls;
        }
    }

    memset(&report->stop, 0, sizeof report->stop);
    if (!Request(device, ACQ_IOCTL_STOP(KIND), &report->stop, 0, sizeof report->stop))
        ok = Fail(report, "stop the acquisition");
    CloseHandle(event);
    if (!CloseHandle(device))
        ok = Fail(report, "close the device");
    return ok;
}
