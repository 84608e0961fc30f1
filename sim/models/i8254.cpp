#include "models/i8254.h"

namespace qorsim::models {

namespace {

constexpr unsigned kControlRegister = 3;
constexpr unsigned kSelectShift = 6;
constexpr unsigned kAccessShift = 4;
constexpr uint8_t kAccessMask = 3;
constexpr unsigned kModeShift = 1;
constexpr uint8_t kModeMask = 7;
constexpr uint8_t kBcd = 1;
constexpr uint8_t kReadBack = 3;
constexpr uint8_t kFloating = 0xFF;

// The counting element's range: 0 stands for 2^16 in binary and 10^4 in BCD.
uint32_t ToNumber(uint16_t count, bool bcd)
{
    if (!bcd)
        return count;
    return (count >> 12 & 0xF) * 1000 + (count >> 8 & 0xF) * 100 + (count >> 4 & 0xF) * 10 + (count & 0xF);
}

uint16_t FromNumber(uint32_t n, bool bcd)
{
    if (!bcd)
        return static_cast<uint16_t>(n);
    n %= 10000;
    return static_cast<uint16_t>((n / 1000) << 12 | (n / 100 % 10) << 8 | (n / 10 % 10) << 4 | (n % 10));
}

} // namespace

void I8254::clock(unsigned counter, uint32_t pulses)
{
    Counter &c = counters_[counter];
    if (!c.loaded)
        return;
    const uint32_t range = c.bcd ? 10000 : 0x10000;
    const bool periodic = c.mode == 2 || c.mode == 3;
    uint32_t now = ToNumber(c.count, c.bcd);
    uint32_t period = ToNumber(c.initial, c.bcd);
    if (period == 0)
        period = range;
    if (periodic) {
        if (now == 0)
            now = period;
        pulses %= period;
        now = now > pulses ? now - pulses : now + period - pulses;
        c.count = FromNumber(now == period ? c.initial : now, c.bcd);
    } else {
        c.count = FromNumber((now + range - pulses % range) % range, c.bcd);
    }
}

void I8254::load(Counter &c, uint16_t count)
{
    c.initial = count;
    c.count = count;
    c.loaded = true;
    ++c.loads;
}

void I8254::control(uint8_t word)
{
    ++control_words_;
    const uint8_t select = word >> kSelectShift;
    if (select == kReadBack) {
        ++readback_commands_;
        return;
    }
    Counter &c = counters_[select];
    const auto access = static_cast<Access>((word >> kAccessShift) & kAccessMask);
    if (access == kLatch) {
        ++latch_commands_;
        if (!c.latched) { // a second latch before the first is read is ignored
            c.latched = true;
            c.latch = c.count;
        }
        return;
    }
    c.access = access;
    uint8_t mode = (word >> kModeShift) & kModeMask;
    if (mode > 5)
        mode -= 4; // 6 and 7 are aliases of 2 and 3
    c.mode = mode;
    c.bcd = word & kBcd;
    c.loaded = false; // a new control word stops the counter until a count is written
    c.writeHigh = c.readHigh = c.latched = false;
}

uint8_t I8254::read_counter(Counter &c)
{
    const uint16_t value = c.latched ? c.latch : c.count;
    uint8_t byte;
    bool finished = true;
    switch (c.access) {
    case kHighOnly: byte = static_cast<uint8_t>(value >> 8); break;
    case kLowThenHigh:
        byte = static_cast<uint8_t>(c.readHigh ? value >> 8 : value);
        finished = c.readHigh;
        c.readHigh = !c.readHigh;
        break;
    default: byte = static_cast<uint8_t>(value); break;
    }
    if (finished)
        c.latched = false;
    return byte;
}

void I8254::write_counter(Counter &c, uint8_t byte)
{
    switch (c.access) {
    case kLowOnly: load(c, byte); break;
    case kHighOnly: load(c, static_cast<uint16_t>(byte << 8)); break;
    default:
        if (c.writeHigh)
            load(c, static_cast<uint16_t>(c.lowWritten | byte << 8));
        else
            c.lowWritten = byte;
        c.writeHigh = !c.writeHigh;
        break;
    }
}

uint32_t I8254::read(uint32_t offset, unsigned)
{
    const uint32_t reg = offset / spacing_;
    if (offset % spacing_ != 0 || reg >= kControlRegister)
        return kFloating; // the control register cannot be read
    return read_counter(counters_[reg]);
}

void I8254::write(uint32_t offset, unsigned, uint32_t value)
{
    if (offset % spacing_ != 0)
        return;
    const uint32_t reg = offset / spacing_;
    const auto byte = static_cast<uint8_t>(value);
    if (reg == kControlRegister)
        control(byte);
    else if (reg < kCounters)
        write_counter(counters_[reg], byte);
}

} // namespace qorsim::models
