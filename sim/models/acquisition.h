// A data-acquisition card on an S5933 bridge: the add-on side produces samples from a
// signal source whose samples carry a running sequence number, so a reader can prove
// that none was lost or duplicated. An enabled input transfer is run by the card when
// the scenario says so: the samples go by bus-master writes into simulated physical
// memory at the programmed address, the count runs down to 0, the completion flag is
// set and, when the chip's interrupt is asserted, the card's interrupt line fires.
// With a sample rate the card is free-running: an armed transfer is due, in virtual time,
// when the card has taken its samples (a CardRunner runs it then).
#pragma once

#include "models/plx9080.h"
#include "models/s5933.h"

#include <functional>
#include <optional>

namespace qorsim::models {

// A card whose add-on logic works at its own pace in virtual time: a CardRunner moves
// time on to next_due_ns (UINT64_MAX: nothing due) and calls run_due, which does what
// was due then (a transfer runs, a FIFO reaches its level) and may interrupt.
class PacedCard {
public:
    virtual ~PacedCard() = default;
    virtual uint64_t next_due_ns() = 0;
    virtual bool run_due() = 0; // false: nothing was due after all
};

class SignalSource {
public:
    // Sequence: each sample is its running number (a reader proves that none was lost).
    // The periodic patterns swing `amplitude` around mid-scale with `period` samples per
    // cycle, as a signal generator on the card's input would.
    enum class Pattern { Sequence, Sine, Square, Triangle };

    // Writes `bytes` of samples, each `sampleBytes` wide, little-endian (16-bit sequence
    // numbers: two at a time in 32-bit words).
    void fill(uint8_t *out, uint32_t bytes, unsigned sampleBytes);
    uint64_t produced() const { return next_; }
    // Samples made and thrown away (a FIFO that drops what meets it full).
    void skip(uint64_t samples) { next_ += samples; }
    void reset() { next_ = 0; }

    Pattern pattern = Pattern::Sequence;
    uint32_t period = 256;
    uint32_t amplitude = 0x7FFF;

private:
    void fill16(uint8_t *out, uint32_t samples);
    uint64_t periodic(uint64_t n, unsigned sampleBytes) const;
    uint64_t next_ = 0;
};

// The local bus of a card on a PLX 9080: a FIFO at a constant local address that a DMA
// channel empties (input: the source's samples) or fills (output: kept in played()).
class SampleFifo : public Plx9080::LocalBus {
public:
    explicit SampleFifo(unsigned sampleBytes = 2) : sample_bytes_(sampleBytes) {}
    void read(uint32_t, uint8_t *data, uint32_t bytes) override { source.fill(data, bytes, sample_bytes_); }
    void write(uint32_t, const uint8_t *data, uint32_t bytes) override { played_.insert(played_.end(), data, data + bytes); }
    const std::vector<uint8_t> &played() const { return played_; }

    SignalSource source;

private:
    unsigned sample_bytes_;
    std::vector<uint8_t> played_;
};

class AcquisitionCard : public PacedCard {
public:
    // base: the port base the chip claims; 0 when a PCI function's BAR claims it.
    explicit AcquisitionCard(uint32_t base, unsigned sampleBytes = 2);
    ~AcquisitionCard();
    AcquisitionCard(const AcquisitionCard &) = delete;
    AcquisitionCard &operator=(const AcquisitionCard &) = delete;

    S5933 chip;
    SignalSource source;
    // The card's interrupt line, as the interrupt connection wires it: called at device
    // IRQL on the thread that runs the card.
    std::function<void()> interrupt;
    KIRQL device_irql = 12;
    // Samples per second of virtual time; 0: an armed transfer is due at once.
    uint32_t sample_rate_hz = 0;
    // Called with the samples of each input transfer after they reached memory, before
    // the completion interrupt: an observer (a recorder, a plot) sees the data as sent.
    std::function<void(const uint8_t *data, uint32_t bytes)> on_input;
    static constexpr uint64_t kNotDue = UINT64_MAX;

    using Direction = S5933::Direction;

    // A transfer in that direction is enabled and has not run yet.
    bool transfer_pending(Direction direction = Direction::Input) const;
    // Virtual time (VirtualTime::now_ns) at which the armed transfer in that direction has
    // all its samples: armed time + its samples at the sample rate; kNotDue when none.
    uint64_t due_ns(Direction direction = Direction::Input) const;
    // Runs it to its end: an input transfer writes samples into memory, an output transfer
    // reads memory into the card (kept in played()). False when none is pending or its
    // memory lies outside RAM.
    bool run_transfer(Direction direction = Direction::Input);
    uint64_t transfers() const { return transfers_; }
    // Paced by a CardRunner: the input transfer.
    uint64_t next_due_ns() override { return due_ns(Direction::Input); }
    bool run_due() override { return run_transfer(Direction::Input); }
    uint64_t bytes_moved() const { return bytes_; }
    const std::vector<uint8_t> &played() const { return played_; }

private:
    struct Pending {
        uint32_t address, count;
        uint64_t due_ns;
    };
    mutable std::mutex mutex_;
    std::optional<Pending> pending_[2];
    std::vector<uint8_t> played_;
    uint32_t base_;
    unsigned sample_bytes_;
    uint64_t transfers_ = 0, bytes_ = 0;
};

} // namespace qorsim::models
