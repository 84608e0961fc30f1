// PLX PCI 9080 bridge: the local configuration registers and the command and status
// semantics of its two DMA channels. DMACSR (one byte per channel at 0xA8 and 0xA9):
// bit 0 enable is kept; bit 1 start starts an enabled idle channel; bit 2 abort stops a
// running channel whose enable is clear, and the channel reports done once the abort
// takes effect (at once, after k reads of its DMACSR, or never, as a test sets it); bit 3
// clears the channel's interrupt; bit 4 done is read only. Start, abort and clear read
// back as 0. INTCSR bits 21 and 22 show the channels' pending interrupts, bit 15 the local
// interrupt input (LINTi#) the card's logic drives (set_local_input). Setting CNTRL
// bit 30 (byte 0x6F bit 6) resets the chip's local side: both channels stop and report
// done, their interrupts clear. A start calls on_start with the channel's DMADPR and
// DMAMODE; without a local bus attached a test ends the transfer with finish, with one
// attached the channel walks its scatter-gather chain (below). A channel interrupt that
// becomes pending while INTCSR lets it through (PCI interrupt enable, bit 8, and the
// channel's enable, bit 18 or 19) drives the card's interrupt line.
#pragma once

#include "models/registers.h"

#include <functional>
#include <string>
#include <vector>

namespace qorsim::models {

class Plx9080 : public RegisterBlock {
public:
    static constexpr uint32_t kLength = 0x100;
    static constexpr uint32_t kIntcsr = 0x68, kCntrl = 0x6C;
    static constexpr uint32_t kDmaMode0 = 0x80, kDmaDpr0 = 0x90, kDmaMode1 = 0x94, kDmaDpr1 = 0xA4;
    static constexpr uint32_t kDmaCsr = 0xA8, kDmaThr = 0xB0;
    static constexpr unsigned kChannels = 2;

    static constexpr uint32_t kIntDma0Active = 1u << 21, kIntDma1Active = 1u << 22;
    static constexpr uint32_t kIntPciEnable = 1u << 8, kIntDma0Enable = 1u << 18;
    static constexpr uint32_t kIntLocalInputEnable = 1u << 11, kIntLocalInputActive = 1u << 15;
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
    // The card's interrupt line, as the interrupt connection wires it.
    std::function<void()> interrupt;
    // The card's logic drives the local interrupt input (LINTi#): INTCSR bit 15 (read only)
    // shows it whether or not bit 11 enables it. The test raises the line itself.
    void set_local_input(bool active) { local_input_ = active; }

    // ---- scatter-gather chain walking ----
    // The card's local bus as a DMA channel sees it: the source of an input transfer
    // (local bus to PCI) and the sink of an output one. Each call carries one
    // descriptor's local address and byte count; the bus decides what the address means
    // (a FIFO at a constant address, as the card's configuration has it, or memory).
    class LocalBus {
    public:
        virtual ~LocalBus() = default;
        virtual void read(uint32_t address, uint8_t *data, uint32_t bytes) = 0;
        virtual void write(uint32_t address, const uint8_t *data, uint32_t bytes) = 0;
    };
    // With a local bus attached, starting a channel in scatter-gather mode (DMAMODE bit
    // 9) walks its descriptor chain at once: each 16-byte descriptor is read from host
    // memory at the address in DMADPR (then in the previous descriptor's next pointer),
    // its bytes move between the local bus and host memory in the direction of its bit
    // 3, and the walk ends after the descriptor with the end-of-chain bit (bit 1); the
    // channel then reports done and, with the done interrupt enabled, interrupts. A
    // descriptor outside RAM or a chain longer than kMaxDescriptors ends the walk with an
    // error instead (the channel still reports done).
    void attach_local_bus(LocalBus *bus) { local_bus_ = bus; }
    static constexpr uint32_t kModeScatterGather = 1u << 9;
    static constexpr uint32_t kDescEndOfChain = 1u << 1, kDescLocalToPci = 1u << 3;
    static constexpr uint32_t kMaxDescriptors = 1u << 22;
    struct Walk {
        uint32_t descriptors = 0; // descriptors read
        uint64_t bytes = 0;       // bytes moved
        std::string error;        // empty when the chain ended at its end-of-chain bit
    };
    const Walk &last_walk(unsigned channel) const { return walks_[channel]; }

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
    bool local_input_ = false;
    // ---- scatter-gather chain walking ----
    void walk_chain(unsigned channel, uint32_t dmadpr);
    LocalBus *local_bus_ = nullptr;
    Walk walks_[kChannels];
    std::vector<uint8_t> staging_;
};

} // namespace qorsim::models
