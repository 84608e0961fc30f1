// The configuration port of a card's FPGA, as a slave configuration interface behind one
// I/O port: a 16-bit control word written, a 32-bit status read.
//
// Control word: bit 8 is the program line. Writing it set holds the FPGA in configuration
// reset and clears whatever it had received; writing 0x0000 while it is held releases it
// and starts a new configuration attempt. Any other write while the line is released is a
// configuration byte (bits 0 to 7). Writes narrower than the control word, and data before
// the first release or while bit 0 (ready) is clear, do not reach the FPGA and are only
// counted.
//
// Status: bit 0 ready (0 while held, 1 once released, 0 again after a byte the FPGA
// rejected), bits 1 and 2 configuration complete, bit 2 alone the end of the start-up
// sequence, bit 3 busy while a byte is being shifted in. Bits 4 to 31 read as a test sets
// them. A fresh model takes every byte at once and never completes: a test chooses when
// the card completes, rejects or stalls.
#pragma once

#include "models/registers.h"

#include <vector>

namespace qorsim::models {

class FpgaPort : public RegisterBlock {
public:
    static constexpr uint32_t kLength = 4;
    static constexpr uint32_t kProgramLine = 0x0100;
    static constexpr uint32_t kReady = 1u << 0, kComplete = 1u << 1, kDone = 1u << 2, kBusy = 1u << 3;
    static constexpr uint32_t kProtocolBits = 0xF;
    static constexpr uint64_t kNever = ReadCountdown::kNever;

    FpgaPort() : RegisterBlock(kLength) { startup_.set_never(); }

    // Behaviours; byte numbers count from 1 within an attempt, 0 switches the behaviour off.
    // Bits 1 and 2 set after this byte (the last byte of the image for a card that succeeds,
    // an earlier one for a card that completes early).
    void complete_after(uint64_t byte) { complete_after_ = byte; }
    // Bit 2 alone set from the `reads`-th read of the port after this byte, counting every
    // read: a card whose start-up finishes only while the driver waits after the data.
    void done_after_reads(uint64_t byte, uint64_t reads)
    {
        done_byte_ = byte;
        done_reads_ = reads;
    }
    // Bit 0 clears after this byte in every attempt: the FPGA rejects the image there.
    void error_after(uint64_t byte) { error_after_ = byte; }
    // Bit 0 reads 1 while the program line is held: the FPGA does not enter reset.
    void ready_while_held(bool ready) { ready_while_held_ = ready; }
    // false: bit 0 stays 0 after the release: the FPGA never gets ready for data.
    void ready_after_release(bool ready) { ready_after_release_ = ready; }
    // Bit 3 reads 1 for this many reads after each byte (kNever: it never clears again).
    void busy_after_each_byte(uint64_t reads) { busy_reads_ = reads; }
    // Bits 4 to 31 of every status read.
    void set_unused_bits(uint32_t bits) { unused_bits_ = bits & ~kProtocolBits; }

    // Inspection.
    bool program_held() const { return held_; }
    unsigned holds() const { return holds_; }
    // The bytes received in each attempt, one attempt per release of the program line.
    const std::vector<std::vector<uint8_t>> &attempts() const { return attempts_; }
    uint64_t status_reads() const { return status_reads_; }
    uint64_t ignored_writes() const { return ignored_writes_; }

protected:
    uint32_t read_register(uint32_t reg, uint32_t lanes) override;
    void write_register(uint32_t reg, uint32_t value, uint32_t lanes) override;

private:
    void hold();
    void release();
    void receive(uint8_t byte);
    bool ready() const;

    uint64_t complete_after_ = 0, done_byte_ = 0, done_reads_ = 0, error_after_ = 0, busy_reads_ = 0;
    bool ready_while_held_ = false, ready_after_release_ = true;
    uint32_t unused_bits_ = 0;

    bool held_ = false, complete_ = false, rejected_ = false;
    ReadCountdown busy_;    // set: not busy
    ReadCountdown startup_; // set: start-up finished (bit 2)
    unsigned holds_ = 0;
    std::vector<std::vector<uint8_t>> attempts_;
    uint64_t status_reads_ = 0, ignored_writes_ = 0;
};

} // namespace qorsim::models
