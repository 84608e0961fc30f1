/*
 * The requests of the sample acquisition driver, shared by the driver and its user
 * programs. Every code is a row of the library's request-length table; the driver decides
 * what each one asks for. The low bits of the function number pick the buffer kind:
 * ...5 analog input, ...9 analog output, ...6 digital input, ...A digital output.
 *
 * Transfers by card family:
 * - S5933 cards: the library's transfers over the driver's contiguous buffers (start,
 *   progress, stop, double-buffer halves), announced by the buffers' named events.
 * - PLX 9080 cards: scatter-gather transfers between the card's FIFO and the program's own
 *   memory (ACQ_IOCTL_SCATTER: analog input on DMA channel 0, analog output on channel 1).
 *   The request pends until the channel has walked its chain and completes with success;
 *   the program's pages stay locked until then. The analog buffers hold the descriptor
 *   chains and have no view; the library's buffer requests (0x830-0x870) are refused.
 * - PLX 9050 cards (no bus master): the card's FIFO announces data on the chip's local
 *   interrupt inputs, LINTi1 when it holds its level of samples, LINTi2 when it overflowed.
 *   ACQ_IOCTL_DUAL_INT_SET arms them (and clears both of the pair's events); an interrupt
 *   masks the input that raised it at the chip, and the DPC pulses the pair's first event
 *   (event 4, LINTi1) or its second (event 6, LINTi2), then enables again an input whose
 *   level has dropped by then. An input still active (the FIFO not read yet) stays masked,
 *   a DUAL_INT_GET reads its enable as 0 and its status as 1, until the program arms it
 *   again. The program waits on event 4 (with a timeout: a pulse that came before it waited
 *   shows in a DUAL_INT_GET), drains the FIFO with port requests (ACQ_FIFO_* below), clears
 *   an overflow and arms again.
 *
 * How the driver refuses (the request fails; the record does not come back):
 * - a code it does not serve, among them the rows of a buffer group whose low bits name no
 *   buffer kind (0x830, 0x840, ...): STATUS_INVALID_DEVICE_REQUEST (ERROR_INVALID_FUNCTION);
 * - a start on a PLX card, a scatter-gather transfer on any other card or kind:
 *   STATUS_INVALID_DEVICE_REQUEST;
 * - a scatter-gather transfer with a zero or unaligned count or address, a range beyond
 *   user space, or more page pieces than the buffer object holds descriptors:
 *   STATUS_INVALID_PARAMETER; pages that cannot be locked in the program:
 *   STATUS_INVALID_USER_BUFFER (ERROR_INVALID_USER_BUFFER); one already running on that
 *   channel: STATUS_DEVICE_BUSY (ERROR_BUSY);
 * - a port request whose Offset + Width ends beyond the card's register range:
 *   STATUS_INVALID_PARAMETER (ERROR_INVALID_PARAMETER), no port touched;
 * - a digital I/O or counter request on a card whose register range does not hold the
 *   digital port or the 8254: STATUS_INVALID_DEVICE_REQUEST, no port touched;
 * - a stop of a running transfer from a handle other than the one that started it:
 *   STATUS_ACCESS_DENIED (ERROR_ACCESS_DENIED), the transfer runs on. Closing the handle
 *   that started a transfer stops it; create and close are serialised per card;
 * - a synchronous start or scatter-gather transfer still pending when its handle is closed
 *   or its I/O cancelled: STATUS_CANCELLED (ERROR_OPERATION_ABORTED), the transfer stopped
 *   and the program's pages unlocked.
 * A description query answers a handle's repeated queries with its first answer: the
 * library maps new views for every query while the card has more than one opener, and the
 * views last as long as the process.
 * Requests the library refuses complete with success and carry the library's status in
 * the record's Status field.
 */
#ifndef ACQDRV_IOCTL_H
#define ACQDRV_IOCTL_H

#include "qorpelk_requests.h"

#define ACQ_IOCTL_GET_DESP QOR_IOCTL_GET_DESP                 /* out QorDesp */
#define ACQ_IOCTL_SCATTER(kind) QOR_IOCTL_CODE(0x825 + acq_kind_step(kind))   /* in AcqScatterRequest */
#define ACQ_IOCTL_START(kind) QOR_IOCTL_CODE(0x875 + acq_kind_step(kind))     /* in QorContRequest */
#define ACQ_IOCTL_PROGRESS(kind) QOR_IOCTL_CODE(0x835 + acq_kind_step(kind))  /* out QorAsyResult */
#define ACQ_IOCTL_STOP(kind) QOR_IOCTL_CODE(0x845 + acq_kind_step(kind))      /* out QorAsyResult */
#define ACQ_IOCTL_HALF(kind) QOR_IOCTL_CODE(0x855 + acq_kind_step(kind))      /* out QorDbfHalfResult */
#define ACQ_IOCTL_DBF_MODE(kind) QOR_IOCTL_CODE(0x865 + acq_kind_step(kind))  /* in QorDbfModeRequest */
#define ACQ_IOCTL_DIO_READ QOR_IOCTL_CODE(0x885)    /* QorPioRequest, the digital input port */
#define ACQ_IOCTL_DIO_WRITE QOR_IOCTL_CODE(0x88A)   /* QorPioRequest, the digital output port */
#define ACQ_IOCTL_COUNTER_GET QOR_IOCTL_CODE(0x891) /* QorCounterRequest */
#define ACQ_IOCTL_COUNTER_SET QOR_IOCTL_CODE(0x892) /* QorCounterRequest */
#define ACQ_IOCTL_PORT_READ QOR_IOCTL_CODE(0x8A1)   /* QorPortIoRequest */
#define ACQ_IOCTL_PORT_WRITE QOR_IOCTL_CODE(0x8A2)  /* QorPortIoRequest */
#define ACQ_IOCTL_DUAL_INT_SET QOR_IOCTL_CODE(0x8B1) /* in QorDualIntRequest */
#define ACQ_IOCTL_DUAL_INT_GET QOR_IOCTL_CODE(0x8B2) /* out QorDualIntRequest */

/* Function-number step of a buffer kind within a group of four requests. */
static inline unsigned acq_kind_step(unsigned kind)
{
    static const unsigned char step[4] = {0, 4, 1, 5};
    return step[kind & 3];
}

/* The buffer kind a request of one of the four-kind groups is about, or -1. */
static inline int acq_kind_of(unsigned long code)
{
    switch ((code >> 2) & 0xF) {
    case 0x5: return 0;
    case 0x9: return 1;
    case 0x6: return 2;
    case 0xA: return 3;
    default: return -1;
    }
}

/* A PLX 9050 card's sample FIFO, in the card's register range (port requests, 32 bits
   wide): DATA gives the two oldest samples (the older in the low half), FILL holds the
   samples waiting (low 16 bits) and the level at which LINTi1 turns active (high 16), CSR
   runs the pacer and latches an overflow, LOST counts the samples dropped since the
   overflow was last cleared. */
#define ACQ_FIFO_DATA 0x00
#define ACQ_FIFO_FILL 0x04
#define ACQ_FIFO_CSR 0x0C
#define ACQ_FIFO_LOST 0x14
#define ACQ_FIFO_RUN 0x1UL      /* CSR: the pacer fills the FIFO */
#define ACQ_FIFO_OVERFLOW 0x4UL /* CSR: a sample met a full FIFO; writing 1 clears it and LOST */

#pragma pack(push, 1)
/* A scatter-gather transfer of a PLX 9080 card (16 bytes in, the status back). */
typedef struct AcqScatterRequest {
    SHORT Status;      /* back: QorOk */
    USHORT Reserved0;
    ULONG Buffer;      /* user address of the program's buffer, a multiple of 4 */
    ULONG Bytes;       /* bytes to move, a nonzero multiple of 4 */
    ULONG Reserved1;
} AcqScatterRequest;
#pragma pack(pop)

#endif /* ACQDRV_IOCTL_H */
