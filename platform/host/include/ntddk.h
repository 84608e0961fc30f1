/*
 * ntddk.h for the host build: the NT kernel and HAL types and operations that qorpelk
 * and its client drivers use, laid out as on i386 NT (g++/gcc -m32), implemented by the
 * simulator (qorsim). C99 and C++ compatible, so a C client driver compiles against it
 * unchanged. Layouts are checked at the end of the file.
 */
#ifndef QOR_HOST_NTDDK_H
#define QOR_HOST_NTDDK_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(__i386__)
#error "the host build is 32-bit x86 (-m32), as the NT target"
#endif

#define NTAPI __attribute__((__stdcall__))
#define FASTCALL __attribute__((__fastcall__))
#define NTKERNELAPI
#define NTHALAPI
#define IN
#define OUT
#define OPTIONAL
#define VOID void

/* ---- scalar types ------------------------------------------------------------------ */
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN;
typedef char CHAR, *PCHAR, CCHAR;
typedef short SHORT, CSHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT;
/* A 16-bit character: char16_t in C++ so that u"" literals are wide strings as L"" are
   on the NT target; the same representation in C. */
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif
typedef WCHAR *PWCHAR, *PWCH, *PWSTR;
typedef const WCHAR *PCWSTR, *PCWCH;
typedef const char *PCSTR;
typedef long LONG, *PLONG, NTSTATUS, LONG_PTR;
typedef unsigned long ULONG, *PULONG, ULONG_PTR, *PULONG_PTR, KAFFINITY, *PKAFFINITY, ACCESS_MASK;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef void *PVOID, *HANDLE, **PHANDLE;
typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef CCHAR KPROCESSOR_MODE;

#define TRUE 1
#define FALSE 0

typedef union __attribute__((aligned(8))) _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER, PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

/* ---- status values ------------------------------------------------------------------ */
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NOT_MAPPED_VIEW ((NTSTATUS)0xC0000019L)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8L)
#define STATUS_INVALID_PARAMETER_8 ((NTSTATUS)0xC00000F6L)
#define STATUS_INVALID_PARAMETER_9 ((NTSTATUS)0xC00000F7L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_SHARED_IRQ_BUSY ((NTSTATUS)0xC000016CL)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)

#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define SL_PENDING_RETURNED 0x01
#define IoMarkIrpPending(irp) (IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED)

/* ---- IRQL ---------------------------------------------------------------------------- */
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

/* ---- strings ------------------------------------------------------------------------- */
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

/* ---- dispatcher objects, DPC, interrupt ---------------------------------------------- */
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

/* A kernel mutex: owned by one thread at a time, which may acquire it again (each acquire
   needs its release); waits for it run at PASSIVE_LEVEL or APC_LEVEL. */
typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD *OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext,
                                     PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PULONG_PTR Lock;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KINTERRUPT *PKINTERRUPT;
typedef BOOLEAN NTAPI KSERVICE_ROUTINE(PKINTERRUPT Interrupt, PVOID ServiceContext);
typedef KSERVICE_ROUTINE *PKSERVICE_ROUTINE;

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef enum _MODE { KernelMode, UserMode } MODE;
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

/* ---- I/O manager --------------------------------------------------------------------- */
typedef struct _IO_STATUS_BLOCK {
    __extension__ union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS *Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
typedef ULONG PFN_NUMBER, *PPFN_NUMBER;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;
typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT *DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT *DriverObject,
                                         PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef VOID NTAPI IO_TIMER_ROUTINE(struct _DEVICE_OBJECT *DeviceObject, PVOID Context);
typedef IO_TIMER_ROUTINE *PIO_TIMER_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0E
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_MAXIMUM_FUNCTION 0x1B

#define IO_NO_INCREMENT 0
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DEVICE_INITIALIZING 0x00000080
#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((Function) << 2) | (Method))

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT *DeviceObject;
    struct _FILE_OBJECT *FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            struct _FILE_OBJECT *OriginalFileObject;
        } Overlay;
        UCHAR Apc[48];
    } Tail;
} IRP, *PIRP;

typedef struct _WAIT_CONTEXT_BLOCK {
    UCHAR WaitQueueEntry[16];
    PVOID DeviceRoutine;
    PVOID DeviceContext;
    ULONG NumberOfMapRegisters;
    PVOID DeviceObject;
    PVOID CurrentIrp;
    PKDPC BufferChainingDpc;
} WAIT_CONTEXT_BLOCK;

typedef struct _KDEVICE_QUEUE {
    CSHORT Type;
    CSHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT *DriverObject;
    struct _DEVICE_OBJECT *NextDevice;
    struct _DEVICE_OBJECT *AttachedDevice;
    struct _IRP *CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        WAIT_CONTEXT_BLOCK Wcb;
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

/* A file object: what the I/O manager makes for each open of a device and hands to the
   driver in IO_STACK_LOCATION.FileObject. */
typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT *RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    PVOID CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

/* ---- PCI and resources ---------------------------------------------------------------- */
typedef enum _BUS_DATA_TYPE { Cmos, EisaConfiguration, Pos, CbusConfiguration,
                              PCIConfiguration } BUS_DATA_TYPE;
typedef enum _INTERFACE_TYPE { Internal, Isa, Eisa, MicroChannel, TurboChannel,
                               PCIBus } INTERFACE_TYPE;

typedef struct _PCI_SLOT_NUMBER {
    union {
        struct {
            ULONG DeviceNumber : 5;
            ULONG FunctionNumber : 3;
            ULONG Reserved : 24;
        } bits;
        ULONG AsULONG;
    } u;
} PCI_SLOT_NUMBER;

typedef struct _PCI_COMMON_CONFIG {
    USHORT VendorID;
    USHORT DeviceID;
    USHORT Command;
    USHORT Status;
    UCHAR RevisionID;
    UCHAR ProgIf;
    UCHAR SubClass;
    UCHAR BaseClass;
    UCHAR CacheLineSize;
    UCHAR LatencyTimer;
    UCHAR HeaderType;
    UCHAR BIST;
    union {
        struct {
            ULONG BaseAddresses[6];
            ULONG CIS;
            USHORT SubVendorID;
            USHORT SubSystemID;
            ULONG ROMBaseAddress;
            UCHAR CapabilitiesPtr;
            UCHAR Reserved1[3];
            ULONG Reserved2;
            UCHAR InterruptLine;
            UCHAR InterruptPin;
            UCHAR MinimumGrant;
            UCHAR MaximumLatency;
        } type0;
    } u;
    UCHAR DeviceSpecific[192];
} PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;
#define PCI_INVALID_VENDORID 0xFFFF
#define PCI_ENABLE_BUS_MASTER 0x0004

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpacked-not-aligned"
#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            ULONG Data[3];
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
#pragma pack(pop)
#pragma GCC diagnostic pop

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2

typedef struct _IO_RESOURCE_REQUIREMENTS_LIST *PIO_RESOURCE_REQUIREMENTS_LIST;

/* ---- objects, sections, files, registry ----------------------------------------------- */
typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;
#define SECTION_MAP_WRITE 0x0002UL
#define SECTION_MAP_READ 0x0004UL
#define SECTION_ALL_ACCESS 0x000F001FUL
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define GENERIC_ALL 0x10000000UL
#define PAGE_READWRITE 0x04
#define PAGE_NOCACHE 0x200
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

#define SYNCHRONIZE 0x00100000UL
#define FILE_READ_DATA 0x0001
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_SHARE_READ 0x00000001
#define FILE_OPEN 0x00000001
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_OPENED 0x00000001
typedef enum _FILE_INFORMATION_CLASS { FileStandardInformation = 5 } FILE_INFORMATION_CLASS;
typedef struct _FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
} FILE_STANDARD_INFORMATION;

#define REG_NONE 0
#define REG_SZ 1
#define REG_DWORD 4
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_OPTIONAL 0x80000000UL
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType,
                                                  PVOID ValueData, ULONG ValueLength,
                                                  PVOID Context, PVOID EntryContext);
typedef struct _RTL_QUERY_REGISTRY_TABLE {
    RTL_QUERY_REGISTRY_ROUTINE *QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

/* ---- operations (implemented by the simulator) --------------------------------------- */

/* Port I/O (HAL). */
NTHALAPI UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
NTHALAPI USHORT NTAPI READ_PORT_USHORT(PUSHORT Port);
NTHALAPI ULONG NTAPI READ_PORT_ULONG(PULONG Port);
NTHALAPI VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
NTHALAPI VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
NTHALAPI VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);

/* PCI and resources. */
NTHALAPI ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber,
                                   ULONG SlotNumber, PVOID Buffer, ULONG Length);
NTHALAPI ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber,
                                           ULONG SlotNumber, PVOID Buffer, ULONG Offset,
                                           ULONG Length);
NTHALAPI NTSTATUS NTAPI HalAssignSlotResources(PUNICODE_STRING RegistryPath,
                                               PUNICODE_STRING DriverClassName,
                                               PDRIVER_OBJECT DriverObject,
                                               PDEVICE_OBJECT DeviceObject,
                                               INTERFACE_TYPE BusType, ULONG BusNumber,
                                               ULONG SlotNumber,
                                               PCM_RESOURCE_LIST *AllocatedResources);
NTHALAPI BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                              PHYSICAL_ADDRESS BusAddress,
                                              PULONG AddressSpace,
                                              PPHYSICAL_ADDRESS TranslatedAddress);
NTHALAPI ULONG NTAPI HalGetInterruptVector(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                           ULONG BusInterruptLevel,
                                           ULONG BusInterruptVector, PKIRQL Irql,
                                           PKAFFINITY Affinity);
NTKERNELAPI NTSTATUS NTAPI IoAssignResources(PUNICODE_STRING RegistryPath,
                                             PUNICODE_STRING DriverClassName,
                                             PDRIVER_OBJECT DriverObject,
                                             PDEVICE_OBJECT DeviceObject,
                                             PIO_RESOURCE_REQUIREMENTS_LIST RequestedResources,
                                             PCM_RESOURCE_LIST *AllocatedResources);

/* Devices, interrupts, DPCs, timers, requests. */
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject,
                                          ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, ULONG DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT *DeviceObject);
NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                                PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI NTSTATUS NTAPI IoConnectInterrupt(PKINTERRUPT *InterruptObject,
                                              PKSERVICE_ROUTINE ServiceRoutine,
                                              PVOID ServiceContext, PKSPIN_LOCK SpinLock,
                                              ULONG Vector, KIRQL Irql,
                                              KIRQL SynchronizeIrql,
                                              KINTERRUPT_MODE InterruptMode,
                                              BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                                              BOOLEAN FloatingSave);
NTKERNELAPI VOID NTAPI IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI NTSTATUS NTAPI IoInitializeTimer(PDEVICE_OBJECT DeviceObject,
                                             PIO_TIMER_ROUTINE TimerRoutine, PVOID Context);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

/* Cancellation of a pending request: the cancel spin lock, the cancel routine a driver
   sets on a request it holds, and IoCancelIrp, which the I/O manager calls for a request
   whose thread or handle goes away. */
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
typedef VOID NTAPI DRIVER_CANCEL(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_CANCEL *PDRIVER_CANCEL;
NTKERNELAPI VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
#define IoSetCancelRoutine(irp, routine) \
    ((PDRIVER_CANCEL)__atomic_exchange_n(&(irp)->CancelRoutine, (PVOID)(routine), __ATOMIC_SEQ_CST))

/* Interlocked operations on a 32-bit value; each returns the value it found. */
#define InterlockedOr(target, value) __atomic_fetch_or((target), (value), __ATOMIC_SEQ_CST)
#define InterlockedExchange(target, value) __atomic_exchange_n((target), (value), __ATOMIC_SEQ_CST)

/* Synchronisation and events. */
NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KfAcquireSpinLock(lock))
#define KeReleaseSpinLock(lock, newIrql) KfReleaseSpinLock((lock), (newIrql))

/* The debugger interface. The host build is a checked build: DbgPrint and KdPrint write
   to standard error with the virtual time, a failed ASSERT is a verifier violation naming
   the expression, file and line, and DbgBreakPoint stops a debugger that runs qorsim with
   --break (without it, it is a violation: no kernel debugger is attached). */
#ifndef __cdecl
#define __cdecl __attribute__((__cdecl__))
#endif
NTKERNELAPI ULONG __cdecl DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
NTKERNELAPI VOID NTAPI DbgBreakPoint(void);
NTKERNELAPI VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);
#define KdPrint(args) DbgPrint args
#define KdBreakPoint() DbgBreakPoint()
#ifndef ASSERT
#define ASSERT(expression) \
    ((void)((expression) ? 0 : (RtlAssert((PVOID) #expression, (PVOID)__FILE__, __LINE__, NULL), 0)))
#define ASSERTMSG(message, expression) \
    ((void)((expression) ? 0 : (RtlAssert((PVOID) #expression, (PVOID)__FILE__, __LINE__, (PCHAR)(message)), 0)))
#endif
NTKERNELAPI PKEVENT NTAPI IoCreateNotificationEvent(PUNICODE_STRING EventName,
                                                    PHANDLE EventHandle);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

/* Processes: the calling thread's process, the system process, and running a thread in
   another process's context (its handle table and user address space). */
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
typedef struct _EPROCESS *PEPROCESS;
extern PEPROCESS PsInitialSystemProcess;
NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(void);
NTKERNELAPI VOID NTAPI KeAttachProcess(PKPROCESS Process);
NTKERNELAPI VOID NTAPI KeDetachProcess(void);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

/* Memory. */
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, ULONG NumberOfBytes,
                                              ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
NTKERNELAPI PVOID NTAPI MmAllocateContiguousMemory(ULONG NumberOfBytes,
                                                   PHYSICAL_ADDRESS HighestAcceptableAddress);
NTKERNELAPI VOID NTAPI MmFreeContiguousMemory(PVOID BaseAddress);
NTKERNELAPI PHYSICAL_ADDRESS NTAPI MmGetPhysicalAddress(PVOID BaseAddress);
NTKERNELAPI NTSTATUS NTAPI ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes);
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                     PVOID HandleInformation);
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTKERNELAPI NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle,
                                              PVOID *BaseAddress, ULONG_PTR ZeroBits,
                                              ULONG CommitSize, PLARGE_INTEGER SectionOffset,
                                              PULONG ViewSize, SECTION_INHERIT InheritDisposition,
                                              ULONG AllocationType, ULONG Win32Protect);
NTKERNELAPI NTSTATUS NTAPI ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);
NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length,
                                     BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList,
                                           KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation);
NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl);

/* Files, registry, strings. */
NTKERNELAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes,
                                        PIO_STATUS_BLOCK IoStatusBlock,
                                        PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                        ULONG ShareAccess, ULONG CreateDisposition,
                                        ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTKERNELAPI NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle,
                                                  PIO_STATUS_BLOCK IoStatusBlock,
                                                  PVOID FileInformation, ULONG Length,
                                                  FILE_INFORMATION_CLASS FileInformationClass);
NTKERNELAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                      PULONG Key);
NTKERNELAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                  PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                  PVOID Context, PVOID Environment);
NTKERNELAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString,
                                            PCWSTR SourceString);
NTKERNELAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base,
                                                     PUNICODE_STRING String);
NTKERNELAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                          PCUNICODE_STRING Source);
NTKERNELAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                        PCUNICODE_STRING SourceString,
                                                        BOOLEAN AllocateDestinationString);

/* Structured exceptions on i386: the kernel raises an exception (MmProbeAndLockPages for
   pages it cannot lock) by calling the handlers of the registration records chained from
   the thread's information block (fs:[0]); a handler that takes the exception unwinds
   the records below its own with RtlUnwind. */
#define EXCEPTION_NONCONTINUABLE 0x01
#define EXCEPTION_UNWINDING 0x02
#define EXCEPTION_EXIT_UNWIND 0x04
#define EXCEPTION_MAXIMUM_PARAMETERS 15
#define STATUS_UNWIND ((NTSTATUS)0xC0000027L)
#define STATUS_NONCONTINUABLE_EXCEPTION ((NTSTATUS)0xC0000025L)
typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    struct _EXCEPTION_RECORD *ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;
typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution,
    ExceptionContinueSearch,
    ExceptionNestedException,
    ExceptionCollidedUnwind
} EXCEPTION_DISPOSITION;
NTKERNELAPI VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp, PEXCEPTION_RECORD ExceptionRecord,
                                 PVOID ReturnValue);

/* ---- memory descriptor lists: flags and accessors, as the DDK defines them ---------------- */
#define MDL_PAGES_LOCKED 0x0002
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_WRITE_OPERATION 0x0080
/* The physical page numbers follow the 28-byte header, one per page the MDL spans. */
#define MmGetMdlPfnArray(_Mdl) ((PPFN_NUMBER)((_Mdl) + 1))
#define MmGetMdlByteOffset(_Mdl) ((_Mdl)->ByteOffset)
#define MmGetMdlByteCount(_Mdl) ((_Mdl)->ByteCount)

/* ---- i386 NT layouts ------------------------------------------------------------------ */
#ifdef __cplusplus
#define QOR_HOST_ASSERT(c, m) static_assert(c, m)
#else
#define QOR_HOST_ASSERT_NAME2(line) qor_host_layout_check_##line
#define QOR_HOST_ASSERT_NAME(line) QOR_HOST_ASSERT_NAME2(line)
#define QOR_HOST_ASSERT(c, m) typedef char QOR_HOST_ASSERT_NAME(__LINE__)[(c) ? 1 : -1]
#endif
QOR_HOST_ASSERT(sizeof(UNICODE_STRING) == 8, "UNICODE_STRING");
QOR_HOST_ASSERT(sizeof(IO_STATUS_BLOCK) == 8, "IO_STATUS_BLOCK");
QOR_HOST_ASSERT(sizeof(KDPC) == 32, "KDPC");
QOR_HOST_ASSERT(offsetof(KDPC, Importance) == 1 && offsetof(KDPC, Number) == 2, "KDPC header");
QOR_HOST_ASSERT(sizeof(FILE_OBJECT) == 0x80, "FILE_OBJECT");
QOR_HOST_ASSERT(offsetof(FILE_OBJECT, FileName) == 0x30, "FILE_OBJECT.FileName");
QOR_HOST_ASSERT(offsetof(FILE_OBJECT, CurrentByteOffset) == 0x38, "FILE_OBJECT.CurrentByteOffset");
QOR_HOST_ASSERT(offsetof(FILE_OBJECT, Event) == 0x5C, "FILE_OBJECT.Event");
QOR_HOST_ASSERT(sizeof(EXCEPTION_RECORD) == 80, "EXCEPTION_RECORD");
QOR_HOST_ASSERT(sizeof(IO_STACK_LOCATION) == 0x24, "IO_STACK_LOCATION");
QOR_HOST_ASSERT(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x0C,
                "IoControlCode");
QOR_HOST_ASSERT(offsetof(IO_STACK_LOCATION, DeviceObject) == 0x14, "IO_STACK_LOCATION.DeviceObject");
QOR_HOST_ASSERT(sizeof(IRP) == 0x70, "IRP");
QOR_HOST_ASSERT(offsetof(IRP, AssociatedIrp) == 0x0C, "IRP.AssociatedIrp");
QOR_HOST_ASSERT(offsetof(IRP, IoStatus) == 0x18, "IRP.IoStatus");
QOR_HOST_ASSERT(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60,
                "IRP.CurrentStackLocation");
QOR_HOST_ASSERT(sizeof(DEVICE_OBJECT) == 0xB8, "DEVICE_OBJECT");
QOR_HOST_ASSERT(offsetof(DEVICE_OBJECT, DeviceExtension) == 0x28, "DeviceExtension");
QOR_HOST_ASSERT(offsetof(DEVICE_OBJECT, Dpc) == 0x74, "DEVICE_OBJECT.Dpc");
QOR_HOST_ASSERT(sizeof(DRIVER_OBJECT) == 0xA8, "DRIVER_OBJECT");
QOR_HOST_ASSERT(offsetof(DRIVER_OBJECT, MajorFunction) == 0x38, "MajorFunction");
QOR_HOST_ASSERT(sizeof(PCI_COMMON_CONFIG) == 256, "PCI_COMMON_CONFIG");
QOR_HOST_ASSERT(offsetof(PCI_COMMON_CONFIG, u.type0.SubVendorID) == 44, "SubVendorID");
QOR_HOST_ASSERT(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 16, "CM_PARTIAL_RESOURCE_DESCRIPTOR");
QOR_HOST_ASSERT(sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 32, "CM_FULL_RESOURCE_DESCRIPTOR");
QOR_HOST_ASSERT(sizeof(RTL_QUERY_REGISTRY_TABLE) == 28, "RTL_QUERY_REGISTRY_TABLE");
QOR_HOST_ASSERT(sizeof(OBJECT_ATTRIBUTES) == 24, "OBJECT_ATTRIBUTES");
QOR_HOST_ASSERT(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION");
QOR_HOST_ASSERT(sizeof(MDL) == 28, "MDL");
QOR_HOST_ASSERT(offsetof(MDL, ByteOffset) == 24, "MDL.ByteOffset");
#undef QOR_HOST_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* QOR_HOST_NTDDK_H */
