// Validation of I/O-control requests: every request to a card's device passes here before
// the client dispatches it. The table holds each code's fixed input and output lengths;
// the transfer-start rows add 4 input bytes for each list entry past the first.
#include "ioctl_check.h"

namespace qor {

#define QOR_TABLE_ROW(function, input, output) \
    QorIoctlLength{QOR_IOCTL_CODE(function), input, output},
constinit const QorIoctlLength kIoctlLengthTable[kIoctlRows + 1] = {
    QOR_IOCTL_TABLE(QOR_TABLE_ROW) QorIoctlLength{0, 0, 0}};
#undef QOR_TABLE_ROW

static_assert(sizeof(kIoctlLengthTable) == 424, "52 rows and the terminating row");

const QorIoctlLength *FindIoctlRow(ULONG code)
{
    // Linear and in table order: the all-zero row ends the search and matches nothing.
    for (const QorIoctlLength *row = kIoctlLengthTable; row->Code != 0; ++row)
        if (row->Code == code)
            return row;
    return nullptr;
}

namespace {

constexpr USHORT kListCountOffset = 16; // QorContRequest.ListCount
constexpr USHORT kListEntryBytes = 4;
constexpr ULONG kTransferMethodMask = 3; // bits 0-1 of a request code

BOOLEAN Reject(PIRP irp, SHORT status)
{
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    // Only a buffered request has a system buffer as long as its output: the direct
    // methods get one of the input length (none for no input) and METHOD_NEITHER none at
    // all, so their status has nowhere to go and nothing goes back.
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if ((code & kTransferMethodMask) != METHOD_BUFFERED || irp->AssociatedIrp.SystemBuffer == nullptr) {
        irp->IoStatus.Information = 0;
        return FALSE;
    }
    SetRequestStatus(irp->AssociatedIrp.SystemBuffer, status);
    irp->IoStatus.Information = sizeof(SHORT); // only the status goes back
    return FALSE;
}

} // namespace
} // namespace qor

extern "C" BOOLEAN QORCALL QorIocCheckBufferLength(PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // Lengths are taken modulo 65536, as the table's 16-bit lengths are.
    const USHORT outputLength = static_cast<USHORT>(stack->Parameters.DeviceIoControl.OutputBufferLength);
    const USHORT inputLength = static_cast<USHORT>(stack->Parameters.DeviceIoControl.InputBufferLength);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;

    if (outputLength < sizeof(SHORT)) {
        // No room for a status: the system buffer is left as the caller filled it.
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        return FALSE;
    }

    const QorIoctlLength *row = qor::FindIoctlRow(code);
    if (row == nullptr)
        return qor::Reject(irp, QorErrUnknownRequest);
    if (inputLength < row->InputLength)
        return qor::Reject(irp, QorErrInputTooShort);

    if ((code & QOR_IOCTL_VARIABLE_MASK) == QOR_IOCTL_VARIABLE_MATCH) {
        // The fixed part is in the buffer (checked above), so the list count can be read.
        const auto *bytes = static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        const USHORT listCount = static_cast<USHORT>(bytes[qor::kListCountOffset] |
                                                     (bytes[qor::kListCountOffset + 1] << 8));
        if (listCount == 0)
            return qor::Reject(irp, QorErrInputTooShort);
        const ULONG required = row->InputLength + qor::kListEntryBytes * (ULONG(listCount) - 1);
        if (inputLength < required)
            return qor::Reject(irp, QorErrInputTooShort);
    }

    if (row->OutputLength > outputLength)
        return qor::Reject(irp, QorErrOutputTooShort);

    qor::SetRequestStatus(irp->AssociatedIrp.SystemBuffer, QorOk);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = row->OutputLength;
    return TRUE;
}
