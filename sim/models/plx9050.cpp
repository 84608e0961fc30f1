#include "models/plx9050.h"

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
    return (stored(kIntcsr) & kIntcsrWritable) | (lint_asserted_[0] ? kLint1Status : 0)
           | (lint_asserted_[1] ? kLint2Status : 0);
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
    case kIntcsr: store(kIntcsr, value, lanes, ~kIntcsrWritable); break;
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

} // namespace qorsim::models
