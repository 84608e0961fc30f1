// PLX PCI 9050 bridge: the local configuration registers its users touch. INTCSR keeps
// its enables and polarities; its LINTi status bits are read only and show whether the
// add-on asserts the local interrupt input (drives it to the level its polarity bit
// selects), as a test says, whether or not the input is enabled. CNTRL holds the four user I/O pins: a pin set up as an output
// reads back its latch, a pin set up as an input reads the level a test drives. CNTRL bit
// 30 holds the local bus in reset while it is set; the model counts the resets.
#pragma once

#include "models/registers.h"

namespace qorsim::models {

class Plx9050 : public RegisterBlock {
public:
    static constexpr uint32_t kLength = 0x80; // the local configuration I/O range
    static constexpr uint32_t kIntcsr = 0x4C, kCntrl = 0x50;

    // INTCSR
    static constexpr uint32_t kLint1Enable = 1u << 0, kLint1ActiveHigh = 1u << 1, kLint1Status = 1u << 2;
    static constexpr uint32_t kLint2Enable = 1u << 3, kLint2ActiveHigh = 1u << 4, kLint2Status = 1u << 5;
    static constexpr uint32_t kPciIntEnable = 1u << 6, kSoftwareInt = 1u << 7;
    static constexpr uint32_t kIntcsrWritable = 0xDB;

    // CNTRL: pin n owns bits 3n (function: 1 = general-purpose I/O), 3n + 1 (direction:
    // 1 = output) and 3n + 2 (data).
    static constexpr unsigned kPins = 4;
    static constexpr uint32_t kPinGpio = 1, kPinOutput = 2, kPinData = 4;
    static constexpr uint32_t kCntrlSoftReset = 1u << 30;

    Plx9050() : RegisterBlock(kLength) {}

    // Test controls: the local interrupt inputs (line 1 or 2) and the pins' input levels.
    void set_lint_asserted(unsigned line, bool asserted);
    void set_pin_input(unsigned pin, bool high);

    // Inspection.
    uint8_t intcsr_low() const { return static_cast<uint8_t>(read_intcsr()); }
    bool pin_is_output(unsigned pin) const;
    bool pin_level(unsigned pin) const; // the output latch of an output, else the input
    bool local_bus_in_reset() const { return stored(kCntrl) & kCntrlSoftReset; }
    unsigned soft_resets() const { return soft_resets_; }

protected:
    uint32_t read_register(uint32_t reg, uint32_t lanes) override;
    void write_register(uint32_t reg, uint32_t value, uint32_t lanes) override;

private:
    uint32_t read_intcsr() const;
    uint32_t read_cntrl() const;
    static unsigned PinShift(unsigned pin) { return 3 * pin; }

    bool lint_asserted_[2] = {false, false};
    bool pin_input_[kPins] = {};
    unsigned soft_resets_ = 0;
};

} // namespace qorsim::models
