// TEMPORARY test double for ZwCFOpenAndReadFile until the FPGA download is merged: it
// records its calls and returns the status a test sets. Plain data with constant
// initialisation, so that the NT image links with it meanwhile (cmake/nt.cmake), where it
// refuses every download.
#include "fpga_stand_in.h"

extern "C" {

FpgaStandIn g_fpgaStandIn = {static_cast<NTSTATUS>(0xC0000002L) /* STATUS_NOT_IMPLEMENTED */, 0,
                             nullptr, nullptr, nullptr};

NTSTATUS QORCALL ZwCFOpenAndReadFile(QorDevExt *devExt, PUNICODE_STRING fileName)
{
    ++g_fpgaStandIn.calls;
    g_fpgaStandIn.lastExt = devExt;
    g_fpgaStandIn.lastFileName = fileName;
    if (g_fpgaStandIn.onCall != nullptr)
        g_fpgaStandIn.onCall(devExt);
    return g_fpgaStandIn.result;
}

} // extern "C"
