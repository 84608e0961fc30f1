/*
 * mydrv: the smallest useful client of qorpelk.sys. It finds the AMCC S5933 cards
 * (vendor 0x10E8, device 0x5A01), gives each a device \Device\MyA<n> with the link
 * \DosDevices\MyA<n> and an analog input buffer, and serves a program's open, close
 * and description request (QOR_IOCTL_GET_DESP). src\acqdrv\acqdrv.c shows the rest:
 * transfers, digital and port requests, the PLX cards, the interrupt and DPC work.
 *
 * Build it as GUIDE.txt, section 6, says (mingw-w64, i486, against include\ and
 * lib\libqorpelk.a, then tools\pe_finish), and try it on qorsim with example\mydrv.qs
 * (section 8).
 */
#include <ntddk.h>

#include "qorpelk.h"
#include "qorpelk_requests.h"

static QorFindRecord myFind;
static QorDesp myTemplate;

/* The cards' interrupts stay off: this driver starts no transfer. A shared line's
   interrupt is another device's. */
static BOOLEAN NTAPI MyInterrupt(PKINTERRUPT interrupt, PVOID context)
{
    (void)interrupt;
    (void)context;
    return FALSE;
}

static VOID NTAPI MyDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    (void)dpc;
    (void)context;
    (void)argument1;
    (void)argument2;
}

static NTSTATUS MyComplete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI MyCreate(PDEVICE_OBJECT device, PIRP irp)
{
    return MyComplete(irp, QorOpenDevice(device) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, 0);
}

static NTSTATUS NTAPI MyClose(PDEVICE_OBJECT device, PIRP irp)
{
    return QorCloseDevice(device, irp); /* completes the request */
}

static NTSTATUS NTAPI MyDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    QorDevExt *ext = (QorDevExt *)device->DeviceExtension;
    if (stack->Parameters.DeviceIoControl.IoControlCode != QOR_IOCTL_GET_DESP)
        return MyComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    /* The library checks the lengths against its table and sets the information. */
    if (!QorIocCheckBufferLength(irp))
        return MyComplete(irp, STATUS_INVALID_PARAMETER, irp->IoStatus.Information);
    QorIocGetDesp(ext, (QorDesp *)irp->AssociatedIrp.SystemBuffer);
    return MyComplete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
}

static VOID NTAPI MyUnload(PDRIVER_OBJECT driver)
{
    /* Every card's device, then the driver block; with no device the block is ours. */
    const BOOLEAN devices = driver->DeviceObject != NULL;
    QorUnloadDriver(driver);
    if (!devices && myFind.DriverBlock != NULL)
        QorDropDriver(myFind.DriverBlock);
    myFind.DriverBlock = NULL;
    QorDeleteUcs(myFind.FpgaFileName);
    myFind.FpgaFileName = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ULONG cards = 0;
    RtlZeroMemory(&myTemplate, sizeof myTemplate);
    /* Analog input only: present, with a buffer object (the size comes from the AI
       value of the service's Parameters key) and its event. */
    myTemplate.Buffers[QOR_KIND_ANALOG_INPUT].Flags = QOR_DESP_PRESENT | QOR_DESP_FLAG1;
    myTemplate.Buffers[QOR_KIND_ANALOG_INPUT].SampleBits = 16;
    myTemplate.Buffers[QOR_KIND_ANALOG_INPUT].ListLimit = 1;
    RtlZeroMemory(&myFind, sizeof myFind);
    myFind.VendorId = 0x10E8;
    myFind.DeviceId = 0x5A01;
    myFind.ControllerType = QOR_CONTROLLER_S5933;
    myFind.DownloadFpga = 1;
    myFind.DriverObject = driver;
    myFind.RegistryPath = registryPath;
    myFind.BaseName = L"MyA";
    myFind.DeviceName = L"MyA";
    myFind.DosName = L"MyA";
    myFind.InterruptRoutine = MyInterrupt;
    myFind.DpcRoutine = MyDpc;
    myFind.PortCount = 3;
    myFind.Desp = &myTemplate;
    if (QorFindDeviceBegin(&myFind)) {
        while (QorFindDeviceNext(&myFind))
            if (QorEnumDevice(&myFind))
                ++cards;
        QorFindDeviceEnd(&myFind);
    }
    driver->MajorFunction[IRP_MJ_CREATE] = MyCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = MyClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MyDeviceControl;
    driver->DriverUnload = MyUnload;
    if (cards == 0) {
        MyUnload(driver);
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}
