/*
 * acqdrv: a sample client driver of qorpelk for the acquisition cards of three bridge
 * families. It finds its cards, answers create and close, serves the I/O-control
 * requests of examples/include/acqdrv_ioctl.h through the library, and runs transfers
 * from its interrupt routine and DPC. A driver writer copies it and changes the family
 * table, the description template and the card-specific parts of the interrupt routine.
 */
#if defined(_WIN32)
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define ACQ_W(text) L##text
#else
#define ACQ_W(text) u##text
#endif
#include <ntddk.h>

#include "qorpelk.h"
#include "acqdrv_ioctl.h"

/* The load code runs once: it goes into the INIT section, which the memory manager frees
   when DriverEntry has returned. The routines the I/O manager and the interrupt call
   later (dispatch, interrupt, DPC, unload) and all data stay resident. */
#if defined(_WIN32)
#define ACQ_INIT __attribute__((section("INIT")))
#else
#define ACQ_INIT
#endif

/* ---- the card families ------------------------------------------------------------ */

#define ACQ_FAMILIES 3
#define ACQ_PORTS 3             /* bridge registers, card registers, FPGA configuration port */
#define ACQ_DIGITAL_IN 0x08     /* card registers: 2-byte digital input port */
#define ACQ_DIGITAL_OUT 0x0A    /* card registers: 2-byte digital output port */
#define ACQ_DIGITAL_WIDTH 2
#define ACQ_PORT_WIDTH 4        /* width of the card's port-I/O registers */
#define ACQ_COUNTERS 0x10       /* card registers: an 8254 with byte spacing */

/* Bridge registers the interrupt routine reads and acknowledges. */
#define S5933_INTCSR 0x38
#define S5933_INT_ASSERTED 0x00800000UL
#define S5933_INT_WRITE_DONE 0x00040000UL /* an input (PCI write) transfer ended */
#define S5933_INT_READ_DONE 0x00080000UL  /* an output (PCI read) transfer ended */
#define PLX9050_INTCSR 0x4C
#define PLX9050_LINT1_STATUS 0x04
#define PLX9050_LINT2_STATUS 0x20
#define PLX9080_INTCSR 0x68
#define PLX9080_DMA0_ACTIVE 0x00200000UL
#define PLX9080_DMACSR0 0xA8
#define PLX9080_DMACSR_CLEAR_INTERRUPT 0x08

/* Each family names its devices, links and events with a base of its own, so that the
   card indices, which count per scan, never collide. */
typedef struct AcqFamily {
    USHORT controllerType;
    USHORT vendorId;
    USHORT deviceId;
    UCHAR downloadFpga;
    PCWSTR name;
} AcqFamily;

static const AcqFamily acqFamilies[ACQ_FAMILIES] = {
    {QOR_CONTROLLER_S5933, 0x10E8, 0x5A01, 1, ACQ_W("AcqA")},
    {QOR_CONTROLLER_PLX9050, 0x1A2B, 0x9051, 0, ACQ_W("AcqB")},
    {QOR_CONTROLLER_PLX9080, 0x1A2B, 0x9081, 0, ACQ_W("AcqC")},
};

/* What every card of the driver offers its programs: analog input (16-bit samples) and
   output, digital input and output, the dual-interrupt pair and an auxiliary event. */
static QorDesp acqTemplate;
static QorFindRecord acqFind[ACQ_FAMILIES];

ACQ_INIT static void AcqBuildTemplate(void)
{
    static const USHORT sampleBits[QOR_BUFFER_KINDS] = {16, 16, 16, 16};
    ULONG kind;
    RtlZeroMemory(&acqTemplate, sizeof acqTemplate);
    for (kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        acqTemplate.Buffers[kind].Flags = QOR_DESP_PRESENT | 0x0002;
        acqTemplate.Buffers[kind].SampleBits = sampleBits[kind];
        acqTemplate.Buffers[kind].ListLimit = 16;
    }
    acqTemplate.HasDualInt = 1;
    acqTemplate.HasAuxEvent = 1;
}

/* ---- interrupt and DPC ------------------------------------------------------------ */

static BOOLEAN NTAPI AcqInterrupt(PKINTERRUPT interrupt, PVOID context)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    ULONG base = ext->PortBase[0];
    ULONG cause = 0;
    (void)interrupt;
    if (ext->PortCount == 0)
        return FALSE; /* still being set up: the line is shared, so it is not ours */
    switch (ext->ControllerType) {
    case QOR_CONTROLLER_S5933:
        cause = READ_PORT_ULONG((PULONG)(base + S5933_INTCSR));
        if (!(cause & S5933_INT_ASSERTED))
            return FALSE;
        WRITE_PORT_ULONG((PULONG)(base + S5933_INTCSR), cause); /* flags clear on a one */
        break;
    case QOR_CONTROLLER_PLX9050:
        cause = READ_PORT_UCHAR((PUCHAR)(base + PLX9050_INTCSR));
        if (!(cause & (PLX9050_LINT1_STATUS | PLX9050_LINT2_STATUS)))
            return FALSE;
        /* The local interrupts are level inputs from the card's logic; masking them until
           the DPC has run is the card's own business. */
        break;
    case QOR_CONTROLLER_PLX9080:
        cause = READ_PORT_ULONG((PULONG)(base + PLX9080_INTCSR));
        if (!(cause & PLX9080_DMA0_ACTIVE))
            return FALSE;
        WRITE_PORT_UCHAR((PUCHAR)(base + PLX9080_DMACSR0), PLX9080_DMACSR_CLEAR_INTERRUPT);
        break;
    default:
        return FALSE;
    }
    KeInsertQueueDpc(&device->Dpc, (PVOID)cause, NULL);
    return TRUE;
}

/* One finished block of a running buffer: step its state and restart the chip. */
static void AcqStepBuffer(QorDevExt *ext, ULONG kind)
{
    QorDbx *dbx = ext->Buffers[kind];
    if (dbx == NULL || !(dbx->Flags & DbxBusy))
        return;
    QorDpcDbx(dbx);
    if (!(dbx->Flags & DbxBusy) || ext->ControllerType != QOR_CONTROLLER_S5933)
        return;
    if (dbx->Flags & DbxDoubleBuffer) {
        /* After the step, DbxHwUpper names the half the card works on next. */
        QorDbxDescriptor *next = (dbx->Flags & DbxHwUpper) ? &dbx->Upper : &dbx->Whole;
        if (dbx->Flags & DbxOutput)
            S593_StartODMA(ext->PortBase[0], next);
        else
            S593_StartIDMA(ext->PortBase[0], next);
    } else if (dbx->Flags & DbxOutput) {
        S593_StartODMA(ext->PortBase[0], &dbx->Whole); /* the next pass */
    }
}

static VOID NTAPI AcqDpc(PKDPC dpc, PVOID context, PVOID cause, PVOID unused)
{
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    ULONG flags = (ULONG)(ULONG_PTR)cause;
    (void)dpc;
    (void)unused;
    switch (ext->ControllerType) {
    case QOR_CONTROLLER_S5933:
        if (flags & S5933_INT_WRITE_DONE) {
            AcqStepBuffer(ext, QOR_KIND_ANALOG_INPUT);
            AcqStepBuffer(ext, QOR_KIND_DIGITAL_INPUT);
        }
        if (flags & S5933_INT_READ_DONE) {
            AcqStepBuffer(ext, QOR_KIND_ANALOG_OUTPUT);
            AcqStepBuffer(ext, QOR_KIND_DIGITAL_OUTPUT);
        }
        break;
    case QOR_CONTROLLER_PLX9050:
        if ((flags & PLX9050_LINT1_STATUS) && ext->DualIntEvents != NULL)
            QorDpcDsen(ext->DualIntEvents);
        if ((flags & PLX9050_LINT2_STATUS) && ext->AuxEvent != NULL)
            QorDpcDsen(ext->AuxEvent);
        break;
    case QOR_CONTROLLER_PLX9080:
        P9080_StopDMA(ext->PortBase[0], 0);
        AcqStepBuffer(ext, QOR_KIND_ANALOG_INPUT);
        break;
    default:
        break;
    }
}

/* ---- requests --------------------------------------------------------------------- */

static NTSTATUS NTAPI AcqCreate(PDEVICE_OBJECT device, PIRP irp)
{
    NTSTATUS status = QorOpenDevice(device) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI AcqClose(PDEVICE_OBJECT device, PIRP irp)
{
    return QorCloseDevice(device, irp);
}

/* A start on one buffer kind; may pend a synchronous transfer. */
static NTSTATUS AcqStart(QorDevExt *ext, QorDbx *dbx, PIRP irp)
{
    NTSTATUS status;
    if (!QorIocContPreProc(ext, dbx, irp))
        return irp->IoStatus.Status;
    /* Card programming of the transfer would go here (pacer, channel list from List[]). */
    status = QorIocContPostProc(ext, dbx);
    if (status == STATUS_PENDING) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING; /* the DPC completes it */
    }
    irp->IoStatus.Status = status;
    return status;
}

static void AcqDigital(QorDevExt *ext, ULONG code, QorPioRequest *request)
{
    if (code == ACQ_IOCTL_DIO_READ) {
        request->Value = READ_PORT_USHORT((PUSHORT)(ext->PortBase[1] + ACQ_DIGITAL_IN));
        QorIocPioRead(ACQ_DIGITAL_WIDTH, request);
    } else {
        PUSHORT port = (PUSHORT)(ext->PortBase[1] + ACQ_DIGITAL_OUT);
        if (QorIocPioWrite(ACQ_DIGITAL_WIDTH, request, READ_PORT_USHORT(port)))
            WRITE_PORT_USHORT(port, (USHORT)request->Value);
    }
}

static NTSTATUS NTAPI AcqDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    int kind = acq_kind_of(code);
    QorDbx *dbx = kind >= 0 ? ext->Buffers[kind] : NULL;
    NTSTATUS status;

    if (!QorIocCheckBufferLength(irp)) {
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    switch (QOR_IOCTL_FUNCTION(code) & 0xFF0) {
    case 0x870:
        status = AcqStart(ext, dbx, irp);
        if (status == STATUS_PENDING)
            return status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    case 0x830: QorIocAsyCheck(ext, dbx, (QorAsyResult *)buffer); break;
    case 0x840: QorIocAsyClear(ext, dbx, (QorAsyResult *)buffer); break;
    case 0x850: QorIocDbfHalfReady(ext, dbx, (QorDbfHalfResult *)buffer); break;
    case 0x860: QorIocDbfMode(ext, dbx, (QorDbfModeRequest *)buffer); break;
    default:
        switch (code) {
        case ACQ_IOCTL_GET_DESP: QorIocGetDesp(ext, (QorDesp *)buffer); break;
        case ACQ_IOCTL_DIO_READ:
        case ACQ_IOCTL_DIO_WRITE: AcqDigital(ext, code, (QorPioRequest *)buffer); break;
        case ACQ_IOCTL_COUNTER_GET: I8254B_IocCtrGet(ext->PortBase[1] + ACQ_COUNTERS, (QorCounterRequest *)buffer); break;
        case ACQ_IOCTL_COUNTER_SET: I8254B_IocCtrSet(ext->PortBase[1] + ACQ_COUNTERS, (QorCounterRequest *)buffer); break;
        case ACQ_IOCTL_PORT_READ: QorIocPortIoRead(ext, ACQ_PORT_WIDTH, (QorPortIoRequest *)buffer); break;
        case ACQ_IOCTL_PORT_WRITE: QorIocPortIoWrite(ext, ACQ_PORT_WIDTH, (QorPortIoRequest *)buffer); break;
        case ACQ_IOCTL_DUAL_INT_SET:
        case ACQ_IOCTL_DUAL_INT_GET:
            if (ext->ControllerType != QOR_CONTROLLER_PLX9050 || ext->DualIntEvents == NULL) {
                irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
                irp->IoStatus.Information = 0;
            } else if (code == ACQ_IOCTL_DUAL_INT_SET) {
                PLX90_IocSetDualInt(ext, (QorDualIntRequest *)buffer);
            } else {
                PLX90_IocGetDualInt(ext, (QorDualIntRequest *)buffer);
            }
            break;
        default: /* a code of the table that this driver does not serve */
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            irp->IoStatus.Information = 0;
            break;
        }
    }
    /* The request goes back with the status and length that validation set; the library
       has written its own status into the record. */
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- load and unload -------------------------------------------------------------- */

static VOID NTAPI AcqUnload(PDRIVER_OBJECT driver)
{
    QorDriverBlock *kept = NULL;
    ULONG i;
    /* QorUnloadDriver frees the driver block of the first device; each family's scan made
       one of its own, so the others are dropped here. */
    if (driver->DeviceObject != NULL)
        kept = ((QorDevExt *)driver->DeviceObject->DeviceExtension)->DriverBlock;
    QorUnloadDriver(driver);
    for (i = 0; i < ACQ_FAMILIES; ++i) {
        if (acqFind[i].DriverBlock != NULL && acqFind[i].DriverBlock != kept)
            QorDropDriver(acqFind[i].DriverBlock);
        acqFind[i].DriverBlock = NULL;
        QorDeleteUcs(acqFind[i].FpgaFileName);
        acqFind[i].FpgaFileName = NULL;
    }
}

ACQ_INIT static ULONG AcqScan(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath, ULONG family)
{
    QorFindRecord *find = &acqFind[family];
    ULONG found = 0;
    RtlZeroMemory(find, sizeof *find);
    find->VendorId = acqFamilies[family].vendorId;
    find->DeviceId = acqFamilies[family].deviceId;
    find->ControllerType = acqFamilies[family].controllerType;
    find->DownloadFpga = acqFamilies[family].downloadFpga;
    find->DriverObject = driver;
    find->RegistryPath = registryPath;
    find->BaseName = acqFamilies[family].name;
    find->DeviceName = acqFamilies[family].name;
    find->DosName = acqFamilies[family].name;
    find->InterruptRoutine = AcqInterrupt;
    find->DpcRoutine = AcqDpc;
    find->PortCount = ACQ_PORTS;
    find->Desp = &acqTemplate;
    if (!QorFindDeviceBegin(find))
        return 0;
    while (QorFindDeviceNext(find)) {
        if (QorEnumDevice(find)) {
            QorReadEnumReg(find);
            ++found;
        }
    }
    QorFindDeviceEnd(find);
    return found;
}

ACQ_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ULONG family, cards = 0;
    AcqBuildTemplate();
    for (family = 0; family < ACQ_FAMILIES; ++family)
        cards += AcqScan(driver, registryPath, family);
    driver->MajorFunction[IRP_MJ_CREATE] = AcqCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = AcqClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AcqDeviceControl;
    driver->DriverUnload = AcqUnload;
    if (cards == 0) {
        AcqUnload(driver);
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}
