/*
 * qorpelk_requests.h - what user programs and client drivers share: the device
 * description, the request records that travel in a buffered I/O-control request's system
 * buffer, the library status codes and the request codes with their lengths.
 *
 * Needs only the basic integer types (SHORT, USHORT, ULONG, UCHAR, CHAR) of <windows.h> or
 * <ntddk.h>; qorpelk.h includes it for client drivers. Records are packed, little-endian.
 */
#ifndef QORPELK_REQUESTS_H
#define QORPELK_REQUESTS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__cplusplus)
#define QOR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QOR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else /* C99: an array of negative size stops the compiler */
#define QOR_STATIC_ASSERT_NAME2(line) qor_layout_check_##line
#define QOR_STATIC_ASSERT_NAME(line) QOR_STATIC_ASSERT_NAME2(line)
#if defined(__COUNTER__) /* unique across the headers that use it */
#define QOR_STATIC_ASSERT(cond, msg) \
    typedef char QOR_STATIC_ASSERT_NAME(__COUNTER__)[(cond) ? 1 : -1]
#else
#define QOR_STATIC_ASSERT(cond, msg) \
    typedef char QOR_STATIC_ASSERT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif
#endif

#define QOR_CHECK_SIZE(type, size) QOR_STATIC_ASSERT(sizeof(type) == (size), #type " size")
#define QOR_CHECK_AT(type, field, off) \
    QOR_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")

/* Buffer kinds, the index of QorDevExt.Buffers and QorDesp.Buffers; odd kinds are outputs. */
#define QOR_KIND_ANALOG_INPUT 0
#define QOR_KIND_ANALOG_OUTPUT 1
#define QOR_KIND_DIGITAL_INPUT 2
#define QOR_KIND_DIGITAL_OUTPUT 3
#define QOR_BUFFER_KINDS 4

/* Named-event indices: 0-3 the buffer kinds, 4 and 6 the dual-interrupt pair, 5 auxiliary. */
#define QOR_EVENT_DUAL_INT_FIRST 4
#define QOR_EVENT_AUX 5
#define QOR_EVENT_DUAL_INT_SECOND 6

/* QorDespBuffer.Flags bits read by the library. */
#define QOR_DESP_PRESENT 0x0001
#define QOR_DESP_NEEDS_BUFFER 0x0006
#define QOR_DESP_FLAG1 0x0002
#define QOR_DESP_NO_VIEW 0x4000
#define QOR_LIST_LIMIT_MAX 256

/* Library status codes: the i16 at offset 0 of every request record and of QorDesp. */
#define QorOk 0
#define QorErrDescription (-101)
#define QorErrUnknownRequest (-102)
#define QorErrInputTooShort (-103)
#define QorErrOutputTooShort (-104)
#define QorErrNoBuffer (-105)
#define QorErrBusy (-106)
#define QorErrNotDoubleBuffer (-107)
#define QorErrSynchronous (-108)
#define QorErrCounterNumber (-111)
#define QorErrCounterMode (-112)
#define QorErrBufferTooSmall (-114)
#define QorErrByteCount (-116)
#define QorErrBitIndex (-117)
#define QorErrPortWidth (-118)
#define QorErrListTooLong (-119)

/* ----------------------------------------------------------------------------------
 * I/O-control request codes: device type 0xADC0, FILE_ANY_ACCESS, METHOD_BUFFERED.
 * ---------------------------------------------------------------------------------- */
#define QOR_DEVICE_TYPE 0xADC0
#define QOR_IOCTL_CODE(function) \
    ((ULONG)(((ULONG)QOR_DEVICE_TYPE << 16) | ((ULONG)(function) << 2)))
#define QOR_IOCTL_FUNCTION(code) (((ULONG)(code) >> 2) & 0xFFF)

/* The description request; answered with a QorDesp. */
#define QOR_IOCTL_GET_DESP QOR_IOCTL_CODE(0x810)

/*
 * The request-length table, in table order: X(function, input length, output length).
 * Rows with function 0x875, 0x879, 0x876 and 0x87A carry a QorContRequest whose input
 * grows by 4 bytes for every list entry past the first.
 */
#define QOR_IOCTL_TABLE(X) \
    X(0x810, 0, 298) X(0x825, 16, 2) X(0x829, 16, 2) X(0x826, 16, 2) X(0x82A, 16, 2) \
    X(0x82B, 16, 2) X(0x830, 16, 2) X(0x835, 0, 8) X(0x839, 0, 8) X(0x836, 0, 8) \
    X(0x83A, 0, 8) X(0x845, 0, 8) X(0x849, 0, 8) X(0x846, 0, 8) X(0x84A, 0, 8) \
    X(0x855, 0, 8) X(0x859, 0, 8) X(0x856, 0, 8) X(0x85A, 0, 8) X(0x865, 8, 2) \
    X(0x869, 8, 2) X(0x866, 8, 2) X(0x86A, 8, 2) X(0x875, 22, 2) X(0x879, 22, 2) \
    X(0x876, 22, 2) X(0x87A, 22, 2) X(0x91A, 10, 2) X(0x918, 10, 2) X(0x8C5, 0, 4) \
    X(0x8C9, 0, 4) X(0x8C6, 0, 4) X(0x8CA, 0, 4) X(0x885, 12, 12) X(0x889, 12, 12) \
    X(0x886, 12, 2) X(0x88A, 12, 2) X(0x88D, 12, 12) X(0x892, 14, 2) X(0x893, 14, 2) \
    X(0x891, 14, 14) X(0x8A1, 10, 10) X(0x8A2, 10, 2) X(0x8B1, 10, 2) X(0x8B2, 0, 10) \
    X(0x921, 4, 2) X(0x931, 34, 34) X(0x932, 34, 2) X(0x822, 10, 2) X(0x942, 10, 2) \
    X(0x943, 10, 2) X(0x941, 10, 10)

/* Rows of the variable-length rule: (code AND 0x7C0) == 0x1C0. */
#define QOR_IOCTL_VARIABLE_MASK 0x7C0
#define QOR_IOCTL_VARIABLE_MATCH 0x1C0

#pragma pack(push, 1)

/* One 36-byte entry of QorDesp per buffer kind. */
typedef struct QorDespBuffer {
    USHORT Flags;            /* template: QOR_DESP_* bits */
    UCHAR ClientArea0[2];
    USHORT SampleBits;       /* template: bits per sample */
    USHORT ListLimit;        /* template: largest list count of a start; 0: no buffer */
    ULONG BufferSize;        /* at query */
    ULONG UserAddress0;      /* at query: user address of the buffer in the caller */
    ULONG UserAddress1;      /* at query: user address of its upper half */
    CHAR EventName[16];      /* at query: ANSI name of the buffer's event */
} QorDespBuffer;

/* The 298-byte device description: the client's template and the answer of a query. */
typedef struct QorDesp {
    SHORT Status;
    UCHAR ClientArea0[2];
    USHORT BusNumber;
    USHORT SlotNumber;
    UCHAR ClientArea1[14];
    UCHAR HasDualInt;
    CHAR EventName4[16];
    CHAR EventName6[16];
    UCHAR HasAuxEvent;
    CHAR EventName5[16];
    QorDespBuffer Buffers[QOR_BUFFER_KINDS];
    UCHAR ClientArea2[80];
    USHORT OpenCount;
} QorDesp;

/* One row of the request-length table (8 bytes). */
typedef struct QorIoctlLength {
    ULONG Code;
    USHORT InputLength;
    USHORT OutputLength;
} QorIoctlLength;

/* Transfer start (22 bytes with its first list entry; 4 more per further entry). */
typedef struct QorContRequest {
    SHORT Status;
    ULONG SampleCount;
    UCHAR ClientField[4];
    USHORT RequestFlag;
    USHORT RepeatCount;
    USHORT SyncMode;
    USHORT ListCount;
    ULONG List[1];
} QorContRequest;

/* Progress and stop result (8 bytes). */
typedef struct QorAsyResult {
    SHORT Status;
    ULONG SampleCount;
    USHORT Stopped;
} QorAsyResult;

/* Double-buffer mode switch (4 bytes). */
typedef struct QorDbfModeRequest {
    SHORT Status;
    USHORT Enable;
} QorDbfModeRequest;

/* Half query result (8 bytes). */
typedef struct QorDbfHalfResult {
    SHORT Status;
    USHORT Reserved;
    USHORT Ready;
    USHORT Half;
} QorDbfHalfResult;

/* Digital I/O request (12 bytes). */
typedef struct QorPioRequest {
    SHORT Status;
    USHORT ClientField;
    USHORT BitIndex;
    USHORT ByteCount;
    ULONG Value;
} QorPioRequest;

/* Port I/O request (10 bytes). */
typedef struct QorPortIoRequest {
    SHORT Status;
    USHORT Offset;
    USHORT Width;
    ULONG Value;
} QorPortIoRequest;

/* 8254 counter request (14 bytes). */
typedef struct QorCounterRequest {
    SHORT Status;
    USHORT Counter;
    USHORT Mode;
    USHORT Reserved;
    USHORT Bcd;
    ULONG Count;
} QorCounterRequest;

/* PLX 9050 dual-interrupt request (10 bytes). */
typedef struct QorDualIntRequest {
    SHORT Status;
    UCHAR Int1Enable;
    UCHAR Int1Polarity;
    UCHAR Int1Status;
    UCHAR Int1Param;
    UCHAR Int2Enable;
    UCHAR Int2Polarity;
    UCHAR Int2Status;
    UCHAR Int2Param;
} QorDualIntRequest;

#pragma pack(pop)

QOR_CHECK_SIZE(QorDespBuffer, 36);
QOR_CHECK_AT(QorDespBuffer, Flags, 0);
QOR_CHECK_AT(QorDespBuffer, SampleBits, 4);
QOR_CHECK_AT(QorDespBuffer, ListLimit, 6);
QOR_CHECK_AT(QorDespBuffer, BufferSize, 8);
QOR_CHECK_AT(QorDespBuffer, UserAddress0, 12);
QOR_CHECK_AT(QorDespBuffer, UserAddress1, 16);
QOR_CHECK_AT(QorDespBuffer, EventName, 20);

QOR_CHECK_SIZE(QorDesp, 298);
QOR_CHECK_AT(QorDesp, Status, 0);
QOR_CHECK_AT(QorDesp, BusNumber, 4);
QOR_CHECK_AT(QorDesp, SlotNumber, 6);
QOR_CHECK_AT(QorDesp, ClientArea1, 8);
QOR_CHECK_AT(QorDesp, HasDualInt, 22);
QOR_CHECK_AT(QorDesp, EventName4, 23);
QOR_CHECK_AT(QorDesp, EventName6, 39);
QOR_CHECK_AT(QorDesp, HasAuxEvent, 55);
QOR_CHECK_AT(QorDesp, EventName5, 56);
QOR_CHECK_AT(QorDesp, Buffers, 72);
QOR_CHECK_AT(QorDesp, ClientArea2, 216);
QOR_CHECK_AT(QorDesp, OpenCount, 296);

QOR_CHECK_SIZE(QorIoctlLength, 8);
QOR_CHECK_AT(QorIoctlLength, InputLength, 4);
QOR_CHECK_AT(QorIoctlLength, OutputLength, 6);

QOR_CHECK_SIZE(QorContRequest, 22);
QOR_CHECK_AT(QorContRequest, SampleCount, 2);
QOR_CHECK_AT(QorContRequest, ClientField, 6);
QOR_CHECK_AT(QorContRequest, RequestFlag, 10);
QOR_CHECK_AT(QorContRequest, RepeatCount, 12);
QOR_CHECK_AT(QorContRequest, SyncMode, 14);
QOR_CHECK_AT(QorContRequest, ListCount, 16);
QOR_CHECK_AT(QorContRequest, List, 18);

QOR_CHECK_SIZE(QorAsyResult, 8);
QOR_CHECK_AT(QorAsyResult, SampleCount, 2);
QOR_CHECK_AT(QorAsyResult, Stopped, 6);

QOR_CHECK_SIZE(QorDbfModeRequest, 4);
QOR_CHECK_AT(QorDbfModeRequest, Enable, 2);

QOR_CHECK_SIZE(QorDbfHalfResult, 8);
QOR_CHECK_AT(QorDbfHalfResult, Ready, 4);
QOR_CHECK_AT(QorDbfHalfResult, Half, 6);

QOR_CHECK_SIZE(QorPioRequest, 12);
QOR_CHECK_AT(QorPioRequest, BitIndex, 4);
QOR_CHECK_AT(QorPioRequest, ByteCount, 6);
QOR_CHECK_AT(QorPioRequest, Value, 8);

QOR_CHECK_SIZE(QorPortIoRequest, 10);
QOR_CHECK_AT(QorPortIoRequest, Offset, 2);
QOR_CHECK_AT(QorPortIoRequest, Width, 4);
QOR_CHECK_AT(QorPortIoRequest, Value, 6);

QOR_CHECK_SIZE(QorCounterRequest, 14);
QOR_CHECK_AT(QorCounterRequest, Counter, 2);
QOR_CHECK_AT(QorCounterRequest, Mode, 4);
QOR_CHECK_AT(QorCounterRequest, Bcd, 8);
QOR_CHECK_AT(QorCounterRequest, Count, 10);

QOR_CHECK_SIZE(QorDualIntRequest, 10);
QOR_CHECK_AT(QorDualIntRequest, Int1Enable, 2);
QOR_CHECK_AT(QorDualIntRequest, Int1Polarity, 3);
QOR_CHECK_AT(QorDualIntRequest, Int1Status, 4);
QOR_CHECK_AT(QorDualIntRequest, Int1Param, 5);
QOR_CHECK_AT(QorDualIntRequest, Int2Enable, 6);
QOR_CHECK_AT(QorDualIntRequest, Int2Polarity, 7);
QOR_CHECK_AT(QorDualIntRequest, Int2Status, 8);
QOR_CHECK_AT(QorDualIntRequest, Int2Param, 9);


#ifdef __cplusplus
}
#endif

#endif /* QORPELK_REQUESTS_H */
