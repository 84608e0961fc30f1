// Run-time library string conversions of the simulated kernel, into the caller's buffers
// (none allocates). Results for a destination that is too small follow NT:
//  - RtlIntegerToUnicodeString: the digits and a NUL must fit, else STATUS_BUFFER_OVERFLOW
//    and the string is left alone; a base other than 0 (decimal), 2, 8, 10 or 16 is
//    STATUS_INVALID_PARAMETER;
//  - RtlAppendUnicodeStringToString: all or nothing, STATUS_BUFFER_TOO_SMALL when the
//    source does not fit; a NUL follows the result when there is room for it;
//  - RtlUnicodeStringToAnsiString: as many characters as fit before a NUL, and
//    STATUS_BUFFER_OVERFLOW when that cut the string; characters outside 7-bit ASCII
//    become '?'.
#include "qorsim.h"

#include <cstring>

using qorsim::machine;

extern "C" {

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL) // pageable code and tables
        machine().verifier.violation("RtlIntegerToUnicodeString above PASSIVE_LEVEL");
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char16_t digits[33];
    size_t count = 0;
    do {
        const ULONG digit = Value % Base;
        digits[count++] = static_cast<char16_t>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = digits[count - 1 - i];
    String->Buffer[count] = 0;
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("RtlAppendUnicodeStringToString above DISPATCH_LEVEL");
    const size_t length = size_t{Destination->Length} + Source->Length;
    if (length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<uint8_t *>(Destination->Buffer) + Destination->Length,
                 Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(length);
    if (length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL) // pageable code and tables
        machine().verifier.violation("RtlUnicodeStringToAnsiString above PASSIVE_LEVEL");
    if (AllocateDestinationString) {
        machine().verifier.violation("RtlUnicodeStringToAnsiString: allocating the destination is not modelled");
        return STATUS_INVALID_PARAMETER;
    }
    if (DestinationString->MaximumLength == 0)
        return STATUS_BUFFER_OVERFLOW;
    const size_t chars = SourceString->Length / sizeof(WCHAR);
    const size_t room = DestinationString->MaximumLength - 1u; // one byte for the NUL
    const size_t copied = chars < room ? chars : room;
    for (size_t i = 0; i < copied; ++i) {
        const WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Buffer[copied] = 0;
    DestinationString->Length = static_cast<USHORT>(copied);
    return copied < chars ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

} // extern "C"
