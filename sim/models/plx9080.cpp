#include "models/plx9080.h"

namespace qorsim::models {

namespace {
constexpr unsigned LaneShift(unsigned channel) { return 8 * channel; }
} // namespace

void Plx9080::finish(unsigned channel)
{
    Channel &c = channels_[channel];
    if (!c.running)
        return;
    c.running = false;
    c.aborting = false;
    c.done = true;
    if (!(stored(ModeReg(channel)) & kModeDoneInterrupt))
        return;
    c.interrupt = true;
    const uint32_t intcsr = stored(kIntcsr);
    if (interrupt && (intcsr & kIntPciEnable) && (intcsr & (kIntDma0Enable << channel)))
        interrupt();
}

void Plx9080::reset_channels()
{
    for (Channel &c : channels_) {
        c.enable = c.running = c.aborting = c.interrupt = false;
        c.done = true;
    }
}

uint8_t Plx9080::read_csr(unsigned channel)
{
    Channel &c = channels_[channel];
    if (c.aborting && c.abortDone.poll()) {
        c.aborting = c.running = false;
        c.done = true;
    }
    return static_cast<uint8_t>((c.enable ? kCsrEnable : 0) | (c.done ? kCsrDone : 0));
}

void Plx9080::write_csr(unsigned channel, uint8_t command)
{
    Channel &c = channels_[channel];
    c.enable = command & kCsrEnable;
    if ((command & kCsrStart) && c.enable && !c.running) {
        c.running = true;
        c.done = false;
        ++c.starts;
        if (on_start)
            on_start(channel, stored(DprReg(channel)), stored(ModeReg(channel)));
        if (local_bus_ != nullptr && (stored(ModeReg(channel)) & kModeScatterGather)) {
            walk_chain(channel, stored(DprReg(channel)));
            finish(channel);
        }
    }
    if ((command & kCsrAbort) && !c.enable && c.running && !c.aborting) {
        c.aborting = true;
        ++c.aborts;
    }
    if (command & kCsrClearInterrupt)
        c.interrupt = false;
}

uint32_t Plx9080::read_register(uint32_t reg, uint32_t lanes)
{
    switch (reg) {
    case kDmaCsr: {
        uint32_t value = 0;
        for (unsigned ch = 0; ch < kChannels; ++ch)
            if (lanes & (kByteLane << LaneShift(ch)))
                value |= static_cast<uint32_t>(read_csr(ch)) << LaneShift(ch);
        return value;
    }
    case kIntcsr:
        return (stored(kIntcsr) & ~(kIntDma0Active | kIntDma1Active | kIntLocalInputActive))
               | (channels_[0].interrupt ? kIntDma0Active : 0) | (channels_[1].interrupt ? kIntDma1Active : 0)
               | (local_input_ ? kIntLocalInputActive : 0);
    default: return stored(reg);
    }
}

void Plx9080::write_register(uint32_t reg, uint32_t value, uint32_t lanes)
{
    switch (reg) {
    case kDmaCsr:
        for (unsigned ch = 0; ch < kChannels; ++ch)
            if (lanes & (kByteLane << LaneShift(ch)))
                write_csr(ch, static_cast<uint8_t>(value >> LaneShift(ch)));
        break;
    case kIntcsr: store(kIntcsr, value, lanes, kIntDma0Active | kIntDma1Active | kIntLocalInputActive); break;
    case kCntrl: {
        const bool wasInReset = in_reset();
        store(kCntrl, value, lanes);
        if (!wasInReset && in_reset()) {
            ++soft_resets_;
            reset_channels();
        }
        break;
    }
    default: store(reg, value, lanes); break;
    }
}

// ---- scatter-gather chain walking ---------------------------------------------------------
void Plx9080::walk_chain(unsigned channel, uint32_t dmadpr)
{
    constexpr uint32_t kAddressMask = ~0xFu;
    constexpr uint32_t kSizeMask = 0x7FFFFF; // transfer size: 23 bits
    Walk &walk = walks_[channel];
    walk = Walk{};
    PhysicalMemory &memory = machine().memory;
    uint32_t at = dmadpr & kAddressMask;
    while (true) {
        if (walk.descriptors == kMaxDescriptors) {
            walk.error = "chain longer than the walk allows";
            return;
        }
        uint32_t d[4];
        if (!memory.dma_read(at, d, sizeof d)) {
            walk.error = "descriptor outside RAM";
            return;
        }
        ++walk.descriptors;
        const uint32_t pci = d[0], size = d[2] & kSizeMask, next = d[3];
        const uint32_t local = d[1];
        staging_.resize(size);
        const bool input = (next & kDescLocalToPci) != 0;
        if (input) {
            local_bus_->read(local, staging_.data(), size);
            if (!memory.dma_write(pci, staging_.data(), size)) {
                walk.error = "transfer outside RAM";
                return;
            }
        } else {
            if (!memory.dma_read(pci, staging_.data(), size)) {
                walk.error = "transfer outside RAM";
                return;
            }
            local_bus_->write(local, staging_.data(), size);
        }
        walk.bytes += size;
        if (next & kDescEndOfChain)
            return;
        at = next & kAddressMask;
    }
}

} // namespace qorsim::models
