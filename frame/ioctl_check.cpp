// Validation of I/O-control requests: every request to a card's device passes here before
// the client dispatches it. The table holds each code's fixed input and output lengths;
// the transfer-start rows add 4 input bytes for each list entry past the first.
#include "ioctl_check.h"

namespace qor {

#define QOR_TABLE_ROW(function, input, output) \
    QorIoctlLength{QOR_IOCTL_CODE(function), input, output},
constexpr QorIoctlLength kIoctlLengthTable[kIoctlRows + 1] = {
    QOR_IOCTL_TABLE(QOR_TABLE_ROW) QorIoctlLength{0, 0, 0}};
#undef QOR_TABLE_ROW

static_assert(sizeof(kIoctlLengthTable) == 424, "52 rows and the terminating row");

namespace {

// The codes' function numbers lie in [kFirstFunction, kFirstFunction + kFunctionSlots).
// The validation looks a code up in a copy of the table laid out by function number, so
// that a lookup costs the same for every code (a scan in table order passed up to 52
// rows). Slots without a row hold code 0, which matches no code in the span.
constexpr ULONG kFirstFunction = 0x810;
constexpr ULONG kFunctionSlots = 0x944 - kFirstFunction;

struct RowsByFunction {
    QorIoctlLength Slot[kFunctionSlots];
};

constexpr RowsByFunction MakeRowsByFunction()
{
    RowsByFunction rows{};
    for (int row = 0; row < kIoctlRows; ++row) // a function outside the span stops the compilation
        rows.Slot[QOR_IOCTL_FUNCTION(kIoctlLengthTable[row].Code) - kFirstFunction] = kIoctlLengthTable[row];
    return rows;
}

constexpr RowsByFunction kRowsByFunction = MakeRowsByFunction();

// Every row has its slot to itself: a second row for the same function would have taken it.
constexpr bool EveryRowInItsSlot()
{
    for (int row = 0; row < kIoctlRows; ++row) {
        const QorIoctlLength &slot = kRowsByFunction.Slot[QOR_IOCTL_FUNCTION(kIoctlLengthTable[row].Code) - kFirstFunction];
        if (slot.Code != kIoctlLengthTable[row].Code || slot.InputLength != kIoctlLengthTable[row].InputLength ||
            slot.OutputLength != kIoctlLengthTable[row].OutputLength)
            return false;
    }
    return true;
}
static_assert(EveryRowInItsSlot(), "one row per function");

inline const QorIoctlLength *LookUp(ULONG code)
{
    // The slot of the code's function when the code lies in the table's span of codes;
    // codes below it (code 0 among them) wrap to large values.
    const ULONG slot = (code >> 2) - (QOR_IOCTL_CODE(kFirstFunction) >> 2);
    if (slot >= kFunctionSlots)
        return nullptr;
    // The code must match the slot's code in all 32 bits (the method bits, dropped by the
    // shift, among them).
    const QorIoctlLength *row = &kRowsByFunction.Slot[slot];
    // Keeps the slot's address in a register: otherwise the compiler derives it again from
    // the table's base for each field read afterwards, which costs more than the lookup.
    asm("" : "+r"(row));
    return row->Code == code ? row : nullptr;
}

constexpr ULONG kListCountOffset = 16; // QorContRequest.ListCount
constexpr ULONG kListEntryBytes = 4;

} // namespace

const QorIoctlLength *FindIoctlRow(ULONG code) { return LookUp(code); }

} // namespace qor

extern "C" BOOLEAN QORCALL QorIocCheckBufferLength(PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto *const buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    // Lengths are taken modulo 65536, as the table's 16-bit lengths are.
    const USHORT outputLength = static_cast<USHORT>(stack->Parameters.DeviceIoControl.OutputBufferLength);
    if (outputLength < sizeof(SHORT) || buffer == nullptr) {
        // No room for a status, or no system buffer to hold one (a METHOD_NEITHER code, or
        // a buffered one sent with no buffers): nothing is written into the request's data.
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        return FALSE;
    }

    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const QorIoctlLength *row = qor::LookUp(code);
    SHORT refusal;
    if (row == nullptr) {
        refusal = QorErrUnknownRequest;
    } else {
        const ULONG inputLength = static_cast<USHORT>(stack->Parameters.DeviceIoControl.InputBufferLength);
        ULONG required = row->InputLength;
        if (inputLength >= required && (code & QOR_IOCTL_VARIABLE_MASK) == QOR_IOCTL_VARIABLE_MATCH) {
            // The fixed part is in the buffer, so the list count can be read. The first
            // entry is in the fixed part; a count of 0 wraps to 65535 further entries,
            // more than any 16-bit length holds, and is refused with the short input.
            const USHORT further = static_cast<USHORT>(
                (buffer[qor::kListCountOffset] | (buffer[qor::kListCountOffset + 1] << 8)) - 1);
            required += qor::kListEntryBytes * further;
        }
        if (inputLength < required)
            refusal = QorErrInputTooShort;
        else if (row->OutputLength > outputLength)
            refusal = QorErrOutputTooShort;
        else {
            qor::SetRequestStatus(buffer, QorOk);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = row->OutputLength;
            return TRUE;
        }
    }
    qor::SetRequestStatus(buffer, refusal);
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = sizeof(SHORT); // only the status goes back
    return FALSE;
}
