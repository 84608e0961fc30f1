// Decoded port traces: each recorded port access with the card it reached, the chip
// register's name and the meaning of its bits, as a driver writer reads a bus analyser:
//   "0.0125 ms  0:03.0  s5933  MCSR <- 0x0E000000: reset outgoing FIFO, reset incoming FIFO, reset mailbox flags"
#pragma once

#include "qorsim.h"
#include "machine_file.h"

#include <string>
#include <vector>

namespace qorsim {

// One I/O range of a card: where its ports are now (software may have moved the BAR),
// the card's label ("bus:device.function") and what answers there: "s5933", "plx9050",
// "plx9080", "registers" (the card's own registers: digital ports and an 8254), "fpga",
// "counters" or "none".
struct PortRegion {
    uint32_t base = 0, length = 0;
    std::string card, name, model;
};
std::vector<PortRegion> port_regions(const BuiltMachine &built);

struct DecodedAccess {
    std::string card, model; // empty for an unclaimed port
    std::string reg;         // register name, or "+0xNN" where the block has none there
    std::string meaning;     // the bits set, in words; may be empty
};
DecodedAccess decode_access(const PortAccess &access, const std::vector<PortRegion> &regions);

// Selects the accesses to print: by card (label or a part of its name) and by register
// name (case-insensitive); empty lists select everything.
struct TraceFilter {
    std::vector<std::string> cards, registers;
    bool matches(const DecodedAccess &decoded, const PortRegion *region) const;
};

// Writes the decoded trace, one access a line; returns the number of lines written.
size_t write_trace(std::FILE *out, const std::vector<PortAccess> &trace, const std::vector<PortRegion> &regions,
                   const TraceFilter &filter);
std::string format_access(const PortAccess &access, const DecodedAccess &decoded);

} // namespace qorsim
