/* The sample user program: a continuous acquisition through the sample driver. The card
   fills one half of the analog input buffer while the program reads the other; each
   sample carries the card's running sequence number, so the program can tell whether
   anything was lost or duplicated. */
#include "acqapp.h"

#include <stdint.h>
#include <stdio.h>
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

#define SEQUENCE_SPAN 0x10000UL    /* the 16-bit sequence wraps here */
#define PAIR_STEP 0x00020002UL       /* two samples in a 32-bit word both advance by two */

static uint32_t Word(const uint16_t *samples, unsigned long pair)
{
    uint32_t word;
    memcpy(&word, samples + 2 * pair, sizeof word);
    return word;
}

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__i386__) || defined(__x86_64__)) && !defined(_WIN32)
#include <immintrin.h>
#define ACQAPP_WIDE_CHECK 1

/* The bulk of the check on the simulator's host, where the processor has AVX2 and the
   system saves its registers (the compiler's run-time check asks both): sixteen samples a
   256-bit vector, four vectors a pass. The 16-bit lanes wrap as the card's sequence does.
   Returns the samples of the whole passes that match, from where the word-at-a-time check
   finds the first difference. The Win32 program keeps to the i486's instructions, as the
   kit's images do: NT 4 saves no vector registers anyway. */
__attribute__((target("avx2"))) static unsigned long MatchingWide(const uint16_t *samples, unsigned long count,
                                                                 uint16_t first)
{
    const __m256i pass = _mm256_set1_epi16(64), step = _mm256_set1_epi16(16);
    __m256i a = _mm256_add_epi16(_mm256_set1_epi16((short)first),
                                 _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    __m256i b = _mm256_add_epi16(a, step), c = _mm256_add_epi16(b, step), d = _mm256_add_epi16(c, step);
    unsigned long i = 0;
    for (; count - i >= 64; i += 64) {
        const __m256i *at = (const __m256i *)(samples + i);
        const __m256i differ = _mm256_or_si256(
            _mm256_or_si256(_mm256_xor_si256(_mm256_loadu_si256(at), a), _mm256_xor_si256(_mm256_loadu_si256(at + 1), b)),
            _mm256_or_si256(_mm256_xor_si256(_mm256_loadu_si256(at + 2), c), _mm256_xor_si256(_mm256_loadu_si256(at + 3), d)));
        if (!_mm256_testz_si256(differ, differ))
            break;
        a = _mm256_add_epi16(a, pass);
        b = _mm256_add_epi16(b, pass);
        c = _mm256_add_epi16(c, pass);
        d = _mm256_add_epi16(d, pass);
    }
    return i;
}
#endif

/* How many samples from `samples` follow the card's sequence from `first`: compared a
   32-bit word (two little-endian samples) at a time, eight words a pass, as long halves
   are checked at memory speed. Within a run of words the low sample does not wrap, so
   both halves of the expected word step by 2 without a carry between them. */
static unsigned long Matching(const uint16_t *samples, unsigned long count, uint16_t first)
{
    unsigned long i = 0;
#ifdef ACQAPP_WIDE_CHECK
    if (__builtin_cpu_supports("avx2"))
        i = MatchingWide(samples, count, first);
#endif
    while (count - i >= 2) {
        const uint16_t low = (uint16_t)(first + i);
        const unsigned long unwrapped = (SEQUENCE_SPAN - low) / 2;
        unsigned long pairs = (count - i) / 2, k = 0;
        const uint16_t *at = samples + i;
        uint32_t word = low | ((uint32_t)(uint16_t)(low + 1) << 16);
        if (pairs > unwrapped)
            pairs = unwrapped != 0 ? unwrapped : 1;
        for (; k + 8 <= pairs; k += 8, word += 8 * PAIR_STEP)
            if (((Word(at, k) ^ word) | (Word(at, k + 1) ^ (word + PAIR_STEP)) |
                 (Word(at, k + 2) ^ (word + 2 * PAIR_STEP)) | (Word(at, k + 3) ^ (word + 3 * PAIR_STEP)) |
                 (Word(at, k + 4) ^ (word + 4 * PAIR_STEP)) | (Word(at, k + 5) ^ (word + 5 * PAIR_STEP)) |
                 (Word(at, k + 6) ^ (word + 6 * PAIR_STEP)) | (Word(at, k + 7) ^ (word + 7 * PAIR_STEP))) != 0)
                break;
        for (; k < pairs && Word(at, k) == word; ++k)
            word += PAIR_STEP;
        i += 2 * k;
        if (k < pairs)
            return samples[i] == (uint16_t)(first + i) ? i + 1 : i;
    }
    if (i < count && samples[i] == (uint16_t)(first + i))
        ++i;
    return i;
}

/* A gap of `gap` samples (modulo the sequence span) between two halves read: whole halves
   lost, the fewest that fit; the gap itself when no number of halves does. */
static void CountGap(uint16_t gap, unsigned long samplesPerHalf, AcqAppReport *report)
{
    unsigned long halves;
    for (halves = 1; halves <= SEQUENCE_SPAN; ++halves)
        if ((uint16_t)(halves * samplesPerHalf) == gap) {
            report->halvesLost += halves;
            report->samplesLost += (unsigned long long)halves * samplesPerHalf;
            return;
        }
    report->samplesLost += gap;
}

/* Checks samples that must continue the sequence from *next: any difference is a sample out
   of sequence, after which the sequence is taken up again from that sample. */
static void CheckSequence(const uint16_t *samples, unsigned long count, uint16_t *next, AcqAppReport *report)
{
    unsigned long i = 0;
    while (i < count) {
        const unsigned long run = Matching(samples + i, count - i, *next);
        i += run;
        *next = (uint16_t)(*next + run);
        if (i < count) {
            ++report->sequenceErrors;
            *next = (uint16_t)(samples[i] + 1);
            ++i;
        }
    }
    report->samplesRead += count;
}

/* Checks one half against the sequence the card writes. */
static void CheckHalf(const uint16_t *samples, unsigned long count, uint16_t *next, int *started, int *behind,
                      AcqAppReport *report)
{
    if (count == 0)
        return;
    if (*started && samples[0] != *next) {
        if (!*behind)
            ++report->overruns; /* fell behind without meeting a half not ready */
        CountGap((uint16_t)(samples[0] - *next), count, report);
    }
    *started = 1;
    *behind = 0;
    *next = samples[0];
    CheckSequence(samples, count, next, report);
}

const char *AcqAppSummary(const AcqAppReport *report, char *text, unsigned long size)
{
    int n;
    if (report->fifo)
        return snprintf(text, size,
                        "%lu drains of the FIFO (level %lu): %llu samples read, %llu lost in %lu overflows, "
                        "%lu out of sequence, %lu pulses came before the program waited",
                        report->halvesRead, report->samplesPerHalf, report->samplesRead, report->samplesLost,
                        report->overflows, report->sequenceErrors, report->missedPulses),
               text;
    n = snprintf(text, size,
                     "%lu %s of %lu samples: %llu samples read, %llu lost, %lu out of sequence, "
                     "%lu halves found not ready",
                     report->halvesRead, report->blocks ? "blocks" : "halves", report->samplesPerHalf,
                     report->samplesRead, report->samplesLost, report->sequenceErrors, report->halvesNotReady);
    if (report->overruns != 0 && n >= 0 && (unsigned long)n < size)
        snprintf(text + n, size - n, "; OVERRUN: fell behind the card %lu times, %lu halves lost",
                 report->overruns, report->halvesLost);
    return text;
}

void AcqAppSampleCodes(AcqAppCodes *codes)
{
    codes->describe = ACQ_IOCTL_GET_DESP;
    codes->doubleBuffer = ACQ_IOCTL_DBF_MODE(KIND);
    codes->start = ACQ_IOCTL_START(KIND);
    codes->half = ACQ_IOCTL_HALF(KIND);
    codes->progress = ACQ_IOCTL_PROGRESS(KIND);
    codes->stop = ACQ_IOCTL_STOP(KIND);
    codes->buffer = KIND;
}

/* Opens the card and asks for its description (`describe`), into the report; on failure
   the report names the step and nothing stays open. */
static HANDLE OpenAndDescribe(const AcqAppOptions *options, DWORD describe, AcqAppReport *report)
{
    HANDLE device = CreateFileA(options->device, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, 0);
    if (device == INVALID_HANDLE_VALUE) {
        Fail(report, "open the device");
        return INVALID_HANDLE_VALUE;
    }
    if (!Request(device, describe, &report->desp, 0, sizeof report->desp)) {
        CloseHandle(device);
        Fail(report, "describe the device");
        return INVALID_HANDLE_VALUE;
    }
    return device;
}

int AcqAppRun(const AcqAppOptions *options, AcqAppReport *report)
{
    AcqAppCodes sample;
    const AcqAppCodes *codes = options->codes;
    HANDLE device, event;
    QorDbfModeRequest mode[2]; /* the mode row takes 8 bytes of input */
    QorContRequest start;
    QorDbfHalfResult half;
    QorAsyResult progress;
    const QorDespBuffer *buffer;
    uint16_t next = 0;
    int started = 0, behind = 0, ok = 1, mine = 0;
    unsigned long sampleBytes;

    memset(report, 0, sizeof *report);
    if (codes == 0) {
        AcqAppSampleCodes(&sample);
        codes = &sample;
    }
    if (codes->buffer >= sizeof report->desp.Buffers / sizeof report->desp.Buffers[0])
        return Fail(report, "pick the buffer");
    device = OpenAndDescribe(options, codes->describe, report);
    if (device == INVALID_HANDLE_VALUE)
        return 0;
    buffer = &report->desp.Buffers[codes->buffer];
    sampleBytes = (buffer->SampleBits + 7) / 8;
    if (buffer->BufferSize == 0 || buffer->UserAddress0 == 0 || sampleBytes != 2) {
        CloseHandle(device);
        return Fail(report, "find a mapped buffer of 16-bit samples");
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
    if (!Request(device, codes->doubleBuffer, mode, sizeof mode, 2)) {
        ok = Fail(report, "switch double-buffer mode on");
        report->refusal = mode[0].Status;
    }

    memset(&start, 0, sizeof start);
    start.SampleCount = report->samplesPerHalf;
    start.ListCount = 1;
    if (ok && !Request(device, codes->start, &start, sizeof start, 2)) {
        ok = Fail(report, "start the acquisition");
        report->refusal = start.Status;
    }
    mine = ok; /* from here on the acquisition is this program's to stop */

    while (ok && report->halvesRead < options->halves) {
        if (WaitForSingleObject(event, options->waitMs) != WAIT_OBJECT_0) {
            ok = Fail(report, "wait for a half");
            break;
        }
        memset(&half, 0, sizeof half);
        if (!Request(device, codes->half, &half, 0, sizeof half)) {
            ok = Fail(report, "ask which half is ready");
            break;
        }
        if (!half.Ready) {
            /* Fell behind: the card has moved past the half we wanted. The library reports
               nothing more; the next half read shows how much was lost. */
            ++report->halvesNotReady;
            if (!behind)
                ++report->overruns;
            behind = 1;
            continue;
        }
        CheckHalf((const uint16_t *)(uintptr_t)(half.Half ? buffer->UserAddress1 : buffer->UserAddress0),
                  report->samplesPerHalf, &next, &started, &behind, report);
        ++report->halvesRead;
        if (options->workMs != 0)
            Sleep(options->workMs); /* what a program does with its data takes time */
        if (report->halvesRead % 64 == 0) {
            memset(&progress, 0, sizeof progress);
            if (Request(device, codes->progress, &progress, 0, sizeof progress))
                ++report->progressPolls;
            if (options->progress != 0)
                options->progress(report, options->progressContext);
        }
    }
    if (options->progress != 0)
        options->progress(report, options->progressContext);

    /* Only the program that started the acquisition stops it: a program that found the
       card busy (another program acquires) must leave that acquisition alone. The driver
       refuses such a stop as well. */
    memset(&report->stop, 0, sizeof report->stop);
    if (mine && !Request(device, codes->stop, &report->stop, 0, sizeof report->stop))
        ok = Fail(report, "stop the acquisition");
    CloseHandle(event);
    if (!CloseHandle(device))
        ok = Fail(report, "close the device");
    return ok;
}

#define SCATTER_BLOCK_BYTES 0x4000UL

int AcqAppScatterRun(const AcqAppOptions *options, AcqAppReport *report)
{
    HANDLE device;
    AcqScatterRequest request;
    uint16_t *block;
    uint16_t next = 0;
    int started = 0, behind = 0, ok = 1;

    memset(report, 0, sizeof *report);
    report->blocks = 1;
    device = CreateFileA(options->device, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, 0);
    if (device == INVALID_HANDLE_VALUE)
        return Fail(report, "open the device");
    /* Whole pages of the program's own: the driver locks them for each transfer. */
    block = (uint16_t *)VirtualAlloc(0, SCATTER_BLOCK_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == 0) {
        CloseHandle(device);
        return Fail(report, "allocate the program's buffer");
    }
    report->opened = 1;
    report->samplesPerHalf = SCATTER_BLOCK_BYTES / sizeof *block;

    while (report->halvesRead < options->halves) {
        memset(&request, 0, sizeof request);
        request.Buffer = (ULONG)(uintptr_t)block;
        request.Bytes = SCATTER_BLOCK_BYTES;
        if (!Request(device, ACQ_IOCTL_SCATTER(KIND), &request, sizeof request, 2)) {
            ok = Fail(report, "read a block into the program's buffer");
            break;
        }
        CheckHalf(block, report->samplesPerHalf, &next, &started, &behind, report);
        ++report->halvesRead;
        if (options->progress != 0 && report->halvesRead % 64 == 0)
            options->progress(report, options->progressContext);
    }
    if (options->progress != 0)
        options->progress(report, options->progressContext);
    VirtualFree(block, 0, MEM_RELEASE);
    if (!CloseHandle(device))
        ok = Fail(report, "close the device");
    return ok;
}

/* ---- a 9050 card's FIFO ------------------------------------------------------------- */

static int PortRead(HANDLE device, USHORT offset, ULONG *value)
{
    QorPortIoRequest request;
    memset(&request, 0, sizeof request);
    request.Offset = offset;
    request.Width = 4;
    if (!Request(device, ACQ_IOCTL_PORT_READ, &request, sizeof request, sizeof request))
        return 0;
    *value = request.Value;
    return 1;
}

static int PortWrite(HANDLE device, USHORT offset, ULONG value)
{
    QorPortIoRequest request;
    memset(&request, 0, sizeof request);
    request.Offset = offset;
    request.Width = 4;
    request.Value = value;
    return Request(device, ACQ_IOCTL_PORT_WRITE, &request, sizeof request, sizeof request);
}

/* Arms both local inputs (active high) and clears the pair's events; 0 disarms them. */
static int Arm(HANDLE device, int on)
{
    QorDualIntRequest request;
    memset(&request, 0, sizeof request);
    request.Int1Enable = request.Int2Enable = (UCHAR)(on != 0);
    request.Int1Polarity = request.Int2Polarity = 1;
    return Request(device, ACQ_IOCTL_DUAL_INT_SET, &request, sizeof request, 2);
}

#define FIFO_CHUNK 512 /* samples checked at a time */

/* Checks samples that must continue the sequence from *next without a gap: what an
   overflow dropped has been skipped in *next already. The first sample of the run starts
   the sequence. */
static void CheckRun(const uint16_t *samples, unsigned long count, uint16_t *next, int *started,
                     AcqAppReport *report)
{
    if (count != 0 && !*started) {
        *next = samples[0];
        *started = 1;
    }
    CheckSequence(samples, count, next, report);
}

/* Reads every sample the FIFO holds (an even count: DATA gives two at a time) and checks
   them against the card's sequence; then counts what an overflow dropped. */
static int Drain(HANDLE device, uint16_t *next, int *started, AcqAppReport *report)
{
    uint16_t samples[FIFO_CHUNK];
    ULONG fill, word, csr, lost;
    unsigned long left, n;
    if (!PortRead(device, ACQ_FIFO_FILL, &fill))
        return 0;
    left = (fill & 0xFFFF) & ~1UL;
    while (left != 0) {
        n = left < FIFO_CHUNK ? left : FIFO_CHUNK;
        for (unsigned long i = 0; i < n; i += 2) {
            if (!PortRead(device, ACQ_FIFO_DATA, &word))
                return 0;
            samples[i] = (uint16_t)word;
            samples[i + 1] = (uint16_t)(word >> 16);
        }
        CheckRun(samples, n, next, started, report);
        left -= n;
    }
    if (!PortRead(device, ACQ_FIFO_CSR, &csr))
        return 0;
    if (csr & ACQ_FIFO_OVERFLOW) {
        /* The samples that met the full FIFO are gone; the sequence resumes after them. */
        if (!PortRead(device, ACQ_FIFO_LOST, &lost) || !PortWrite(device, ACQ_FIFO_CSR, (csr & ACQ_FIFO_RUN) | ACQ_FIFO_OVERFLOW))
            return 0;
        report->samplesLost += lost;
        *next = (uint16_t)(*next + lost);
    }
    return 1;
}

int AcqAppFifoRun(const AcqAppOptions *options, AcqAppReport *report)
{
    HANDLE device, data = 0;
    QorDualIntRequest pair;
    ULONG fill;
    uint16_t next = 0;
    int started = 0, ok = 1, running = 0;
    unsigned long quiet = 0;

    memset(report, 0, sizeof *report);
    report->fifo = 1;
    device = OpenAndDescribe(options, ACQ_IOCTL_GET_DESP, report);
    if (device == INVALID_HANDLE_VALUE)
        return 0;
    data = OpenEventA(SYNCHRONIZE, 0, report->desp.EventName4);
    if (data == 0) {
        CloseHandle(device);
        return Fail(report, "open the dual-interrupt event");
    }
    report->opened = 1;
    if (!PortRead(device, ACQ_FIFO_FILL, &fill))
        ok = Fail(report, "read the FIFO's level");
    report->samplesPerHalf = fill >> 16;
    if (ok && !Arm(device, 1))
        ok = Fail(report, "arm the local interrupts");
    if (ok && !PortWrite(device, ACQ_FIFO_CSR, ACQ_FIFO_RUN | ACQ_FIFO_OVERFLOW))
        ok = Fail(report, "start the card's pacer");
    running = ok;

    while (ok && report->halvesRead < options->halves) {
        const DWORD waited = WaitForSingleObject(data, options->waitMs);
        if (waited != WAIT_OBJECT_0 && waited != WAIT_TIMEOUT) {
            ok = Fail(report, "wait for the FIFO");
            break;
        }
        /* The pair's state: an input the interrupt masked (enable 0) has been announced;
           an overflow announced on event 6 stays active until the FIFO is drained and the
           overflow cleared. */
        memset(&pair, 0, sizeof pair);
        if (!Request(device, ACQ_IOCTL_DUAL_INT_GET, &pair, 0, sizeof pair)) {
            ok = Fail(report, "ask the dual-interrupt state");
            break;
        }
        if (waited == WAIT_TIMEOUT) {
            if (!pair.Int1Status && !pair.Int2Status) {
                if (++quiet == 16) /* the card stopped making samples */
                    ok = Fail(report, "wait for the FIFO");
                continue;
            }
            ++report->missedPulses; /* the pulse came before the program waited */
        }
        quiet = 0;
        if (pair.Int2Status && !pair.Int2Enable)
            ++report->overflows;
        if (!Drain(device, &next, &started, report)) {
            ok = Fail(report, "drain the FIFO");
            break;
        }
        ++report->halvesRead;
        if (!Arm(device, 1)) {
            ok = Fail(report, "arm the local interrupts");
            break;
        }
        if (options->workMs != 0)
            Sleep(options->workMs);
        if (options->progress != 0 && report->halvesRead % 64 == 0)
            options->progress(report, options->progressContext);
    }
    if (options->progress != 0)
        options->progress(report, options->progressContext);
    /* The pacer stops; what it made since the last drain is read (or counted lost) too,
       and an overflow announced after the last wait is counted with the others. */
    if (running && !PortWrite(device, ACQ_FIFO_CSR, 0)) {
        ok = Fail(report, "stop the card's pacer");
    } else if (running && ok) {
        memset(&pair, 0, sizeof pair);
        if (!Request(device, ACQ_IOCTL_DUAL_INT_GET, &pair, 0, sizeof pair))
            ok = Fail(report, "ask the dual-interrupt state");
        else if (pair.Int2Status && !pair.Int2Enable)
            ++report->overflows;
        if (ok && !Drain(device, &next, &started, report))
            ok = Fail(report, "drain the FIFO");
    }
    if (report->opened && !Arm(device, 0))
        ok = Fail(report, "disarm the local interrupts");
    CloseHandle(data);
    if (!CloseHandle(device))
        ok = Fail(report, "close the device");
    return ok;
}
