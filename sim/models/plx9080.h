// PLX PCI 9080 bridge: the local configuration registers and the command and status
// semantics of its two DMA channels. DMACSR (one byte per channel at 0xA8 and 0xA9):
// bit 0 enable is kept; bit 1 start starts an enabled idle channel; bit 2 abort stops a
// running channel whose enable is clear, and the channel reports done once the abort
// takes effect (at once, after k reads of its DMACSR, or never, as a test sets it); bit 3
// clears the channel's interrupt; bit 4 done is read only. Start, abort and clear read
// back as 0. INTCSR bits 21 and 22 show the channels' pending interrupts. Setting CNTRL
// bit 30 (byte 0x6F bit 6) resets the chip's local side: both channels stop and report
// done, their interrupts clear. Chain walking is not modelled: a start calls on_start
// with the channel's DMADPR and DMAMODE, where a memory model can take over; a test ends
// a transfer with finish.
#pragma once

#include "models/registers.h"

#include <functional>

namespace qorsim::models {

class Plx9080 : public RegisterBlock {
public:
    static constexpr uint32_t kLength = 0x100;
    static constexpr uint32_t kIntcsr = 0x68, kCntrl = 0x6C;
    static constexpr uint32_t kDmaMode0 = 0x80, kDmaDpr0 = 0x90, kDmaMode1 = 0x94, kDmaDpr1 = 0xA4;
    static constexpr uint32_t kDmaCsr = 0xA8, kDmaThr = 0xB0;
    static constexpr unsigned kChannels = 2;

    static constexpr uint32_t kIntDma0Active = 1u << 21, kIntDma1Active = 1u << 22;
    static constexpr uint32_t kCntrlSoftReset = 1u << 30;
    static constexpr uint32_t kModeDoneInterrupt = 1u << 10;
    static constexpr uint8_t kCsrEnable = 1u << 0, kCsrStart = 1u << 1, kCsrAbort = 1u << 2;
    static constexpr uint8_t kCsrClearInterrupt = 1u << 3, kCsrDone = 1u << 4;

    Plx9080() : RegisterBlock(kLength) {}

    // Test controls.
    // How long an abort of this channel takes to report done, in reads of its DMACSR.
    ReadCountdown &abort_done(unsigned channel) { return channels_[channel].abortDone; }
    // The running transfer reached the end of its chain: done, and an interrupt when the
    // channel's mode enables the done interrupt.
    void finish(unsigned channel);
    std::function<void(unsigned channel, uint32_t dmadpr, uint32_t dmamode)> on_start;

    // Inspection.
    bool running(unsigned channel) const { return channels_[channel].running; }
    bool done(unsigned channel) const { return channels_[channel].done; }
    bool enabled(unsigned channel) const { return channels_[channel].enable; }
    bool interrupt_pending(unsigned channel) const { return channels_[channel].interrupt; }
    unsigned starts(unsigned channel) const { return channels_[channel].starts; }
    unsigned aborts(unsigned channel) const { return channels_[channel].aborts; }
    unsigned soft_resets() const { return soft_resets_; }
    bool in_reset() const { return stored(kCntrl) & kCntrlSoftReset; }

protected:
    uint32_t read_register(uint32_t reg, uint32_t lanes) override;
    void write_register(uint32_t reg, uint32_t value, uint32_t lanes) override;

private:
    struct Channel {
        bool enable = false;
        bool running = false;
        bool aborting = false;
        bool done = true; // an idle channel reports done
        bool interrupt = false;
        ReadCountdown abortDone;
        unsigned starts = 0, aborts = 0;
    };
    uint8_t read_csr(unsigned channel);
    void write_csr(unsigned channel, uint8_t command);
    void reset_channels();
    static uint32_t ModeReg(unsigned channel) { return channel == 0 ? kDmaMode0 : kDmaMode1; }
    static uint32_t DprReg(unsigned channel) { return channel == 0 ? kDmaDpr0 : kDmaDpr1; }

    Channel channels_[kChannels];
    unsigned soft_resets_ = 0;
};

} // namespace qorsim::models
