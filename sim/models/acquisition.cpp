#include "models/acquisition.h"

#include <cmath>

namespace qorsim::models {

uint64_t SignalSource::sample(uint64_t n, unsigned sampleBytes) const
{
    if (pattern == Pattern::Sequence || period == 0)
        return n;
    const double full = sampleBytes >= 8 ? 18446744073709551615.0 : std::ldexp(1.0, 8 * int(sampleBytes)) - 1;
    const double mid = std::floor(full / 2);
    const double amp = std::fmin(amplitude, mid);
    const double phase = double(n % period) / period; // 0 <= phase < 1
    double unit = 0;                                  // -1 to 1
    switch (pattern) {
    case Pattern::Sine: unit = std::sin(2 * M_PI * phase); break;
    case Pattern::Square: unit = phase < 0.5 ? 1 : -1; break;
    case Pattern::Triangle: unit = phase < 0.5 ? 4 * phase - 1 : 3 - 4 * phase; break;
    case Pattern::Sequence: break;
    }
    return static_cast<uint64_t>(std::llround(mid + amp * unit));
}

void SignalSource::fill(uint8_t *out, uint32_t bytes, unsigned sampleBytes)
{
    for (uint32_t i = 0; i + sampleBytes <= bytes; i += sampleBytes, ++next_) {
        const uint64_t value = sample(next_, sampleBytes);
        for (unsigned b = 0; b < sampleBytes; ++b)
            out[i + b] = static_cast<uint8_t>(value >> (8 * b));
    }
}

AcquisitionCard::AcquisitionCard(uint32_t base, unsigned sampleBytes) : base_(base), sample_bytes_(sampleBytes)
{
    if (base_ != 0)
        machine().ports.claim(base_, chip.length(), &chip, "s5933");
    chip.on_transfer_enabled = [this](S5933::Direction direction, uint32_t address, uint32_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_[static_cast<int>(direction)] = Pending{address, count};
    };
}

AcquisitionCard::~AcquisitionCard()
{
    if (base_ != 0)
        machine().ports.release(&chip);
}

bool AcquisitionCard::transfer_pending(Direction direction) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_[static_cast<int>(direction)].has_value();
}

bool AcquisitionCard::run_transfer(Direction direction)
{
    Pending transfer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<Pending> &pending = pending_[static_cast<int>(direction)];
        if (!pending || !chip.transfer_enabled(direction))
            return false;
        transfer = *pending;
        pending.reset();
    }
    bool ok;
    if (direction == Direction::Input) {
        staging_.resize(transfer.count);
        source.fill(staging_.data(), transfer.count, sample_bytes_);
        ok = machine().memory.dma_write(transfer.address, staging_.data(), transfer.count);
    } else {
        const size_t at = played_.size();
        played_.resize(at + transfer.count);
        ok = machine().memory.dma_read(transfer.address, played_.data() + at, transfer.count);
    }
    if (!ok) {
        chip.raise(S5933::kIntMasterAbortFlag); // no memory answered the bus master
        return false;
    }
    ++transfers_;
    bytes_ += transfer.count;
    if (direction == Direction::Input && on_input)
        on_input(staging_.data(), transfer.count);
    chip.complete_transfer(direction);
    if (chip.interrupt_asserted() && interrupt) {
        const KIRQL old = current_irql();
        set_current_irql(device_irql);
        interrupt();
        set_current_irql(old);
    }
    return true;
}

} // namespace qorsim::models
