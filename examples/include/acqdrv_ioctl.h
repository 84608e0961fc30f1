/*
 * The requests of the sample acquisition driver, shared by the driver and its user
 * programs. Every code is a row of the library's request-length table; the driver decides
 * what each one asks for. The low bits of the function number pick the buffer kind:
 * ...5 analog input, ...9 analog output, ...6 digital input, ...A digital output.
 *
 * How the driver refuses (the request fails; the record does not come back):
 * - a code it does not serve, among them the rows of a buffer group whose low bits name no
 *   buffer kind (0x830, 0x840, ...): STATUS_INVALID_DEVICE_REQUEST (ERROR_INVALID_FUNCTION);
 * - a start on a PLX card (the driver runs bus-master transfers on its S5933 cards only):
 *   STATUS_INVALID_DEVICE_REQUEST;
 * - a port request whose Offset + Width ends beyond the card's register range:
 *   STATUS_INVALID_PARAMETER (ERROR_INVALID_PARAMETER), no port touched;
 * - a synchronous start still pending when its handle is closed or its I/O cancelled:
 *   STATUS_CANCELLED (ERROR_OPERATION_ABORTED), the transfer stopped.
 * Requests the library refuses complete with success and carry the library's status in
 * the record's Status field.
 */
#ifndef ACQDRV_IOCTL_H
#define ACQDRV_IOCTL_H

#include "qorpelk_requests.h"

#define ACQ_IOCTL_GET_DESP QOR_IOCTL_GET_DESP                 /* out QorDesp */
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

#endif /* ACQDRV_IOCTL_H */
