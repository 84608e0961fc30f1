// AMCC S5933 PCI bridge: the operation registers as the chip's users see them. INTCSR
// keeps its enables and selections, its pending-interrupt flags clear when written with
// ones, bit 23 shows an enabled flag; MCSR keeps its control bits, its FIFO-reset
// commands act and read back as 0, its FIFO status bits come from the model's FIFOs.
// Bus-master data movement belongs to the card around the chip (models/acquisition.h):
// every MCSR write that sets a transfer enable calls on_transfer_enabled with the
// programmed address and count; the card, or a test, ends it with complete_transfer.
#pragma once

#include "models/registers.h"

#include <deque>
#include <functional>

namespace qorsim::models {

class S5933 : public RegisterBlock {
public:
    // input: the chip writes to PCI memory (MWAR/MWTC); output: it reads (MRAR/MRTC).
    enum class Direction { Input, Output };

    static constexpr uint32_t kLength = 0x40;
    static constexpr uint32_t kOmb1 = 0x00, kImb1 = 0x10, kFifo = 0x20, kMwar = 0x24, kMwtc = 0x28;
    static constexpr uint32_t kMrar = 0x2C, kMrtc = 0x30, kMbef = 0x34, kIntcsr = 0x38, kMcsr = 0x3C;

    // INTCSR
    static constexpr uint32_t kIntOutMailboxEnable = 1u << 4;
    static constexpr uint32_t kIntInMailboxEnable = 1u << 12;
    static constexpr uint32_t kIntWriteCompleteEnable = 1u << 14;
    static constexpr uint32_t kIntReadCompleteEnable = 1u << 15;
    static constexpr uint32_t kIntOutMailboxFlag = 1u << 16;
    static constexpr uint32_t kIntInMailboxFlag = 1u << 17;
    static constexpr uint32_t kIntWriteCompleteFlag = 1u << 18;
    static constexpr uint32_t kIntReadCompleteFlag = 1u << 19;
    static constexpr uint32_t kIntMasterAbortFlag = 1u << 20;
    static constexpr uint32_t kIntTargetAbortFlag = 1u << 21;
    static constexpr uint32_t kIntPendingFlags = 0x3Fu << 16;
    static constexpr uint32_t kIntAsserted = 1u << 23;

    // MCSR
    static constexpr uint32_t kMcsrOutFifoEmpty = 1u << 2;
    static constexpr uint32_t kMcsrInFifoFull = 1u << 3;
    static constexpr uint32_t kMcsrInFifoFourPlus = 1u << 4;
    static constexpr uint32_t kMcsrInFifoEmpty = 1u << 5;
    static constexpr uint32_t kMcsrStatus = 0xFFu; // read only
    static constexpr uint32_t kMcsrWriteEnable = 1u << 10;
    static constexpr uint32_t kMcsrReadEnable = 1u << 14;
    static constexpr uint32_t kMcsrOutFifoReset = 1u << 25;
    static constexpr uint32_t kMcsrInFifoReset = 1u << 26;
    static constexpr uint32_t kMcsrMailboxReset = 1u << 27;
    static constexpr uint32_t kMcsrCommands = kMcsrOutFifoReset | kMcsrInFifoReset | kMcsrMailboxReset;

    static constexpr size_t kInFifoDepth = 8; // dwords

    S5933() : RegisterBlock(kLength) {}

    // Test controls.
    // MCSR bit 2: when the outgoing FIFO reports drained, counted in MCSR reads. A FIFO
    // reset empties it at once.
    ReadCountdown &out_fifo_empty() { return out_empty_; }
    // The add-on side of the incoming FIFO. An endless FIFO never reports empty and
    // yields first, first + 1, ...
    void push_in_fifo(uint32_t dword) { in_fifo_.push_back(dword); }
    void set_in_fifo_endless(uint32_t first)
    {
        endless_ = true;
        next_endless_ = first;
    }
    size_t in_fifo_size() const { return in_fifo_.size(); }
    // Sets pending-interrupt flags as the chip's events would.
    void raise(uint32_t flags);
    // The transfer ran to its end: its count reads 0 and its completion flag is set.
    void complete_transfer(Direction direction);
    std::function<void(Direction, uint32_t address, uint32_t count)> on_transfer_enabled;

    // Inspection.
    bool transfer_enabled(Direction direction) const;
    bool interrupt_asserted() const;
    unsigned fifo_resets(Direction direction) const
    {
        return direction == Direction::Input ? in_fifo_resets_ : out_fifo_resets_;
    }
    unsigned mailbox_resets() const { return mailbox_resets_; }
    unsigned fifo_reads() const { return fifo_reads_; }

protected:
    uint32_t read_register(uint32_t reg, uint32_t lanes) override;
    void write_register(uint32_t reg, uint32_t value, uint32_t lanes) override;

private:
    uint32_t mcsr_status(bool poll);
    uint32_t pop_in_fifo();
    void write_mcsr(uint32_t value, uint32_t lanes);

    ReadCountdown out_empty_;
    std::deque<uint32_t> in_fifo_;
    bool endless_ = false;
    uint32_t next_endless_ = 0;
    unsigned in_fifo_resets_ = 0, out_fifo_resets_ = 0, mailbox_resets_ = 0, fifo_reads_ = 0;
};

} // namespace qorsim::models
