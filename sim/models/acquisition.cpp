#include "models/acquisition.h"

namespace qorsim::models {

void SignalSource::fill(uint8_t *out, uint32_t bytes, unsigned sampleBytes)
{
    for (uint32_t i = 0; i + sampleBytes <= bytes; i += sampleBytes, ++next_)
        for (unsigned b = 0; b < sampleBytes; ++b)
            out[i + b] = static_cast<uint8_t>(next_ >> (8 * b));
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
