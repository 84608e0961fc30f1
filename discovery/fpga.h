// Configuring a card's FPGA from a file under the system's drivers directory.
#pragma once

#include "qor_platform.h"

// Reads the whole configuration file named by fileName (relative to
// \SystemRoot\system32\drivers\) and sends it through the card's FPGA configuration
// port. A negative status means the FPGA was not configured.
extern "C" NTSTATUS QORCALL ZwCFOpenAndReadFile(QorDevExt *devExt, PUNICODE_STRING fileName);
