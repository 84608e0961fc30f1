// Buffer objects and event pairs: setup at enumeration, open at the first open of the
// device, close at the last close, drop with the device.
#pragma once

#include "qor_platform.h"

extern "C" {
BOOLEAN QORCALL QorSetupBuffer(QorFindRecord *find);
BOOLEAN QORCALL QorSetupDbxBuffer(QorDbx *dbx, USHORT listLimit, ULONG sizeKb);
QorDsen *QORCALL QorSetupDsen(void);
VOID QORCALL QorOpenDbx(QorDbx *dbx);
BOOLEAN QORCALL QorOpenDbxView(QorDbx *dbx);
ULONG QORCALL QorMapTheMemory(PVOID kernelAddr, ULONG size);
BOOLEAN QORCALL QorOpenDbxEvent(QorDbx *dbx, ULONG index, PUNICODE_STRING prefix);
BOOLEAN QORCALL QorOpenDsen(QorDsen *dsen, ULONG index, PUNICODE_STRING prefix);
VOID QORCALL QorCloseDbx(QorDbx *dbx);
VOID QORCALL QorCloseDsen(QorDsen *dsen);
VOID QORCALL QorDropDbx(QorDbx *dbx);
VOID QORCALL QorDropDsen(QorDsen *dsen);
PUNICODE_STRING QORCALL QorCreateEventName(ULONG index, PUNICODE_STRING prefix);
BOOLEAN QORCALL QorGetAnsiEventName(ULONG index, PUNICODE_STRING prefix, PCHAR out);
}

namespace qor {
// Buffers lie below 128 MB of physical memory, so 32 bits of address reach them.
constexpr ULONG kBufferHighestAddress = 0x08000000;
constexpr ULONG kNameCapacity = 256;   // bytes of a working counted string
constexpr ULONG kNumberCapacity = 16;  // bytes of a number string
constexpr ULONG kAnsiNameBytes = 16;   // a user-form event name with its NUL
} // namespace qor
