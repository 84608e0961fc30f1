// The library's settings under the client driver's Parameters key. The per-card reader,
// QorReadEnumReg, is exported; these two are used inside the library only.
#pragma once

#include "qor_platform.h"

// The size setting of buffer kind 0 to 3 ("AI", "AO", "DI", "DO"). Every failure, an
// absent key or value and a kind outside 0 to 3 included, reads as 0.
extern "C" ULONG QORCALL QorReadParameterReg(PUNICODE_STRING registryPath, ULONG kind);

// Reads the FPGA configuration file name ("FPGA", REG_SZ; empty when absent) into a new
// 256-byte counted string and stores it in record->FpgaFileName, replacing the pointer
// that was there without freeing it. FALSE only when an allocation fails; the field is
// then left as it was.
extern "C" BOOLEAN QORCALL QorReadFileReg(QorFindRecord *record);
