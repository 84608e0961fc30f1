#include "models/fpga_port.h"

namespace qorsim::models {

namespace {
constexpr uint32_t kControlLanes = 0xFFFF;
constexpr uint32_t kDataMask = 0xFF;
} // namespace

void FpgaPort::hold()
{
    held_ = true;
    ++holds_;
    complete_ = false;
    rejected_ = false;
    busy_.set_now();
    startup_.set_never();
}

void FpgaPort::release()
{
    held_ = false;
    attempts_.emplace_back();
}

void FpgaPort::receive(uint8_t byte)
{
    std::vector<uint8_t> &bytes = attempts_.back();
    bytes.push_back(byte);
    const uint64_t n = bytes.size();
    if (n == error_after_)
        rejected_ = true;
    if (n == complete_after_)
        complete_ = true;
    if (n == done_byte_ && done_reads_ != 0)
        startup_.set_after(done_reads_ - 1);
    if (busy_reads_ == kNever)
        busy_.set_never();
    else
        busy_.set_after(busy_reads_);
}

bool FpgaPort::ready() const
{
    if (held_)
        return ready_while_held_;
    return ready_after_release_ && !rejected_;
}

uint32_t FpgaPort::read_register(uint32_t reg, uint32_t)
{
    if (reg != 0)
        return 0xFFFFFFFFu; // nothing else decodes in the range
    ++status_reads_;
    const bool busy = !busy_.poll();
    const bool startupDone = startup_.poll();
    uint32_t status = unused_bits_;
    if (ready())
        status |= kReady;
    if (complete_)
        status |= kComplete | kDone;
    else if (startupDone)
        status |= kDone;
    if (busy)
        status |= kBusy;
    return status;
}

void FpgaPort::write_register(uint32_t reg, uint32_t value, uint32_t lanes)
{
    if (reg != 0 || (lanes & kControlLanes) != kControlLanes) {
        ++ignored_writes_;
        return;
    }
    if (value & kProgramLine)
        hold();
    else if (held_)
        release();
    else if (attempts_.empty() || !ready())
        ++ignored_writes_; // no configuration reset yet, or not ready: the FPGA takes no data
    else
        receive(static_cast<uint8_t>(value & kDataMask));
}

} // namespace qorsim::models
