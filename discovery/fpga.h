// Loading a card's FPGA configuration: the file from the system's drivers directory, then
// the byte stream through the card's configuration port with the handshake and retries.
// Both run at passive level (file access and sleeps).
#pragma once

#include "qor_platform.h"

namespace qor {

// Reads of the configuration port's busy bit (bit 3) allowed after one configuration
// byte. A port read costs roughly a microsecond on the bus, so this waits several
// milliseconds, far longer than any FPGA takes to shift one byte in.
inline constexpr ULONG kFpgaBusyReadLimit = 10000;

} // namespace qor

// Reads "\SystemRoot\system32\drivers\<fileName>" whole into nonpaged pool and downloads it
// into the card's FPGA through PortBase[2]. Returns the read's success status when the
// FPGA reported completion; otherwise STATUS_INSUFFICIENT_RESOURCES (path or data buffer
// not allocated), STATUS_NO_SUCH_FILE (any failure to open the file), the size query's own
// status, or STATUS_UNSUCCESSFUL (empty file, failed or short read, download failed).
// Every path frees the buffers and closes the file it took; an empty file never reaches the
// port.
extern "C" NTSTATUS QORCALL ZwCFOpenAndReadFile(QorDevExt *devExt, PUNICODE_STRING fileName);

// Configures the FPGA behind PortBase[2] (16-bit control and data writes, 32-bit status
// reads) with `length` bytes of `data`, in up to five attempts: pulse the program line,
// check bit 0 (ready) for 0 while it is held and 1 after its release, send the bytes one
// per write while bit 0 stays 1 (bits 1 and 2 together end the data early), then 1000
// back-to-back reads for the start-up sequence and a last read whose bit 2 also means
// complete. A card that does not enter or leave reset correctly fails at once, without a
// retry, and stays held if it never entered reset. Returns TRUE when the FPGA reported
// completion.
//
// Busy bound: after each byte the busy bit is polled by back-to-back reads, with no
// sleep, at most qor::kFpgaBusyReadLimit times. A byte still busy on the last of them
// ends the attempt as a configuration error: no closing reads, and the next attempt
// starts again with the program line pulse (the one thing that resets a stalled
// configuration logic) from the first byte. A card that never clears busy therefore costs
// five attempts of one byte each and returns FALSE with the program line released.
extern "C" BOOLEAN QORCALL FPGA_Download(PUCHAR data, ULONG length, QorDevExt *devExt);
