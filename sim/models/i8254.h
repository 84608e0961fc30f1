// Intel 8254 programmable interval timer: three counters and a control register at a
// register spacing of 1, 2 or 4 ports (only the low byte of a wider access counts).
// Modelled: the control word (counter select, access mode, mode, BCD), the counter latch
// command, the low-byte/high-byte toggles of reads and writes, and counting down on
// clock pulses that a test supplies (or a count that a test sets directly). A read-back
// command (select 3) is counted but not acted on.
#pragma once

#include "qorsim.h"

#include <cstdint>

namespace qorsim::models {

class I8254 : public PortDevice {
public:
    static constexpr unsigned kCounters = 3;
    enum Access : uint8_t { kLatch = 0, kLowOnly = 1, kHighOnly = 2, kLowThenHigh = 3 };

    struct Counter {
        uint8_t mode = 0;
        bool bcd = false;
        Access access = kLowThenHigh;
        uint16_t initial = 0; // the count register as last loaded
        uint16_t count = 0;   // the counting element
        bool loaded = false;  // counts only once a count has been written
        bool writeHigh = false, readHigh = false;
        uint8_t lowWritten = 0;
        bool latched = false;
        uint16_t latch = 0;
        unsigned loads = 0;
    };

    explicit I8254(uint32_t spacing) : spacing_(spacing) {}
    uint32_t length() const { return 4 * spacing_; }

    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;

    // Test controls.
    void set_count(unsigned counter, uint16_t count) { counters_[counter].count = count; }
    // Counts `pulses` clock pulses down: the one-shot modes (0, 1, 4, 5) wrap through the
    // top of the range, the periodic modes (2, 3) reload the initial count on reaching
    // zero. Mode 3 counts by ones here; its period is the same as the chip's.
    void clock(unsigned counter, uint32_t pulses);

    // Inspection.
    const Counter &counter(unsigned counter) const { return counters_[counter]; }
    unsigned control_words() const { return control_words_; }
    unsigned latch_commands() const { return latch_commands_; }
    unsigned readback_commands() const { return readback_commands_; }

private:
    void control(uint8_t word);
    uint8_t read_counter(Counter &c);
    void write_counter(Counter &c, uint8_t byte);
    void load(Counter &c, uint16_t count);

    uint32_t spacing_;
    Counter counters_[kCounters];
    unsigned control_words_ = 0, latch_commands_ = 0, readback_commands_ = 0;
};

} // namespace qorsim::models
