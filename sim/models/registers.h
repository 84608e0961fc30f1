// Building blocks of the register-level card models: a block of 32-bit registers that
// byte, word and dword accesses reach lane by lane, and a status bit that turns on after
// a set number of reads of its register (or never), for the chips' bounded polls.
#pragma once

#include "qorsim.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace qorsim::models {

class ReadCountdown {
public:
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

    // The first `reads` polls see the status clear, the next one sees it set.
    void set_after(uint64_t reads) { remaining_ = reads; }
    void set_never() { remaining_ = kNever; }
    void set_now() { remaining_ = 0; }
    bool poll()
    {
        if (remaining_ == 0)
            return true;
        if (remaining_ != kNever)
            --remaining_;
        return false;
    }
    bool is_set() const { return remaining_ == 0; }

private:
    uint64_t remaining_ = 0;
};

// Registers are 32 bits wide at dword offsets. An access of width 1, 2 or 4 within one
// dword reaches read_register/write_register with `lanes` holding 0xFF in each byte it
// covers; an access that straddles two dwords is split into byte accesses.
class RegisterBlock : public PortDevice {
public:
    explicit RegisterBlock(uint32_t length) : regs_((length + 3) / 4, 0), length_(length) {}
    uint32_t length() const { return length_; }

    uint32_t read(uint32_t offset, unsigned width) final;
    void write(uint32_t offset, unsigned width, uint32_t value) final;

    // The stored dword, without the side effects of a bus access.
    uint32_t stored(uint32_t reg) const { return reg / 4 < regs_.size() ? regs_[reg / 4] : 0; }
    void set_stored(uint32_t reg, uint32_t value)
    {
        if (reg / 4 < regs_.size())
            regs_[reg / 4] = value;
    }

protected:
    virtual uint32_t read_register(uint32_t reg, uint32_t lanes);
    virtual void write_register(uint32_t reg, uint32_t value, uint32_t lanes);
    // Merges the covered lanes of `value` into the stored register, keeping `readOnly` bits.
    void store(uint32_t reg, uint32_t value, uint32_t lanes, uint32_t readOnly = 0);

    static constexpr uint32_t kByteLane = 0xFF;

private:
    std::vector<uint32_t> regs_;
    uint32_t length_;
};

} // namespace qorsim::models
