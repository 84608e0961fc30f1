// PLX PCI 9050 bridge: the local configuration registers its users touch. INTCSR keeps
// its enables and polarities; its LINTi status bits are read only and show whether the
// local interrupt input is active (driven to the level its polarity bit selects), whether
// or not the input is enabled. Two things drive an input: the card's add-on logic
// (Plx9050Fifo below, through drive_local_input) and a test (set_lint_asserted). CNTRL
// holds the four user I/O pins: a pin set up as an output reads back its latch, a pin set
// up as an input reads the level a test drives. CNTRL bit 30 holds the local bus in reset
// while it is set; the model counts the resets.
//
// The PCI interrupt (INTA#) is a level: asserted while INTCSR's PCI interrupt enable is set
// and an input the add-on logic drives active is enabled. The model calls `interrupt` when
// that level turns asserted: when the add-on's input becomes active while enabled, and when
// an INTCSR write enables an input that is already active (a masked level interrupts again
// the moment it is unmasked). A routine that returns leaving the level asserted would be
// called again at once on a PC; the model counts those returns (left_asserted) instead of
// calling it again, so that a test sees a driver that would hang the machine. Inputs a test
// drives never raise the line by themselves: the test raises it.
#pragma once

#include "models/acquisition.h"
#include "models/registers.h"

#include <atomic>
#include <functional>
#include <mutex>

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

    // The card's add-on logic drives local input `line` (1 or 2) active or idle; raises the
    // PCI interrupt when that turns the level asserted.
    void drive_local_input(unsigned line, bool active);
    // The card's interrupt line, as the interrupt connection wires it.
    std::function<void()> interrupt;
    bool interrupt_asserted() const;
    unsigned interrupts_raised() const { return raised_.load(); }
    unsigned left_asserted() const { return left_asserted_.load(); }

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
    void update_interrupt(); // raises the line when its level turns asserted

    bool lint_asserted_[2] = {false, false};
    std::atomic<bool> driven_[2] = {false, false};
    std::atomic<bool> level_{false};
    std::atomic<unsigned> raised_{0}, left_asserted_{0};
    bool pin_input_[kPins] = {};
    unsigned soft_resets_ = 0;
};

// The add-on logic of a 9050 acquisition card, in the card's local space (an I/O range of
// its own, the card's register BAR): a FIFO of 16-bit samples that a pacer fills at its
// rate in virtual time while it runs, from a signal source whose samples carry a running
// sequence number. LINTi1 is active while the FIFO holds at least `level` samples (level
// 0: never), LINTi2 while an overflow is latched: a sample that met a full FIFO was
// dropped, and every later one is dropped too until there is room; the overflow stays
// latched, with the count of dropped samples, until the program clears it.
//
//   offset  width  register
//   0x00    16/32  DATA   read: the oldest sample (a 32-bit read takes two, the older in
//                         the low half); an empty FIFO reads 0xFFFF and counts an underrun
//   0x04    16     FILL   samples in the FIFO (read only)
//   0x06    16     LEVEL  fill level at which LINTi1 turns active (read-write)
//   0x08    16            digital input, plain storage (the card's other registers)
//   0x0A    16            digital output, plain storage
//   0x0C    16     CSR    bit 0 RUN (read-write: the pacer runs), bit 1 AT_LEVEL (read
//                         only), bit 2 OVERFLOW (read only; writing 1 clears it and LOST),
//                         bit 3 EMPTY (read only)
//   0x10    32            the 8254, plain storage
//   0x14    32     LOST   samples dropped since the overflow was last cleared (read only,
//                         stops at 0xFFFFFFFF)
//   0x18    32     DEPTH  FIFO depth in samples (read only)
//
// Writing RUN from 0 to 1 starts the pacer from that moment; writing 0 stops it (the FIFO
// keeps what it holds). The add-on drives the inputs at the polarity INTCSR selects, so
// a status bit shows the condition itself. A CardRunner runs it: next_due_ns is the moment
// the FIFO reaches its level or overflows.
class Plx9050Fifo : public RegisterBlock, public PacedCard {
public:
    static constexpr uint32_t kData = 0x00, kFill = 0x04, kCsr = 0x0C, kLost = 0x14, kDepth = 0x18;
    static constexpr uint32_t kCsrRun = 1u << 0, kCsrAtLevel = 1u << 1, kCsrOverflow = 1u << 2, kCsrEmpty = 1u << 3;
    static constexpr uint32_t kMaxDepth = 0xFFFF;

    Plx9050Fifo(Plx9050 &bridge, uint32_t length, uint32_t depth, uint32_t level, uint32_t rateHz);

    SignalSource source;

    uint64_t next_due_ns() override;
    bool run_due() override;

    // Inspection.
    uint32_t fill();
    uint64_t produced() const { return source.produced(); }
    uint64_t dropped() const { return dropped_; }
    uint64_t underruns() const { return underruns_; }
    bool running() const { return stored(kCsr) & kCsrRun; }

protected:
    uint32_t read_register(uint32_t reg, uint32_t lanes) override;
    void write_register(uint32_t reg, uint32_t value, uint32_t lanes) override;

private:
    void catch_up(); // the pacer's samples up to now (caller holds mutex_)
    uint16_t pop();
    uint64_t time_of_sample(uint64_t n) const; // when the pacer has made n samples since RUN
    void update_inputs();

    Plx9050 &bridge_;
    std::mutex mutex_;
    std::vector<uint16_t> ring_;
    uint32_t head_ = 0, count_ = 0, level_;
    uint32_t rate_hz_;
    bool overflow_ = false;
    uint32_t lost_ = 0;
    uint64_t started_ns_ = 0, made_ = 0; // pacer start and samples made since
    uint64_t dropped_ = 0, underruns_ = 0;
};

} // namespace qorsim::models
