// TEMPORARY test double for the FPGA download (ZwCFOpenAndReadFile), which is being built
// on its own branch. Remove this file and fpga_stand_in.cpp (and the stand-in lines in
// cmake/nt.cmake) when discovery/fpga.cpp is merged.
#pragma once

#include "qor_platform.h"

struct FpgaStandIn {
    NTSTATUS result;         // what the next calls return
    ULONG calls;             // calls since the last reset
    QorDevExt *lastExt;      // arguments of the last call
    PUNICODE_STRING lastFileName;
    void (*onCall)(QorDevExt *devExt); // runs inside each call when set
};

extern "C" FpgaStandIn g_fpgaStandIn;

inline void ResetFpgaStandIn(NTSTATUS result)
{
    g_fpgaStandIn = FpgaStandIn{result, 0, nullptr, nullptr, nullptr};
}
