// Port access by register width, for code that is written once for 8-, 16- and 32-bit
// registers: the 8254 spacings and the bridge chips' read-modify-writes.
#pragma once

#include "qor_platform.h"

namespace qor {

template <class T> inline T PortRead(ULONG port)
{
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
    if constexpr (sizeof(T) == 1)
        return PortRead8(port);
    else if constexpr (sizeof(T) == 2)
        return PortRead16(port);
    else
        return PortRead32(port);
}

template <class T> inline void PortWrite(ULONG port, T value)
{
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
    if constexpr (sizeof(T) == 1)
        PortWrite8(port, value);
    else if constexpr (sizeof(T) == 2)
        PortWrite16(port, value);
    else
        PortWrite32(port, value);
}

// One read and one write of the register: the bits of `clear` are cleared, then those of
// `set` set; every other bit, status and write-one-to-clear bits included, is written
// back exactly as read.
template <class T> inline void PortModify(ULONG port, T clear, T set)
{
    const T value = static_cast<T>((PortRead<T>(port) & static_cast<T>(~clear)) | set);
    PortWrite<T>(port, value);
}

} // namespace qor
