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
/* IRQL: PASSIVE_LEVEL, in the client's DriverEntry.
 * Takes: the client's record: search keys, ControllerType, names, routines, PortCount,
 *   the Desp template, RegistryPath and DownloadFpga. Allocates the record's DriverBlock
 *   (freed by QorUnloadDriver or QorDropDriver) and, with DownloadFpga, FpgaFileName (the
 *   client's to free with QorDeleteUcs).
 * Frees: on failure, all it built; never the DriverBlock or FpgaFileName that a previous
 *   scan left in the record.
 * Fails: FALSE for a null record or when memory runs out; LastStatus is then unchanged.
 *   On success LastStatus reads STATUS_NO_SUCH_DEVICE until a card is set up. */
QORAPI BOOLEAN QORCALL QorFindDeviceBegin(QorFindRecord *record);
/*
 * Searching the 0x2B94 family (ControllerType 1, DeviceId 0x2B94) finds cards with device
 * ID 0x2B94 or 0x2B93 and leaves the ID found in DeviceId until QorEnumDevice restores
 * 0x2B94. A plain PLX 9050 found by its subsystem ID leaves DeviceId unchanged.
 */
/* IRQL: PASSIVE_LEVEL (PCI configuration reads).
 * Takes: the record after QorFindDeviceBegin; the scan resumes at its bus, device and
 *   function.
 * Frees: nothing.
 * Fails: FALSE when the buses are exhausted, which ends the scan; a missing bus is
 *   skipped. */
QORAPI BOOLEAN QORCALL QorFindDeviceNext(QorFindRecord *record);
/* IRQL: any.
 * Takes: the record (any pointer).
 * Frees: nothing; the DriverBlock and the devices stay.
 * Fails: FALSE for a null pointer, TRUE otherwise. */
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
/* IRQL: PASSIVE_LEVEL, in the client's DriverEntry.
 * Takes: the record after a TRUE QorFindDeviceNext. Creates the card's device object and
 *   link, its resources, DPC and timer, connects its interrupt (the client's routine may
 *   run from then on), sets up its buffer objects and, with DownloadFpga, configures the
 *   FPGA. QorDropDevice or QorUnloadDriver frees it all.
 * Frees: on failure, the whole card (the record's DeviceObject and DevExt then point at
 *   freed memory).
 * Fails: FALSE; LastStatus 0xC000009A (no resources assigned), 0xC000002E (port
 *   translation), 0xC000016C (interrupt not connected), 0xC0000099 (buffers),
 *   STATUS_INVALID_PARAMETER (see above); not written when the device object or the FPGA
 *   download failed. */
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
/* IRQL: PASSIVE_LEVEL (registry query).
 * Takes: the record after a successful QorEnumDevice.
 * Frees: its temporary key path and query table, on every path.
 * Fails: FALSE on no memory, a failed query or a CardCount outside 1 to 10. */
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
/* IRQL: PASSIVE_LEVEL, in the create dispatch and the context of the opening process (the
 *   buffers are mapped into it).
 * Takes: the card's device object. The first open resets the controller, maps the buffers
 *   and creates the named events.
 * Frees: its temporary strings.
 * Fails: FALSE for a null device object, extension or DriverBlock, or when a string, view
 *   or event cannot be made; the client fails the create. A failed first open removes
 *   the views it mapped and closes the events it created. */
QORAPI BOOLEAN QORCALL QorOpenDevice(PDEVICE_OBJECT deviceObject);
/*
 * The last close resets the S5933 and the PLX 9080, which turns their interrupts off; a
 * PLX 9050 keeps its INTCSR, so a client masks the 9050's interrupts itself before the
 * last close, and its interrupt routine must not queue DPC work that uses the buffers or
 * events of a closed card (they are closed here).
 */
/* IRQL: PASSIVE_LEVEL, in the close dispatch.
 * Takes: the card's device object and the close request, which it completes (the caller
 *   must not touch it afterwards). The last close resets the controller.
 * Frees: at the last close, the buffers' named events and every view of the buffers the
 *   library mapped that is still there, each unmapped in its own process (attached to it
 *   when that is not the calling one).
 * Fails: never: STATUS_SUCCESS, the request completed also for a null device object. */
QORAPI NTSTATUS QORCALL QorCloseDevice(PDEVICE_OBJECT deviceObject, PIRP irp);
/*
 * Added to the library's calls for the kernel's sake: on NT a view of the buffers lives
 * until it is unmapped, and contiguous memory freed at unload goes back to the kernel
 * while a program that kept a view could still write it. The client calls this from its
 * IRP_MJ_CLEANUP dispatch, which runs in the context of the process closing its handle:
 * when that was the process's last open of the card, the views the library mapped into
 * it (at the first open or for its description queries) are unmapped there. A client
 * without it leaves them to the last close.
 */
/* IRQL: PASSIVE_LEVEL, in the cleanup dispatch, in the context of the closing process.
 * Takes: the card's device object; the caller completes the cleanup request itself.
 * Frees: at the process's last open of the card, its views of the card's buffers.
 * Fails: never; a device object without the library's extension is left alone. */
QORAPI VOID QORCALL QorCleanupDevice(PDEVICE_OBJECT deviceObject);
/*
 * A drop that cannot allocate its link name leaves the device object, its extension and
 * its link; everything else is released and cleared in the extension, so the drop may be
 * retried (directly or by a later QorUnloadDriver) without releasing anything twice.
 */
/* IRQL: PASSIVE_LEVEL, once the card gets no requests and no DPC for it can run.
 * Takes: a device object that QorEnumDevice created.
 * Frees: everything of the card: controller reset, interrupt disconnected, resources
 *   released, buffers unmapped and freed, events and event pairs, link and device object.
 * Fails: nothing reported. Without memory for the names the link and the device object
 *   stay. */
QORAPI VOID QORCALL QorDropDevice(PDEVICE_OBJECT deviceObject);
/*
 * Leaves the block alone while a device object of its driver still points at it (a device
 * whose drop failed): freeing it would make the retried drop read freed memory.
 */
/* IRQL: PASSIVE_LEVEL (in the client's unload or failed DriverEntry).
 * Takes: a DriverBlock from QorFindDeviceBegin, or null (ignored).
 * Frees: the block with its copies of the registry path, names and description.
 * Fails: nothing. */
QORAPI VOID QORCALL QorDropDriver(QorDriverBlock *block);
/*
 * When a device's drop fails the driver block stays with it; a second QorUnloadDriver
 * drops what is left and then frees the block.
 */
/* IRQL: PASSIVE_LEVEL, in the client's unload routine.
 * Takes: the client's driver object.
 * Frees: every device of the driver, as QorDropDevice, then the first device's
 *   DriverBlock. Not FpgaFileName, and not a DriverBlock when the driver has no device.
 * Fails: nothing reported. */
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
/* IRQL: DISPATCH_LEVEL or below (the dispatch routine, normally PASSIVE_LEVEL).
 * Takes: a buffered I/O-control request. Sets its IoStatus and the record's status; does
 *   not complete it.
 * Frees: nothing.
 * Fails: FALSE with IoStatus STATUS_INVALID_PARAMETER: QorErrUnknownRequest,
 *   QorErrInputTooShort or QorErrOutputTooShort in the record and 2 bytes of information,
 *   or 0 bytes and the buffer untouched when the output is shorter than 2.
 * A request without a system buffer (a METHOD_NEITHER code, or a buffered code sent with no
 * input and no output) is rejected like one whose output is shorter than 2 bytes:
 * STATUS_INVALID_PARAMETER, information 0, and no status is written. */
QORAPI BOOLEAN QORCALL QorIocCheckBufferLength(PIRP irp);
/*
 * While the card has more than one opener, every query maps new views of the buffers into
 * the calling process and reports them; so does a query from a process other than the
 * first opener's (the buffer objects' own addresses are that process's). A program queries
 * once per open and keeps the answer.
 * Departure for the kernel's sake: the views are recorded and go when their process lets
 * go of the card (QorCleanupDevice) or at the last close at the latest, not when the
 * process ends. A view that outlived the card's buffers would give the program write
 * access to contiguous pages the kernel has reused.
 */
/* IRQL: PASSIVE_LEVEL, in the context of the requesting process (a second opener gets
 *   views of its own).
 * Takes: the extension of an open card and the request's system buffer (298 bytes).
 * Frees: its temporary strings.
 * Fails: FALSE with QorErrDescription when a string, a view or an event name cannot be
 *   made; out then holds what was written before. */
QORAPI BOOLEAN QORCALL QorIocGetDesp(QorDevExt *devExt, QorDesp *out);
/* IRQL: DISPATCH_LEVEL or below (holds the buffer's spin lock).
 * Takes: the buffer object of the request's kind (null refused), the request whose system
 *   buffer is a QorContRequest; a synchronous start keeps the request in PendingIrp.
 * Frees: nothing.
 * Fails: FALSE with QorErrNoBuffer, QorErrListTooLong, QorErrBusy, QorErrSynchronous,
 *   QorErrNotDoubleBuffer or QorErrBufferTooSmall; the client completes the request. */
QORAPI BOOLEAN QORCALL QorIocContPreProc(QorDevExt *devExt, QorDbx *dbx, PIRP irp);
/* IRQL: DISPATCH_LEVEL or below (holds the buffer's spin lock).
 * Takes: the buffer object armed by QorIocContPreProc; starts an S5933 card's DMA.
 * Frees: nothing.
 * Fails: STATUS_INVALID_PARAMETER for a null buffer object. STATUS_PENDING for a
 *   synchronous transfer: the client marks the request pending and QorDpcDbx completes
 *   it. */
QORAPI NTSTATUS QORCALL QorIocContPostProc(QorDevExt *devExt, QorDbx *dbx);
/* IRQL: DISPATCH_LEVEL or below (holds the buffer's spin lock).
 * Takes: the buffer object (null refused) and the request's QorAsyResult.
 * Frees: nothing.
 * Fails: FALSE with QorErrNoBuffer or QorErrSynchronous. */
QORAPI BOOLEAN QORCALL QorIocAsyCheck(QorDevExt *devExt, QorDbx *dbx, QorAsyResult *out);
/* IRQL: DISPATCH_LEVEL or below (holds the buffer's spin lock).
 * Takes: the buffer object (null refused) and the request's QorAsyResult; stops the
 *   transfer.
 * Frees: nothing.
 * Fails: FALSE with QorErrNoBuffer or QorErrSynchronous. */
QORAPI BOOLEAN QORCALL QorIocAsyClear(QorDevExt *devExt, QorDbx *dbx, QorAsyResult *out);
/* IRQL: DISPATCH_LEVEL or below (holds the buffer's spin lock).
 * Takes: the buffer object (null refused) and the request's QorDbfModeRequest.
 * Frees: nothing.
 * Fails: FALSE with QorErrNoBuffer, or QorErrBusy while a transfer is armed or running. */
QORAPI BOOLEAN QORCALL QorIocDbfMode(QorDevExt *devExt, QorDbx *dbx, QorDbfModeRequest *io);
/* IRQL: DISPATCH_LEVEL or below (holds the buffer's spin lock).
 * Takes: the buffer object (null refused) and the request's QorDbfHalfResult.
 * Frees: nothing.
 * Fails: FALSE with QorErrNoBuffer, or QorErrNotDoubleBuffer outside double-buffer mode. */
QORAPI BOOLEAN QORCALL QorIocDbfHalfReady(QorDevExt *devExt, QorDbx *dbx,
                                          QorDbfHalfResult *out);
/* IRQL: any.
 * Takes: the width in bytes (1 to 4) of the client's digital port and the request, whose
 *   Value the client has filled with the port's value.
 * Frees: nothing.
 * Fails: FALSE with QorErrByteCount or QorErrBitIndex, Value unchanged. */
QORAPI BOOLEAN QORCALL QorIocPioRead(USHORT portWidth, QorPioRequest *request);
/* IRQL: any.
 * Takes: the port width (1 to 4), the request and the port's current value; on TRUE Value
 *   holds what the client writes to the port.
 * Frees: nothing.
 * Fails: FALSE with QorErrByteCount or QorErrBitIndex: the client writes nothing. */
QORAPI BOOLEAN QORCALL QorIocPioWrite(USHORT portWidth, QorPioRequest *request,
                                      ULONG currentValue);
/*
 * Port requests: one access at PortBase[1] + Offset, with no bound on Offset. The library
 * records no port range lengths (the device extension's layout has no room for them), so
 * the bound is the client's: it must refuse a request whose Offset + Width ends beyond its
 * own card's range (as its PCI resources give it) before calling these, or a program could
 * reach any port of the machine; the sample driver completes such a request with
 * STATUS_INVALID_PARAMETER. The same holds for the digital I/O and counter requests, whose
 * ports the client passes itself: the sample driver serves them only when its card's
 * register range holds the digital port or the 8254, and completes them with
 * STATUS_INVALID_DEVICE_REQUEST otherwise (a card without a register range would have
 * them reach the bare offsets, the PC's own DMA controller).
 */
/* IRQL: any, up to the card's interrupt level (one port access).
 * Takes: the card's extension (PortBase), the width its ports are accessed with and the
 *   request.
 * Frees: nothing.
 * Fails: QorErrPortWidth in the record when the request's width differs; the access is
 *   still made with the request's width when it is 1, 2 or 4. */
QORAPI VOID QORCALL QorIocPortIoRead(QorDevExt *devExt, USHORT portWidth,
                                     QorPortIoRequest *request);
/* IRQL: any, up to the card's interrupt level (one port access).
 * Takes: the card's extension (PortBase), the width its ports are accessed with and the
 *   request.
 * Frees: nothing.
 * Fails: QorErrPortWidth in the record when the request's width differs; the access is
 *   still made with the request's width when it is 1, 2 or 4. */
QORAPI VOID QORCALL QorIocPortIoWrite(QorDevExt *devExt, USHORT portWidth,
                                      QorPortIoRequest *request);
/* IRQL: any, up to the card's interrupt level (no lock, no wait). Callers serialise the
 *   requests to one 8254.
 * Takes: the 8254's base port (counter registers 4, 2 or 1 bytes apart: L, W, B) and the
 *   request.
 * Frees: nothing.
 * Fails: FALSE with QorErrCounterNumber (counter above 12, or a count of 1) or
 *   QorErrCounterMode (mode above 5, BCD flag above 1); nothing is loaded. */
QORAPI BOOLEAN QORCALL I8254L_IocCtrSet(ULONG base, QorCounterRequest *request);
/* IRQL: any, up to the card's interrupt level (no lock, no wait). Callers serialise the
 *   requests to one 8254.
 * Takes: the 8254's base port (counter registers 4, 2 or 1 bytes apart: L, W, B) and the
 *   request.
 * Frees: nothing.
 * Fails: FALSE with QorErrCounterNumber (counter above 12, or a count of 1) or
 *   QorErrCounterMode (mode above 5, BCD flag above 1); nothing is loaded. */
QORAPI BOOLEAN QORCALL I8254W_IocCtrSet(ULONG base, QorCounterRequest *request);
/* IRQL: any, up to the card's interrupt level (no lock, no wait). Callers serialise the
 *   requests to one 8254.
 * Takes: the 8254's base port (counter registers 4, 2 or 1 bytes apart: L, W, B) and the
 *   request.
 * Frees: nothing.
 * Fails: FALSE with QorErrCounterNumber (counter above 12, or a count of 1) or
 *   QorErrCounterMode (mode above 5, BCD flag above 1); nothing is loaded. */
QORAPI BOOLEAN QORCALL I8254B_IocCtrSet(ULONG base, QorCounterRequest *request);
/* IRQL: any, up to the card's interrupt level (no lock, no wait). Callers serialise the
 *   requests to one 8254.
 * Takes: the 8254's base port (counter registers 4, 2 or 1 bytes apart: L, W, B) and the
 *   request.
 * Frees: nothing.
 * Fails: FALSE with QorErrCounterNumber (counter above 12); no port is touched. */
QORAPI BOOLEAN QORCALL I8254L_IocCtrGet(ULONG base, QorCounterRequest *request);
/* IRQL: any, up to the card's interrupt level (no lock, no wait). Callers serialise the
 *   requests to one 8254.
 * Takes: the 8254's base port (counter registers 4, 2 or 1 bytes apart: L, W, B) and the
 *   request.
 * Frees: nothing.
 * Fails: FALSE with QorErrCounterNumber (counter above 12); no port is touched. */
QORAPI BOOLEAN QORCALL I8254W_IocCtrGet(ULONG base, QorCounterRequest *request);
/* IRQL: any, up to the card's interrupt level (no lock, no wait). Callers serialise the
 *   requests to one 8254.
 * Takes: the 8254's base port (counter registers 4, 2 or 1 bytes apart: L, W, B) and the
 *   request.
 * Frees: nothing.
 * Fails: FALSE with QorErrCounterNumber (counter above 12); no port is touched. */
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
/* IRQL: any.
 * Takes: the divisor.
 * Frees: nothing.
 * Fails: none. */
QORAPI ULONG QORCALL QorSplitePacer(ULONG divisor);
/* IRQL: DISPATCH_LEVEL or below (holds the dual-interrupt pair's spin lock).
 * Takes: the extension of an open PLX 9050 card whose description has HasDualInt, and the
 *   request; any other card is outside the interface.
 * Frees: nothing.
 * Fails: none: the record's status is QorOk. */
QORAPI VOID QORCALL PLX90_IocSetDualInt(QorDevExt *devExt, QorDualIntRequest *request);
/* IRQL: DISPATCH_LEVEL or below (holds the dual-interrupt pair's spin lock).
 * Takes: the extension of an open PLX 9050 card whose description has HasDualInt, and the
 *   request; any other card is outside the interface.
 * Frees: nothing.
 * Fails: none: the record's status is QorOk. */
QORAPI VOID QORCALL PLX90_IocGetDualInt(QorDevExt *devExt, QorDualIntRequest *result);

/* DPC */
/*
 * One step of a busy buffer; takes and releases dbx->Lock. A synchronous buffer's pending
 * request is completed here: a client that gave it a cancel routine takes the routine back
 * (IoSetCancelRoutine(irp, NULL)) under dbx->Lock first, and clears PendingIrp when the
 * routine is already gone (the cancel routine completes the request then). A client that
 * restarts an S5933 after the step does so under dbx->Lock, and only while DbxBusy is set:
 * a stop request clears DbxBusy and stops the chip under the same lock.
 */
/* IRQL: DISPATCH_LEVEL, in the client's DPC.
 * Takes: a buffer object (not null) of an open card, after one finished block. Pulses its
 *   named event or completes the pending synchronous request with STATUS_SUCCESS.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL QorDpcDbx(QorDbx *dbx);
/* IRQL: DISPATCH_LEVEL, in the client's DPC.
 * Takes: an event pair of an open card (null ignored); pulses its first event.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL QorDpcDsen(QorDsen *dsen);

/* AMCC S5933; base is PortBase[0]. */
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_ClearController(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]) and the descriptor of
 *   the memory to send.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_StartODMA(ULONG base, QorDbxDescriptor *descriptor);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]) and the descriptor of
 *   the memory to fill.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_StartIDMA(ULONG base, QorDbxDescriptor *descriptor);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none; returns the bytes not yet transferred. */
QORAPI ULONG QORCALL S593_StopODMA(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none; returns the bytes not yet transferred. */
QORAPI ULONG QORCALL S593_StopIDMA(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI ULONG QORCALL S593_OutCountLeft(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI ULONG QORCALL S593_InCountLeft(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: FALSE when the outgoing FIFO did not report empty within 256 reads. */
QORAPI BOOLEAN QORCALL S593_OutFlushFIFO(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]); the region size and the
 *   two addresses are multiples of 4 with room for up to 48 bytes.
 * Frees: nothing.
 * Fails: none: it stops early when the incoming FIFO is empty. */
QORAPI ULONG QORCALL S593_InFlushFIFO(ULONG base, ULONG regionBytes, ULONG fillAddress,
                                      ULONG nextAddress);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the mailbox and byte
 *   selects.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_StartIMB(ULONG base, USHORT mailbox, USHORT byteSelect);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the mailbox and byte
 *   selects.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_StartOMB(ULONG base, USHORT mailbox, USHORT byteSelect);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_StopIMB(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL S593_StopOMB(ULONG base);

/* PLX PCI 9050; base is PortBase[0]. */
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL PLX90_ClearController(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL PLX90_SoftReset(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the interrupt (0 PCI, 1
 *   LINTi1, 2 LINTi2) and on or off.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL PLX90_SetInt(ULONG base, USHORT which, USHORT enable);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the pin and its three-
 *   bit value.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL PLX90_SetUserIoPin(ULONG base, USHORT pin, USHORT value);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the pin and where to
 *   store its data bit.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL PLX90_GetUserIoPin(ULONG base, USHORT pin, PUSHORT value);

/* PLX PCI 9080; base is PortBase[0]. */
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL P9080_SoftReset(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]).
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL P9080_ClearController(ULONG base);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the channel and the
 *   width in bytes.
 * Frees: nothing.
 * Fails: none: a width other than 1, 2 or 4 writes nothing. */
QORAPI VOID QORCALL P9080_SetDMAWidth(ULONG base, ULONG channel, ULONG width);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]) and the channel (0 or
 *   1).
 * Frees: nothing.
 * Fails: FALSE for a channel above 1 (no register touched) or when the abort was not
 *   confirmed within 100 reads. */
QORAPI BOOLEAN QORCALL P9080_StopDMA(ULONG base, ULONG channel);
/* IRQL: any, up to the card's interrupt level (no lock, no wait).
 * Takes: base, the chip's translated register base (PortBase[0]), the channel (0 or 1)
 *   and the buffer object whose chain or block it runs.
 * Frees: nothing.
 * Fails: FALSE for a channel above 1, with no register touched. */
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
/* IRQL: below DISPATCH_LEVEL, in the context of the process that owns the user buffer.
 * Takes: a buffer object whose chain is clear. Allocates and locks MDLs and chain nodes,
 *   which P9080_ClearDmaDscr frees.
 * Frees: on a failure in the first chunk, all it took; see above for later chunks.
 * Fails: FALSE for a zero or unaligned count, an unaligned address, a too small
 *   descriptor area (nothing taken), no memory or pages that cannot be locked. */
QORAPI BOOLEAN QORCALL P9080_BuildDmaDscr(QorDbx *dbx);
/* IRQL: DISPATCH_LEVEL or below, with no channel walking the chain.
 * Takes: a buffer object, built or clear.
 * Frees: every chunk of the chain: pages unlocked, MDLs and chain nodes freed.
 * Fails: none. */
QORAPI VOID QORCALL P9080_ClearDmaDscr(QorDbx *dbx);

/* Utilities: counted strings, zero-filled nonpaged blocks, sleep. */
/* IRQL: any at which the string may be touched.
 * Takes: a NUL-terminated wide string (not null).
 * Frees: nothing.
 * Fails: none. */
QORAPI ULONG QORCALL QorSizeofWcs(PCWSTR string);
/* IRQL: any at which the string may be touched.
 * Takes: a counted string (not null); zeroes its buffer and length.
 * Frees: nothing.
 * Fails: none. */
QORAPI VOID QORCALL QorClearUcs(PUNICODE_STRING string);
/* IRQL: DISPATCH_LEVEL or below (nonpaged pool).
 * Takes: the capacity in bytes. The string and its zero-filled buffer are two nonpaged
 *   blocks, freed by QorDeleteUcs.
 * Frees: on failure, what it allocated.
 * Fails: NULL when memory runs out. */
QORAPI PUNICODE_STRING QORCALL QorNewUcs(USHORT capacity);
/* IRQL: DISPATCH_LEVEL or below.
 * Takes: a string from QorNewUcs or the Dup functions, or null (ignored).
 * Frees: the string and its buffer.
 * Fails: none. */
QORAPI VOID QORCALL QorDeleteUcs(PUNICODE_STRING string);
/* IRQL: DISPATCH_LEVEL or below (nonpaged pool).
 * Takes: a counted string (not null); the copy's capacity is the source's length, freed
 *   by QorDeleteUcs.
 * Frees: on failure, what it allocated.
 * Fails: NULL when memory runs out. */
QORAPI PUNICODE_STRING QORCALL QorDupUcsToUcs(PCUNICODE_STRING string);
/* IRQL: DISPATCH_LEVEL or below (nonpaged pool).
 * Takes: a NUL-terminated wide string (not null); the copy is freed by QorDeleteUcs.
 * Frees: on failure, what it allocated.
 * Fails: NULL when memory runs out. */
QORAPI PUNICODE_STRING QORCALL QorDupWcsToUcs(PCWSTR string);
/* Appends whole characters while they fit, silently cutting the rest; returns the
 * address just past the last character written, which is Buffer + Length / 2. */
/* IRQL: any at which both strings may be touched.
 * Takes: the destination and a NUL-terminated source.
 * Frees: nothing.
 * Fails: none: what does not fit is cut. */
QORAPI PWCH QORCALL QorCatWcs(PUNICODE_STRING destination, PCWSTR source);
/* Appends as many bytes as fit, silently cutting the rest; returns the bytes appended. */
/* IRQL: any at which both strings may be touched.
 * Takes: the destination and a counted source.
 * Frees: nothing.
 * Fails: none: what does not fit is cut. */
QORAPI ULONG QORCALL QorCatUcs(PUNICODE_STRING destination, PCUNICODE_STRING source);
/* IRQL: DISPATCH_LEVEL or below (nonpaged pool).
 * Takes: the size in bytes; the block is zero-filled, tagged "Ddk " and freed by
 *   QorDeleteNpp.
 * Frees: nothing.
 * Fails: NULL when memory runs out. */
QORAPI PVOID QORCALL QorNewNpp(ULONG size);
/* IRQL: DISPATCH_LEVEL or below.
 * Takes: a block from QorNewNpp, or null (ignored).
 * Frees: the block.
 * Fails: none. */
QORAPI VOID QORCALL QorDeleteNpp(PVOID block);
/* A kernel-mode, non-alertable relative wait; returns KeDelayExecutionThread's status. */
/* IRQL: PASSIVE_LEVEL or APC_LEVEL, where the thread may wait.
 * Takes: the milliseconds to wait.
 * Frees: nothing.
 * Fails: none of its own. */
QORAPI NTSTATUS QORCALL QorSleep(LONG milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* QORPELK_H */
