// Counted wide strings (UNICODE_STRING) owned by the library: the header and its buffer
// are two separate zero-filled nonpaged blocks. No function here writes a terminating
// NUL, so a new string stays NUL-terminated while its Length is below its capacity; the
// registry readers rely on that when they hand a key path to the kernel.
#include "qor_platform.h"

namespace {
constexpr USHORT kWcharBytes = sizeof(WCHAR);
} // namespace

extern "C" {

ULONG QORCALL QorSizeofWcs(PCWSTR string)
{
    ULONG count = 0;
    while (string[count] != 0)
        ++count;
    return count * kWcharBytes;
}

PUNICODE_STRING QORCALL QorNewUcs(USHORT capacity)
{
    auto *string = static_cast<PUNICODE_STRING>(QorNewNpp(sizeof(UNICODE_STRING)));
    if (string == nullptr)
        return nullptr;
    string->MaximumLength = capacity;
    string->Length = 0;
    string->Buffer = static_cast<PWSTR>(QorNewNpp(capacity));
    if (string->Buffer == nullptr) {
        QorDeleteNpp(string);
        return nullptr;
    }
    return string;
}

VOID QORCALL QorDeleteUcs(PUNICODE_STRING string)
{
    if (string == nullptr)
        return;
    QorDeleteNpp(string->Buffer);
    QorDeleteNpp(string);
}

VOID QORCALL QorClearUcs(PUNICODE_STRING string)
{
    auto *bytes = reinterpret_cast<UCHAR *>(string->Buffer);
    for (USHORT i = 0; i < string->MaximumLength; ++i)
        bytes[i] = 0;
    string->Length = 0;
}

// A copy whose capacity equals the source's length: no room to grow, no NUL inside.
PUNICODE_STRING QORCALL QorDupUcsToUcs(PCUNICODE_STRING string)
{
    PUNICODE_STRING copy = QorNewUcs(string->Length);
    if (copy == nullptr)
        return nullptr;
    QorCatUcs(copy, string);
    return copy;
}

PUNICODE_STRING QORCALL QorDupWcsToUcs(PCWSTR string)
{
    const auto bytes = static_cast<USHORT>(QorSizeofWcs(string));
    PUNICODE_STRING copy = QorNewUcs(bytes);
    if (copy == nullptr)
        return nullptr;
    QorCatWcs(copy, string);
    return copy;
}

// Appends whole characters while they fit; a source that does not fit is cut silently.
PWCH QORCALL QorCatWcs(PUNICODE_STRING destination, PCWSTR source)
{
    PWCH next = destination->Buffer + destination->Length / kWcharBytes;
    while (*source != 0 && destination->Length + kWcharBytes <= destination->MaximumLength) {
        *next++ = *source++;
        destination->Length = static_cast<USHORT>(destination->Length + kWcharBytes);
    }
    return next;
}

// Appends as many bytes of the source as the room left takes; the rest is cut silently.
ULONG QORCALL QorCatUcs(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    const USHORT room = static_cast<USHORT>(destination->MaximumLength - destination->Length);
    const USHORT count = source->Length < room ? source->Length : room;
    auto *to = reinterpret_cast<UCHAR *>(destination->Buffer) + destination->Length;
    const auto *from = reinterpret_cast<const UCHAR *>(source->Buffer);
    for (USHORT i = 0; i < count; ++i)
        to[i] = from[i];
    destination->Length = static_cast<USHORT>(destination->Length + count);
    return count;
}

} // extern "C"
