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

#include "qorpelk_requests.h"

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

/* ----------------------------------------------------------------------------------
 * Constants
 * ---------------------------------------------------------------------------------- */

/* Pool tag of every allocation the library makes: "Ddk " read as a little-endian u32. */
#define QOR_POOL_TAG 0x206B6444UL

/* QorFindRecord.ControllerType / QorDevExt.ControllerType */
#define QOR_CONTROLLER_S5933 0
#define QOR_CONTROLLER_PLX9050 1
#define QOR_CONTROLLER_PLX9080 2

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

/* NTSTATUS values the library returns or stores that <ntddk.h> may not name. */
#define QOR_STATUS_PORT_TRANSLATION_FAILED ((NTSTATUS)0xC000002EL)
#define QOR_STATUS_BUFFER_SETUP_FAILED ((NTSTATUS)0xC0000099L)

/* ----------------------------------------------------------------------------------
 * Records (all packed)
 * ---------------------------------------------------------------------------------- */
#pragma pack(push, 1)

struct QorDbx;
struct QorDsen;
struct QorDriverBlock;
struct QorDevExt;

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

#pragma pack(pop)

/* ----------------------------------------------------------------------------------
 * Layout checks: the binary interface of the 32-bit client drivers.
 * ---------------------------------------------------------------------------------- */
QOR_STATIC_ASSERT(sizeof(void *) == 4, "qorpelk.h describes the 32-bit x86 interface");

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


/* ----------------------------------------------------------------------------------
 * Exported functions (69)
 * ---------------------------------------------------------------------------------- */

/* Enumeration */
QORAPI BOOLEAN QORCALL QorFindDeviceBegin(QorFindRecord *record);
/*
 * Searching the 0x2B94 family (ControllerType 1, DeviceId 0x2B94) finds cards with device
 * ID 0x2B94 or 0x2B93 and leaves the ID found in DeviceId until QorEnumDevice restores
 * 0x2B94. A plain PLX 9050 found by its subsystem ID leaves DeviceId unchanged.
 */
QORAPI BOOLEAN QORCALL QorFindDeviceNext(QorFindRecord *record);
QORAPI BOOLEAN QORCALL QorFindDeviceEnd(PVOID record);
/*
 * Sets up the card the last QorFindDeviceNext found; on failure the card is dropped whole,
 * CardCount is unchanged and LastStatus tells why (not written when the device object or
 * the FPGA configuration failed).
 * - DownloadFpga with fewer than 3 port bases stored (PortBase[0] and the configuration
 *   port PortBase[2] are needed): the card is refused before any port is written, with
 *   LastStatus STATUS_INVALID_PARAMETER.
 * - A PLX 9050 whose register window has bit 7 set is moved behind its second I/O range
 *   when BAR5 is a memory range; with fewer than 2 port bases stored there is no
 *   translated address for that place, and the window stays where the HAL put it. With
 *   BAR5 an I/O range it is moved onto BAR5, whatever PortCount is.
 * - Only the first interrupt descriptor of the resource list is connected.
 * - PortBase[0], the bridge chip's registers (the card's first I/O range), is kept even
 *   when the record's PortCount asks for no port bases (PortCount stays 0): the chip must
 *   be put idle at the first open, the last close and the drop, or an S5933 or PLX 9080
 *   left bus-mastering would write into buffer memory after it was freed. The reset is
 *   skipped only for a card with no translated I/O range (PortBase[0] 0, which is the
 *   system DMA controller's port, never a card's).
 */
QORAPI BOOLEAN QORCALL QorEnumDevice(QorFindRecord *record);
/*
 * Reads the value named by the decimal index of the card set up last (CardCount - 1,
 * "0" to "9") under the Parameters key into record->DevExt->EnumParam; an absent key or
 * value reads as 0. FALSE on an allocation failure or a failed query. With CardCount 0
 * (no card yet) or above 10 there is no value name: FALSE, without a query, and
 * EnumParam is left as it was. The value is read through a query routine that checks its
 * type, not straight into a 4-byte variable: a direct query of a REG_SZ there would write
 * a counted-string header past the variable. A value that is no REG_DWORD reads as
 * absent (0, TRUE). The buffer-size values (AI, AO, DI, DO) and FPGA (REG_SZ only) are
 * read the same way.
 */
QORAPI BOOLEAN QORCALL QorReadEnumReg(QorFindRecord *record);

/* Life cycle */
/*
 * The named events' handles are made (first open) and closed (last close, drop) in the
 * system process: NT 4 puts a handle made in a request's context into the calling
 * program's handle table, where only that program can close it and where it dies with
 * the program, while the last close or the unload may come from another program or from
 * the system. A first open that fails undoes what it made: the views it mapped into the
 * opening program are removed and the events it created are closed, so that a retry or
 * the program's exit leaves nothing behind.
 */
QORAPI BOOLEAN QORCALL QorOpenDevice(PDEVICE_OBJECT deviceObject);
QORAPI NTSTATUS QORCALL QorCloseDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
/*
 * A drop that cannot allocate its link name leaves the device object, its extension and
 * its link; everything else is released and cleared in the extension, so the drop may be
 * retried (directly or by a later QorUnloadDriver) without releasing anything twice.
 */
QORAPI VOID QORCALL QorDropDevice(PDEVICE_OBJECT deviceObject);
/*
 * Leaves the block alone while a device object of its driver still points at it (a device
 * whose drop failed): freeing it would make the retried drop read freed memory.
 */
QORAPI VOID QORCALL QorDropDriver(QorDriverBlock *block);
/*
 * When a device's drop fails the driver block stays with it; a second QorUnloadDriver
 * drops what is left and then frees the block.
 */
QORAPI VOID QORCALL QorUnloadDriver(PDRIVER_OBJECT driverObject);

/* Requests. Each writes a library status into the first field of its record. */
/*
 * The library status of a rejected request is written only into the system buffer of a
 * METHOD_BUFFERED request. A code outside the table may carry any transfer method; the
 * I/O manager gives a METHOD_IN_DIRECT or METHOD_OUT_DIRECT request a system buffer of
 * the input length only (none without input) and a METHOD_NEITHER request none at all,
 * so such a request is rejected with STATUS_INVALID_PARAMETER and information 0 and
 * nothing is written. Note that NT copies no data back for an error status: a user
 * program sees the library status of a rejection only through the status code.
 */
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
 * The pages are probed in user mode, so a range outside the program's user space fails
 * the lock instead of letting the card write kernel memory, and the MDLs charge no
 * process quota, since P9080_ClearDmaDscr may run in another process's context.
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
