// Digital I/O request checks shared by the read and the write.
#pragma once

#include "qor_platform.h"

// Checks a digital I/O request against the port's width in bytes and masks Value down to
// the requested bytes. Writes Status; 1 accepted, 0 rejected (Value untouched).
extern "C" BOOLEAN QORCALL QorIocPioCheck(USHORT portWidth, QorPioRequest *request);

namespace qor {
// Keep masks by byte count 1 to 4 (entry 0 unused); each merge mask is the complement.
constexpr ULONG kPioKeepMask[5] = {0, 0x000000FF, 0x0000FFFF, 0x00FFFFFF, 0xFFFFFFFF};
constexpr ULONG kPioMergeMask[5] = {0, 0xFFFFFF00, 0xFFFF0000, 0xFF000000, 0x00000000};
} // namespace qor
