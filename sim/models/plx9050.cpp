#include "models/plx9050.h"

#include "virtual_time.h"

#include <algorithm>

namespace qorsim::models {

void Plx9050::set_lint_asserted(unsigned line, bool asserted)
{
    if (line == 1 || line == 2)
        lint_asserted_[line - 1] = asserted;
}

void Plx9050::set_pin_input(unsigned pin, bool high)
{
    if (pin < kPins)
        pin_input_[pin] = high;
}

bool Plx9050::pin_is_output(unsigned pin) const
{
    const uint32_t field = stored(kCntrl) >> PinShift(pin);
    return pin < kPins && (field & kPinGpio) && (field & kPinOutput);
}

bool Plx9050::pin_level(unsigned pin) const
{
    if (pin >= kPins)
        return false;
    if (pin_is_output(pin))
        return (stored(kCntrl) >> PinShift(pin)) & kPinData;
    return pin_input_[pin];
}

uint32_t Plx9050::read_intcsr() const
{
    return (stored(kIntcsr) & kIntcsrWritable) | (lint_asserted_[0] || driven_[0] ? kLint1Status : 0)
           | (lint_asserted_[1] || driven_[1] ? kLint2Status : 0);
}

void Plx9050::drive_local_input(unsigned line, bool active)
{
    if (line == 1 || line == 2) {
        driven_[line - 1] = active;
        update_interrupt();
    }
}

bool Plx9050::interrupt_asserted() const
{
    const uint32_t intcsr = stored(kIntcsr);
    return (intcsr & kPciIntEnable)
           && ((driven_[0] && (intcsr & kLint1Enable)) || (driven_[1] && (intcsr & kLint2Enable)));
}

void Plx9050::update_interrupt()
{
    const bool now = interrupt_asserted();
    if (!now || level_.exchange(true)) {
        level_ = now;
        return;
    }
    ++raised_;
    if (interrupt)
        interrupt();
    if (interrupt_asserted())
        ++left_asserted_; // on a PC the line would interrupt again at once, for good
    level_ = interrupt_asserted();
}

uint32_t Plx9050::read_cntrl() const
{
    uint32_t value = stored(kCntrl);
    for (unsigned pin = 0; pin < kPins; ++pin) {
        const uint32_t data = kPinData << PinShift(pin);
        value = (value & ~data) | (pin_level(pin) ? data : 0);
    }
    return value;
}

uint32_t Plx9050::read_register(uint32_t reg, uint32_t lanes)
{
    switch (reg) {
    case kIntcsr: return read_intcsr();
    case kCntrl: return read_cntrl();
    default: return RegisterBlock::read_register(reg, lanes);
    }
}

void Plx9050::write_register(uint32_t reg, uint32_t value, uint32_t lanes)
{
    switch (reg) {
    case kIntcsr:
        store(kIntcsr, value, lanes, ~kIntcsrWritable);
        update_interrupt();
        break;
    case kCntrl: {
        const bool wasInReset = local_bus_in_reset();
        store(kCntrl, value, lanes);
        if (!wasInReset && local_bus_in_reset())
            ++soft_resets_;
        break;
    }
    default: store(reg, value, lanes); break;
    }
}

// ---- the add-on FIFO ------------------------------------------------------------------------

Plx9050Fifo::Plx9050Fifo(Plx9050 &bridge, uint32_t length, uint32_t depth, uint32_t level, uint32_t rateHz)
    : RegisterBlock(length), bridge_(bridge), ring_(depth == 0 ? 1 : depth > kMaxDepth ? kMaxDepth : depth),
      level_(level > ring_.size() ? static_cast<uint32_t>(ring_.size()) : level), rate_hz_(rateHz == 0 ? 1 : rateHz)
{
}

uint64_t Plx9050Fifo::time_of_sample(uint64_t n) const
{
    // The pacer has made n samples at started + ceil(n * 1e9 / rate), without a 64-bit
    // overflow for any n and rate below 2^32.
    constexpr uint64_t kNsPerSecond = 1000000000;
    const uint64_t whole = n / rate_hz_, rest = n % rate_hz_;
    return started_ns_ + whole * kNsPerSecond + (rest * kNsPerSecond + rate_hz_ - 1) / rate_hz_;
}

void Plx9050Fifo::catch_up()
{
    if (!(stored(kCsr) & kCsrRun))
        return;
    constexpr uint64_t kNsPerSecond = 1000000000;
    const uint64_t elapsed = virtual_time().now_ns() - started_ns_;
    const uint64_t due = elapsed / kNsPerSecond * rate_hz_ + elapsed % kNsPerSecond * rate_hz_ / kNsPerSecond;
    uint8_t sample[2];
    for (; made_ < due && count_ < ring_.size(); ++made_) {
        source.fill(sample, 2, 2);
        ring_[(head_ + count_++) % ring_.size()] = static_cast<uint16_t>(sample[0] | sample[1] << 8);
    }
    if (made_ < due) { // the rest met a full FIFO: dropped, however long nobody read
        const uint64_t gone = due - made_;
        source.skip(gone);
        overflow_ = true;
        lost_ = gone > UINT32_MAX - lost_ ? UINT32_MAX : lost_ + static_cast<uint32_t>(gone);
        dropped_ += gone;
        made_ = due;
    }
}

uint16_t Plx9050Fifo::pop()
{
    if (count_ == 0) {
        ++underruns_;
        return 0xFFFF;
    }
    const uint16_t sample = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return sample;
}

uint32_t Plx9050Fifo::fill()
{
    std::lock_guard<std::mutex> lock(mutex_);
    catch_up();
    return count_;
}

uint64_t Plx9050Fifo::next_due_ns()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!(stored(kCsr) & kCsrRun))
        return AcquisitionCard::kNotDue;
    catch_up();
    uint64_t needed;
    if (level_ != 0 && count_ < level_)
        needed = level_ - count_; // LINTi1 turns active
    else if (!overflow_)
        needed = ring_.size() - count_ + 1; // LINTi2 turns active
    else
        return AcquisitionCard::kNotDue;
    return time_of_sample(made_ + needed);
}

bool Plx9050Fifo::run_due()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        catch_up();
    }
    update_inputs();
    return true;
}

void Plx9050Fifo::update_inputs()
{
    bool atLevel, overflow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        atLevel = level_ != 0 && count_ >= level_;
        overflow = overflow_;
    }
    // Outside the lock: the interrupt routine this may call reads the FIFO's registers.
    bridge_.drive_local_input(1, atLevel);
    bridge_.drive_local_input(2, overflow);
}

uint32_t Plx9050Fifo::read_register(uint32_t reg, uint32_t lanes)
{
    uint32_t value;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        catch_up();
        switch (reg) {
        case kData:
            value = 0;
            if (lanes & 0x0000FFFFu)
                value |= pop();
            if (lanes & 0xFFFF0000u)
                value |= static_cast<uint32_t>(pop()) << 16;
            break;
        case kFill: value = count_ | level_ << 16; break;
        case kCsr:
            value = (stored(kCsr) & kCsrRun) | (level_ != 0 && count_ >= level_ ? kCsrAtLevel : 0)
                    | (overflow_ ? kCsrOverflow : 0) | (count_ == 0 ? kCsrEmpty : 0);
            break;
        case kLost: value = lost_; break;
        case kDepth: value = static_cast<uint32_t>(ring_.size()); break;
        default: return RegisterBlock::read_register(reg, lanes);
        }
    }
    update_inputs(); // reading below the level drops LINTi1; the pacer may have reached it
    return value;
}

void Plx9050Fifo::write_register(uint32_t reg, uint32_t value, uint32_t lanes)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        catch_up();
        switch (reg) {
        case kFill:
            if (lanes & 0xFFFF0000u)
                level_ = std::min<uint32_t>(value >> 16, static_cast<uint32_t>(ring_.size()));
            break;
        case kCsr:
            if (lanes & 0xFFu) {
                const bool run = value & kCsrRun, wasRunning = stored(kCsr) & kCsrRun;
                if (run && !wasRunning) {
                    started_ns_ = virtual_time().now_ns();
                    made_ = 0;
                }
                set_stored(kCsr, run ? kCsrRun : 0);
                if (value & kCsrOverflow) {
                    overflow_ = false;
                    lost_ = 0;
                }
            }
            break;
        case kData:
        case kLost:
        case kDepth: break; // read only
        default: store(reg, value, lanes); break;
        }
    }
    update_inputs();
    if (reg == kCsr)
        virtual_time().poke(); // the pacer started or stopped: the card runner looks again
}

} // namespace qorsim::models
