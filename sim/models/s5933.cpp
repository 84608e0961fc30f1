#include "models/s5933.h"

namespace qorsim::models {

bool S5933::transfer_enabled(Direction direction) const
{
    return stored(kMcsr) & (direction == Direction::Input ? kMcsrWriteEnable : kMcsrReadEnable);
}

bool S5933::interrupt_asserted() const
{
    // Each flag asserts the interrupt only while its source is enabled; the aborts always do.
    const uint32_t intcsr = stored(kIntcsr);
    uint32_t enabled = kIntMasterAbortFlag | kIntTargetAbortFlag;
    if (intcsr & kIntOutMailboxEnable)
        enabled |= kIntOutMailboxFlag;
    if (intcsr & kIntInMailboxEnable)
        enabled |= kIntInMailboxFlag;
    if (intcsr & kIntWriteCompleteEnable)
        enabled |= kIntWriteCompleteFlag;
    if (intcsr & kIntReadCompleteEnable)
        enabled |= kIntReadCompleteFlag;
    return (intcsr & enabled) != 0;
}

void S5933::raise(uint32_t flags) { set_stored(kIntcsr, stored(kIntcsr) | (flags & kIntPendingFlags)); }

void S5933::complete_transfer(Direction direction)
{
    if (direction == Direction::Input) {
        set_stored(kMwtc, 0);
        raise(kIntWriteCompleteFlag);
    } else {
        set_stored(kMrtc, 0);
        raise(kIntReadCompleteFlag);
    }
}

uint32_t S5933::pop_in_fifo()
{
    ++fifo_reads_;
    if (endless_)
        return next_endless_++;
    if (in_fifo_.empty())
        return 0; // reading an empty FIFO returns stale data on the chip; 0 here
    const uint32_t dword = in_fifo_.front();
    in_fifo_.pop_front();
    return dword;
}

uint32_t S5933::mcsr_status(bool poll)
{
    uint32_t status = 0;
    if (poll ? out_empty_.poll() : out_empty_.is_set())
        status |= kMcsrOutFifoEmpty;
    const size_t queued = endless_ ? kInFifoDepth : in_fifo_.size();
    if (queued == 0)
        status |= kMcsrInFifoEmpty;
    if (queued >= 4)
        status |= kMcsrInFifoFourPlus;
    if (queued >= kInFifoDepth)
        status |= kMcsrInFifoFull;
    return status;
}

uint32_t S5933::read_register(uint32_t reg, uint32_t lanes)
{
    switch (reg) {
    case kFifo: return pop_in_fifo();
    case kIntcsr: return (stored(kIntcsr) & ~kIntAsserted) | (interrupt_asserted() ? kIntAsserted : 0);
    case kMcsr: return (stored(kMcsr) & ~kMcsrStatus) | mcsr_status((lanes & kMcsrStatus) != 0);
    default: return stored(reg);
    }
}

void S5933::write_mcsr(uint32_t value, uint32_t lanes)
{
    store(kMcsr, value, lanes, kMcsrStatus | kMcsrCommands);
    const uint32_t commands = value & lanes & kMcsrCommands;
    if (commands & kMcsrOutFifoReset) {
        ++out_fifo_resets_;
        out_empty_.set_now();
    }
    if (commands & kMcsrInFifoReset) {
        ++in_fifo_resets_;
        in_fifo_.clear();
        endless_ = false;
    }
    if (commands & kMcsrMailboxReset) {
        ++mailbox_resets_;
        set_stored(kMbef, 0);
    }
    // Writing an enable bit as 1 (re)starts that direction from its address and count,
    // also when the bit was already set from the transfer before.
    const uint32_t enabling = value & lanes & stored(kMcsr);
    if (on_transfer_enabled) {
        if (enabling & kMcsrWriteEnable)
            on_transfer_enabled(Direction::Input, stored(kMwar), stored(kMwtc));
        if (enabling & kMcsrReadEnable)
            on_transfer_enabled(Direction::Output, stored(kMrar), stored(kMrtc));
    }
}

void S5933::write_register(uint32_t reg, uint32_t value, uint32_t lanes)
{
    switch (reg) {
    case kFifo: break; // the host side of the add-on-to-PCI FIFO is read only
    case kIntcsr: {
        const uint32_t acknowledged = value & lanes & kIntPendingFlags;
        store(kIntcsr, value, lanes, kIntPendingFlags | kIntAsserted);
        set_stored(kIntcsr, stored(kIntcsr) & ~acknowledged);
        break;
    }
    case kMcsr: write_mcsr(value, lanes); break;
    default: store(reg, value, lanes); break;
    }
}

} // namespace qorsim::models
