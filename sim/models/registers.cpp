#include "models/registers.h"

namespace qorsim::models {

namespace {
constexpr uint32_t WidthMask(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }
} // namespace

uint32_t RegisterBlock::read(uint32_t offset, unsigned width)
{
    const unsigned shift = 8 * (offset & 3);
    if ((offset & 3) + width > 4) {
        uint32_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value |= read(offset + i, 1) << (8 * i);
        return value;
    }
    const uint32_t lanes = WidthMask(width) << shift;
    return (read_register(offset & ~3u, lanes) & lanes) >> shift;
}

void RegisterBlock::write(uint32_t offset, unsigned width, uint32_t value)
{
    const unsigned shift = 8 * (offset & 3);
    if ((offset & 3) + width > 4) {
        for (unsigned i = 0; i < width; ++i)
            write(offset + i, 1, (value >> (8 * i)) & kByteLane);
        return;
    }
    const uint32_t lanes = WidthMask(width) << shift;
    write_register(offset & ~3u, (value << shift) & lanes, lanes);
}

uint32_t RegisterBlock::read_register(uint32_t reg, uint32_t) { return stored(reg); }

void RegisterBlock::write_register(uint32_t reg, uint32_t value, uint32_t lanes) { store(reg, value, lanes); }

void RegisterBlock::store(uint32_t reg, uint32_t value, uint32_t lanes, uint32_t readOnly)
{
    const uint32_t changed = lanes & ~readOnly;
    set_stored(reg, (stored(reg) & ~changed) | (value & changed));
}

} // namespace qorsim::models
