/*
 * qorpelk.h - the interface of the qorpelk export driver for client drivers.
 *
 * Include it after the kernel headers, in C (C99 or later) or C++:
 *
 *     #include <ntddk.h>
 *     #include "qorpelk.h"
 *
 * Every record is packed, little-endian, with 4-byte pointers and handles, exactly as
 * the 32-bit x86 NT client drivers compile against it; sizes and offsets are checked
 * at compile time below. Every function uses the standard calling convention and C
 * linkage. On the NT target a client links against the import library libqorpelk.a,
 * which binds the decorated symbols (_QorOpenDevice@4) to the names that qorpelk.sys
 * exports undecorated (QorOpenDevice), as ntoskrnl.exe does for its own exports.
 */
#ifndef QORPELK_H
#define QORPELK_H

#if !defined(_NTDDK_) && !defined(QOR_HOST_NTDDK_H)
#error "include <ntddk.h> before qorpelk.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ----------------------------------------------------------------------------------
 * Calling convention and linkage
 * ---------------------------------------------------------------------------------- */
#if defined(_MSC_VER)
#define QORCALL __stdcall
#else
#define QORCALL __attribute__((__stdcall__))
#endif

#if defined(_WIN32) && defined(QOR_BUILDING_LIBRARY)
#define QORAPI __declspec(dllexport)
#elif defined(_WIN32)
#define QORAPI __declspec(dllimport)
#else
#define QORAPI
#endif

#if defined(__cplusplus)
#define QOR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QOR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else /* C99: an array of negative size stops the compiler */
#define QOR_STATIC_ASSERT_NAME2(line) qor_layout_check_##line
#define QOR_STATIC_ASSERT_NAME(line) QOR_STATIC_ASSERT_NAME2(line)
#define QOR_STATIC_ASSERT(cond, msg) \
    typedef char QOR_STATIC_ASSERT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif

/* ----------------------------------------------------------------------------------
 * Constants
 * ---------------------------------------------------------------------------------- */

/* Pool tag of every allocation the library makes: "Ddk " read as a little-endian u32. */
#define QOR_POOL_TAG 0x206B6444UL

/* QorFindRecord.ControllerType / QorDevExt.ControllerType */
#define QOR_CONTROLLER_S5933 0
#define QOR_CONTROLLER_PLX9050 1
#define QOR_CONTROLLER_PLX9080 2

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

/* QorDbx.Flags */
#define DbxBusy 0x0001
#define DbxDespFlag1 0x0002
#define DbxRequestFlag 0x0004
#define DbxOutput 0x0008
#define DbxSync 0x0010
#define DbxDoubleBuffer 0x0020
#define DbxHwUpper 0x0040
#define DbxUserUpper 0x0080
#define DbxLowerReady 0x0100
#define DbxUpperReady 0x0200
#define DbxMailbox 0x0400
#define DbxNoView 0x4000

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

/* NTSTATUS values the library returns or stores that <ntddk.h> may not name. */
#define QOR_STATUS_PORT_TRANSLATION_FAILED ((NTSTATUS)0xC000002EL)
#define QOR_STATUS_BUFFER_SETUP_FAILED ((NTSTATUS)0xC0000099L)

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

/* ----------------------------------------------------------------------------------
 * Records (all packed)
 * ---------------------------------------------------------------------------------- */
#pragma pack(push, 1)

struct QorDbx;
struct QorDsen;
struct QorDriverBlock;
struct QorDevExt;

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

/* The client's enumeration record (348 bytes). */
typedef struct QorFindRecord {
    USHORT VendorId;
    USHORT DeviceId;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    PCWSTR BaseName;
    PCWSTR DeviceName;
    PCWSTR DosName;
    PKSERVICE_ROUTINE InterruptRoutine;
    PKDEFERRED_ROUTINE DpcRoutine;
    PIO_TIMER_ROUTINE TimerRoutine;
    USHORT ControllerType;
    USHORT PortCount;
    USHORT BufferParam[QOR_BUFFER_KINDS];
    QorDesp *Desp;
    PDEVICE_OBJECT DeviceObject;
    struct QorDevExt *DevExt;
    struct QorDriverBlock *DriverBlock;
    ULONG SlotNumber;
    USHORT CardCount;
    USHORT BusNumber;
    USHORT DeviceNumber;
    USHORT FunctionNumber;
    UCHAR RevisionId;
    UCHAR Reserved0[3];
    PCI_COMMON_CONFIG PciConfig; /* first 64 bytes of the last probed function */
    ULONG LastStatus;
    UCHAR DownloadFpga;
    UCHAR Reserved1[3];
    PUNICODE_STRING FpgaFileName;
} QorFindRecord;

/* One per client driver, owned by the library (33 bytes). */
typedef struct QorDriverBlock {
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    PUNICODE_STRING BaseName;
    PUNICODE_STRING DosLinkPrefix;
    ULONG Reserved;
    QorDesp *Desp;
    USHORT BufferParam[QOR_BUFFER_KINDS];
    UCHAR HasTimer;
} QorDriverBlock;

/* The device extension of a card's device object (84 bytes). */
typedef struct QorDevExt {
    PDEVICE_OBJECT DeviceObject;
    QorDriverBlock *DriverBlock;
    PKINTERRUPT InterruptObject;
    struct QorDbx *Buffers[QOR_BUFFER_KINDS];
    struct QorDsen *DualIntEvents;
    struct QorDsen *AuxEvent;
    ULONG InterruptVector;
    ULONG InterruptLevel;
    ULONG SlotNumber;
    ULONG EnumParam;
    ULONG ActualDeviceId;
    ULONG PortBase[4];
    USHORT ControllerType;
    USHORT BusNumber;
    USHORT CardIndex;
    UCHAR RevisionId;
    USHORT PortCount;        /* at the odd offset 79 */
    UCHAR Opened;
    USHORT ExtraOpens;
} QorDevExt;

/* One contiguous region of an acquisition buffer (12 bytes). */
typedef struct QorDbxDescriptor {
    ULONG PhysAddr;
    PVOID KernelAddr;
    ULONG Count;
} QorDbxDescriptor;

/*
 * The acquisition buffer object of one buffer kind (70 bytes). A buffer object used
 * for a PLX 9080 scatter-gather chain reads offset 4 as the chunk chain and Upper as
 * the local address, user buffer and user byte count.
 */
typedef struct QorDbx {
    ULONG UserAddress0;
    ULONG UserAddress1;
    HANDLE EventHandle;
    PKEVENT Event;
    PIRP PendingIrp;
    ULONG Size;
    ULONG TransferBytes;
    ULONG DoneBytes;
    KSPIN_LOCK Lock;
    QorDbxDescriptor Whole;
    QorDbxDescriptor Upper;
    USHORT ListLimit;
    USHORT SampleBytes;
    USHORT RepeatCount;
    USHORT Param;
    USHORT Flags;
} QorDbx;

/* A locked chunk of a user buffer under a PLX 9080 scatter-gather chain (12 bytes). */
typedef struct QorLockedChunk {
    PMDL Mdl;
    ULONG Length;
    struct QorLockedChunk *Next;
} QorLockedChunk;

/* An event pair with the PLX 9050 dual-interrupt settings (26 bytes). */
typedef struct QorDsen {
    HANDLE EventHandle0;
    PKEVENT Event0;
    HANDLE EventHandle1;
    PKEVENT Event1;
    KSPIN_LOCK Lock;
    USHORT Int1Param;
    USHORT Int2Param;
    UCHAR Int1Enabled;
    UCHAR Int2Enabled;
} QorDsen;

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

/* ----------------------------------------------------------------------------------
 * Layout checks: the binary interface of the 32-bit client drivers.
 * ---------------------------------------------------------------------------------- */
#define QOR_CHECK_SIZE(type, size) QOR_STATIC_ASSERT(sizeof(type) == (size), #type " size")
#define QOR_CHECK_AT(type, field, off) \
    QOR_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")

QOR_STATIC_ASSERT(sizeof(void *) == 4, "qorpelk.h describes the 32-bit x86 interface");

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

QOR_CHECK_SIZE(QorFindRecord, 348);
QOR_CHECK_AT(QorFindRecord, VendorId, 0);
QOR_CHECK_AT(QorFindRecord, DeviceId, 2);
QOR_CHECK_AT(QorFindRecord, DriverObject, 4);
QOR_CHECK_AT(QorFindRecord, RegistryPath, 8);
QOR_CHECK_AT(QorFindRecord, BaseName, 12);
QOR_CHECK_AT(QorFindRecord, DeviceName, 16);
QOR_CHECK_AT(QorFindRecord, DosName, 20);
QOR_CHECK_AT(QorFindRecord, InterruptRoutine, 24);
QOR_CHECK_AT(QorFindRecord, DpcRoutine, 28);
QOR_CHECK_AT(QorFindRecord, TimerRoutine, 32);
QOR_CHECK_AT(QorFindRecord, ControllerType, 36);
QOR_CHECK_AT(QorFindRecord, PortCount, 38);
QOR_CHECK_AT(QorFindRecord, BufferParam, 40);
QOR_CHECK_AT(QorFindRecord, Desp, 48);
QOR_CHECK_AT(QorFindRecord, DeviceObject, 52);
QOR_CHECK_AT(QorFindRecord, DevExt, 56);
QOR_CHECK_AT(QorFindRecord, DriverBlock, 60);
QOR_CHECK_AT(QorFindRecord, SlotNumber, 64);
QOR_CHECK_AT(QorFindRecord, CardCount, 68);
QOR_CHECK_AT(QorFindRecord, BusNumber, 70);
QOR_CHECK_AT(QorFindRecord, DeviceNumber, 72);
QOR_CHECK_AT(QorFindRecord, FunctionNumber, 74);
QOR_CHECK_AT(QorFindRecord, RevisionId, 76);
QOR_CHECK_AT(QorFindRecord, PciConfig, 80);
QOR_CHECK_AT(QorFindRecord, LastStatus, 336);
QOR_CHECK_AT(QorFindRecord, DownloadFpga, 340);
QOR_CHECK_AT(QorFindRecord, FpgaFileName, 344);

QOR_CHECK_SIZE(QorDriverBlock, 33);
QOR_CHECK_AT(QorDriverBlock, DriverObject, 0);
QOR_CHECK_AT(QorDriverBlock, RegistryPath, 4);
QOR_CHECK_AT(QorDriverBlock, BaseName, 8);
QOR_CHECK_AT(QorDriverBlock, DosLinkPrefix, 12);
QOR_CHECK_AT(QorDriverBlock, Desp, 20);
QOR_CHECK_AT(QorDriverBlock, BufferParam, 24);
QOR_CHECK_AT(QorDriverBlock, HasTimer, 32);

QOR_CHECK_SIZE(QorDevExt, 84);
QOR_CHECK_AT(QorDevExt, DeviceObject, 0);
QOR_CHECK_AT(QorDevExt, DriverBlock, 4);
QOR_CHECK_AT(QorDevExt, InterruptObject, 8);
QOR_CHECK_AT(QorDevExt, Buffers, 12);
QOR_CHECK_AT(QorDevExt, DualIntEvents, 28);
QOR_CHECK_AT(QorDevExt, AuxEvent, 32);
QOR_CHECK_AT(QorDevExt, InterruptVector, 36);
QOR_CHECK_AT(QorDevExt, InterruptLevel, 40);
QOR_CHECK_AT(QorDevExt, SlotNumber, 44);
QOR_CHECK_AT(QorDevExt, EnumParam, 48);
QOR_CHECK_AT(QorDevExt, ActualDeviceId, 52);
QOR_CHECK_AT(QorDevExt, PortBase, 56);
QOR_CHECK_AT(QorDevExt, ControllerType, 72);
QOR_CHECK_AT(QorDevExt, BusNumber, 74);
QOR_CHECK_AT(QorDevExt, CardIndex, 76);
QOR_CHECK_AT(QorDevExt, RevisionId, 78);
QOR_CHECK_AT(QorDevExt, PortCount, 79);
QOR_CHECK_AT(QorDevExt, Opened, 81);
QOR_CHECK_AT(QorDevExt, ExtraOpens, 82);

QOR_CHECK_SIZE(QorDbxDescriptor, 12);
QOR_CHECK_AT(QorDbxDescriptor, PhysAddr, 0);
QOR_CHECK_AT(QorDbxDescriptor, KernelAddr, 4);
QOR_CHECK_AT(QorDbxDescriptor, Count, 8);

QOR_CHECK_SIZE(QorDbx, 70);
QOR_CHECK_AT(QorDbx, UserAddress0, 0);
QOR_CHECK_AT(QorDbx, UserAddress1, 4);
QOR_CHECK_AT(QorDbx, EventHandle, 8);
QOR_CHECK_AT(QorDbx, Event, 12);
QOR_CHECK_AT(QorDbx, PendingIrp, 16);
QOR_CHECK_AT(QorDbx, Size, 20);
QOR_CHECK_AT(QorDbx, TransferBytes, 24);
QOR_CHECK_AT(QorDbx, DoneBytes, 28);
QOR_CHECK_AT(QorDbx, Lock, 32);
QOR_CHECK_AT(QorDbx, Whole, 36);
QOR_CHECK_AT(QorDbx, Upper, 48);
QOR_CHECK_AT(QorDbx, ListLimit, 60);
QOR_CHECK_AT(QorDbx, SampleBytes, 62);
QOR_CHECK_AT(QorDbx, RepeatCount, 64);
QOR_CHECK_AT(QorDbx, Param, 66);
QOR_CHECK_AT(QorDbx, Flags, 68);

QOR_CHECK_SIZE(QorLockedChunk, 12);
QOR_CHECK_AT(QorLockedChunk, Mdl, 0);
QOR_CHECK_AT(QorLockedChunk, Length, 4);
QOR_CHECK_AT(QorLockedChunk, Next, 8);

QOR_CHECK_SIZE(QorDsen, 26);
QOR_CHECK_AT(QorDsen, EventHandle0, 0);
QOR_CHECK_AT(QorDsen, Event0, 4);
QOR_CHECK_AT(QorDsen, EventHandle1, 8);
QOR_CHECK_AT(QorDsen, Event1, 12);
QOR_CHECK_AT(QorDsen, Lock, 16);
QOR_CHECK_AT(QorDsen, Int1Param, 20);
QOR_CHECK_AT(QorDsen, Int2Param, 22);
QOR_CHECK_AT(QorDsen, Int1Enabled, 24);
QOR_CHECK_AT(QorDsen, Int2Enabled, 25);

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

#undef QOR_CHECK_SIZE
#undef QOR_CHECK_AT

/* ----------------------------------------------------------------------------------
 * Exported functions (69)
 * ---------------------------------------------------------------------------------- */

/* Enumeration */
QORAPI BOOLEAN QORCALL QorFindDeviceBegin(QorFindRecord *record);
QORAPI BOOLEAN QORCALL QorFindDeviceNext(QorFindRecord *record);
QORAPI BOOLEAN QORCALL QorFindDeviceEnd(PVOID record);
QORAPI BOOLEAN QORCALL QorEnumDevice(QorFindRecord *record);
/*
 * Reads the value named by the decimal index of the card set up last (CardCount - 1,
 * "0" to "9") under the Parameters key into record->DevExt->EnumParam; an absent key or
 * value reads as 0. FALSE on an allocation failure or a failed query. With CardCount 0
 * (no card yet) or above 10 there is no value name: FALSE, without a query, and
 * EnumParam is left as it was.
 */
QORAPI BOOLEAN QORCALL QorReadEnumReg(QorFindRecord *record);

/* Life cycle */
QORAPI BOOLEAN QORCALL QorOpenDevice(PDEVICE_OBJECT deviceObject);
QORAPI NTSTATUS QORCALL QorCloseDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
QORAPI VOID QORCALL QorDropDevice(PDEVICE_OBJECT deviceObject);
QORAPI VOID QORCALL QorDropDriver(QorDriverBlock *block);
QORAPI VOID QORCALL QorUnloadDriver(PDRIVER_OBJECT driverObject);

/* Requests. Each writes a library status into the first field of its record. */
QORAPI BOOLEAN QORCALL QorIocCheckBufferLength(PIRP irp);
QORAPI BOOLEAN QORCALL QorIocGetDesp(QorDevExt *devExt, QorDesp *out);
QORAPI BOOLEAN QORCALL QorIocContPreProc(QorDevExt *devExt, QorDbx *dbx, PIRP irp);
QORAPI NTSTATUS QORCALL QorIocContPostProc(QorDevExt *devExt, QorDbx *dbx);
QORAPI BOOLEAN QORCALL QorIocAsyCheck(QorDevExt *devExt, QorDbx *dbx, QorAsyResult *out);
QORAPI BOOLEAN QORCALL QorIocAsyClear(QorDevExt *devExt, QorDbx *dbx, QorAsyResult *out);
QORAPI BOOLEAN QORCALL QorIocDbfMode(QorDevExt *devExt, QorDbx *dbx, QorDbfModeRequest *io);
QORAPI BOOLEAN QORCALL QorIocDbfHalfReady(QorDevExt *devExt, QorDbx *dbx,
                                          QorDbfHalfResult *out);
QORAPI BOOLEAN QORCALL QorIocPioRead(USHORT portWidth, QorPioRequest *request);
QORAPI BOOLEAN QORCALL QorIocPioWrite(USHORT portWidth, QorPioRequest *request,
                                      ULONG currentValue);
QORAPI VOID QORCALL QorIocPortIoRead(QorDevExt *devExt, USHORT portWidth,
                                     QorPortIoRequest *request);
QORAPI VOID QORCALL QorIocPortIoWrite(QorDevExt *devExt, USHORT portWidth,
                                      QorPortIoRequest *request);
QORAPI BOOLEAN QORCALL I8254L_IocCtrSet(ULONG base, QorCounterRequest *request);
QORAPI BOOLEAN QORCALL I8254W_IocCtrSet(ULONG base, QorCounterRequest *request);
QORAPI BOOLEAN QORCALL I8254B_IocCtrSet(ULONG base, QorCounterRequest *request);
QORAPI BOOLEAN QORCALL I8254L_IocCtrGet(ULONG base, QorCounterRequest *request);
QORAPI BOOLEAN QORCALL I8254W_IocCtrGet(ULONG base, QorCounterRequest *request);
QORAPI BOOLEAN QORCALL I8254B_IocCtrGet(ULONG base, QorCounterRequest *request);
/*
 * Splits a pacer divisor into two cascaded 16-bit counts: (first << 16) | second. Below 4
 * both counts are 2. Otherwise the second count is 2^k for the smallest k >= 1 that brings
 * the first count, divisor >> k, below 0x10000; the product is the divisor with its low k
 * bits cleared. From 0x80000000 up k is 16 and the second count, 65536, is returned as 0:
 * the count that makes an 8254 counter in binary mode divide by 65536 (the counter set
 * requests accept and load 0). So 0x80000000 gives 0x80000000 and 0xFFFFFFFF gives
 * 0xFFFF0000 (65535 x 65536).
 */
QORAPI ULONG QORCALL QorSplitePacer(ULONG divisor);
QORAPI VOID QORCALL PLX90_IocSetDualInt(QorDevExt *devExt, QorDualIntRequest *request);
QORAPI VOID QORCALL PLX90_IocGetDualInt(QorDevExt *devExt, QorDualIntRequest *result);

/* DPC */
QORAPI VOID QORCALL QorDpcDbx(QorDbx *dbx);
QORAPI VOID QORCALL QorDpcDsen(QorDsen *dsen);

/* AMCC S5933; base is PortBase[0]. */
QORAPI VOID QORCALL S593_ClearController(ULONG base);
QORAPI VOID QORCALL S593_StartODMA(ULONG base, QorDbxDescriptor *descriptor);
QORAPI VOID QORCALL S593_StartIDMA(ULONG base, QorDbxDescriptor *descriptor);
QORAPI ULONG QORCALL S593_StopODMA(ULONG base);
QORAPI ULONG QORCALL S593_StopIDMA(ULONG base);
QORAPI ULONG QORCALL S593_OutCountLeft(ULONG base);
QORAPI ULONG QORCALL S593_InCountLeft(ULONG base);
QORAPI BOOLEAN QORCALL S593_OutFlushFIFO(ULONG base);
QORAPI ULONG QORCALL S593_InFlushFIFO(ULONG base, ULONG regionBytes, ULONG fillAddress,
                                      ULONG nextAddress);
QORAPI VOID QORCALL S593_StartIMB(ULONG base, USHORT mailbox, USHORT byteSelect);
QORAPI VOID QORCALL S593_StartOMB(ULONG base, USHORT mailbox, USHORT byteSelect);
QORAPI VOID QORCALL S593_StopIMB(ULONG base);
QORAPI VOID QORCALL S593_StopOMB(ULONG base);

/* PLX PCI 9050; base is PortBase[0]. */
QORAPI VOID QORCALL PLX90_ClearController(ULONG base);
QORAPI VOID QORCALL PLX90_SoftReset(ULONG base);
QORAPI VOID QORCALL PLX90_SetInt(ULONG base, USHORT which, USHORT enable);
QORAPI VOID QORCALL PLX90_SetUserIoPin(ULONG base, USHORT pin, USHORT value);
QORAPI VOID QORCALL PLX90_GetUserIoPin(ULONG base, USHORT pin, PUSHORT value);

/* PLX PCI 9080; base is PortBase[0]. */
QORAPI VOID QORCALL P9080_SoftReset(ULONG base);
QORAPI VOID QORCALL P9080_ClearController(ULONG base);
QORAPI VOID QORCALL P9080_SetDMAWidth(ULONG base, ULONG channel, ULONG width);
QORAPI BOOLEAN QORCALL P9080_StopDMA(ULONG base, ULONG channel);
QORAPI BOOLEAN QORCALL P9080_StartDMA(ULONG base, ULONG channel, QorDbx *dbx);
/*
 * Locks the user buffer (Upper.KernelAddr, Upper.Count bytes; the caller runs in its
 * process) in chunks and writes its descriptor chain at Whole. Returns 0 when refused,
 * with nothing locked, or when a chunk fails: a failure in the first chunk leaves the
 * buffer object unchanged; a later one leaves the chunks locked so far on the chain,
 * for P9080_ClearDmaDscr. A chunk whose chain node cannot be allocated counts as failed:
 * its pages are unlocked and its MDL freed before the build returns 0.
 */
QORAPI BOOLEAN QORCALL P9080_BuildDmaDscr(QorDbx *dbx);
QORAPI VOID QORCALL P9080_ClearDmaDscr(QorDbx *dbx);

/* Utilities: counted strings, zero-filled nonpaged blocks, sleep. */
QORAPI ULONG QORCALL QorSizeofWcs(PCWSTR string);
QORAPI VOID QORCALL QorClearUcs(PUNICODE_STRING string);
QORAPI PUNICODE_STRING QORCALL QorNewUcs(USHORT capacity);
QORAPI VOID QORCALL QorDeleteUcs(PUNICODE_STRING string);
QORAPI PUNICODE_STRING QORCALL QorDupUcsToUcs(PCUNICODE_STRING string);
QORAPI PUNICODE_STRING QORCALL QorDupWcsToUcs(PCWSTR string);
/* Appends whole characters while they fit, silently cutting the rest; returns the
 * address just past the last character written, which is Buffer + Length / 2. */
QORAPI PWCH QORCALL QorCatWcs(PUNICODE_STRING destination, PCWSTR source);
/* Appends as many bytes as fit, silently cutting the rest; returns the bytes appended. */
QORAPI ULONG QORCALL QorCatUcs(PUNICODE_STRING destination, PCUNICODE_STRING source);
QORAPI PVOID QORCALL QorNewNpp(ULONG size);
QORAPI VOID QORCALL QorDeleteNpp(PVOID block);
/* A kernel-mode, non-alertable relative wait; returns KeDelayExecutionThread's status. */
QORAPI NTSTATUS QORCALL QorSleep(LONG milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* QORPELK_H */
