// The control device \Device\QorPelk with its link \DosDevices\QORPELK. It holds no state
// and answers create and close with success; client drivers call the library directly.
#include "control_device.h"

namespace {
// The unload routine's copy of the link name, resident.
constexpr WCHAR kLinkName[] = QOR_W("\\DosDevices\\QORPELK");
// The entry routine's names, discarded with it.
QOR_INIT_DATA constexpr WCHAR kInitDeviceName[] = QOR_W("\\Device\\QorPelk");
QOR_INIT_DATA constexpr WCHAR kInitLinkName[] = QOR_W("\\DosDevices\\QORPELK");
} // namespace

extern "C" QOR_INIT_CODE NTSTATUS NTAPI QOR_LIBRARY_ENTRY(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, kInitDeviceName);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    driver->MajorFunction[IRP_MJ_CREATE] = QorDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = QorDispatch;
    driver->DriverUnload = QorUnload;

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kInitLinkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status))
        IoDeleteDevice(driver->DeviceObject);
    return status;
}

extern "C" NTSTATUS NTAPI QorDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI QorUnload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kLinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(driver->DeviceObject);
}
