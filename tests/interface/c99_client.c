/* A client driver's view of the interface, compiled as strict C99: the header must build
   after the kernel headers and its layout checks must hold in C as they do in C++. */
#if defined(_WIN32)
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#include <ntddk.h>
#include "qorpelk.h"
#include "layout_list.h"

/* Offsets as C computes them, compared with C++'s by the host tests. */
unsigned qor_c99_layout(unsigned index)
{
    static const unsigned layout[] = {QOR_LAYOUT_VALUES};
    return index < sizeof layout / sizeof layout[0] ? layout[index] : 0u;
}

#if defined(QOR_LINK_CLIENT)
/* Built on the NT target into a driver image that imports from qorpelk.sys. */
static NTSTATUS NTAPI ClientDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    if (QorIocCheckBufferLength(irp)) {
        QorPioRequest *request = (QorPioRequest *)irp->AssociatedIrp.SystemBuffer;
        QorIocPioRead(1, request);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ClientDispatch;
    return STATUS_SUCCESS;
}
#endif
