#include "models/acquisition.h"

#include "virtual_time.h"

#include <cmath>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qorsim::models {

uint64_t SignalSource::periodic(uint64_t n, unsigned sampleBytes) const
{
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
    if (pattern != Pattern::Sequence && period != 0) {
        for (uint32_t i = 0; i + sampleBytes <= bytes; i += sampleBytes, ++next_) {
            const uint64_t value = periodic(next_, sampleBytes);
            for (unsigned b = 0; b < sampleBytes; ++b)
                out[i + b] = static_cast<uint8_t>(value >> (8 * b));
        }
        return;
    }
    if (sampleBytes == 2) {
        fill16(out, bytes / 2);
        return;
    }
    for (uint32_t i = 0; i + sampleBytes <= bytes; i += sampleBytes, ++next_)
        for (unsigned b = 0; b < sampleBytes; ++b)
            out[i + b] = static_cast<uint8_t>(next_ >> (8 * b));
}

namespace {
void Store16(uint8_t *out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}
} // namespace

#if defined(__i386__) || defined(__x86_64__)
namespace {
// Where the processor has AVX2 and the host system saves its registers: sixteen samples
// a 256-bit vector, four vectors a pass. The 16-bit lanes wrap as the sequence does, so
// no run needs cutting at a wrap. Returns the samples written (whole passes).
__attribute__((target("avx2"))) uint32_t Fill16Wide(uint8_t *out, uint32_t samples, uint16_t first)
{
    const __m256i step = _mm256_set1_epi16(16);
    __m256i a = _mm256_add_epi16(_mm256_set1_epi16(static_cast<short>(first)),
                                 _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    __m256i b = _mm256_add_epi16(a, step);
    __m256i c = _mm256_add_epi16(b, step);
    __m256i d = _mm256_add_epi16(c, step);
    const __m256i pass = _mm256_set1_epi16(64);
    uint32_t i = 0;
    for (; samples - i >= 64; i += 64) {
        auto *at = reinterpret_cast<__m256i *>(out + 2 * i);
        _mm256_storeu_si256(at, a);
        _mm256_storeu_si256(at + 1, b);
        _mm256_storeu_si256(at + 2, c);
        _mm256_storeu_si256(at + 3, d);
        a = _mm256_add_epi16(a, pass);
        b = _mm256_add_epi16(b, pass);
        c = _mm256_add_epi16(c, pass);
        d = _mm256_add_epi16(d, pass);
    }
    return i;
}
} // namespace
#endif

// Sixteen-bit samples are the card's common case and the bulk of a long acquisition.
// Without AVX2 (and after the last whole vector pass) they are written as 32-bit words of
// two samples, eight words a pass. Within a run of words the low sample does not wrap, so
// both halves of a word step by 2 without a carry between them; each run starts from the
// sequence afresh.
void SignalSource::fill16(uint8_t *out, uint32_t samples)
{
    uint32_t i = 0;
#if defined(__i386__) || defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
        i = Fill16Wide(out, samples, static_cast<uint16_t>(next_));
        next_ += i;
    }
#endif
    for (; i < samples && (reinterpret_cast<uintptr_t>(out + 2 * i) & 3) != 0; ++i, ++next_)
        Store16(out + 2 * i, static_cast<uint16_t>(next_));
    constexpr uint32_t kStep = 0x00020002u; // both samples of a word advance by two
    while (samples - i >= 2) {
        const uint32_t low = static_cast<uint16_t>(next_);
        uint32_t pairs = (samples - i) / 2;
        const uint32_t unwrapped = (0x10000u - low) / 2; // pairs before the low sample wraps
        if (pairs > unwrapped)
            pairs = unwrapped == 0 ? 1 : unwrapped;
        uint32_t word = low | (static_cast<uint32_t>(static_cast<uint16_t>(low + 1)) << 16);
        auto *w = reinterpret_cast<uint32_t *>(out + 2 * i);
        uint32_t p = 0;
        for (; p + 8 <= pairs; p += 8, word += 8 * kStep) {
            w[p] = word;
            w[p + 1] = word + kStep;
            w[p + 2] = word + 2 * kStep;
            w[p + 3] = word + 3 * kStep;
            w[p + 4] = word + 4 * kStep;
            w[p + 5] = word + 5 * kStep;
            w[p + 6] = word + 6 * kStep;
            w[p + 7] = word + 7 * kStep;
        }
        for (; p < pairs; ++p, word += kStep)
            w[p] = word;
        i += 2 * pairs;
        next_ += 2 * pairs;
    }
    for (; i < samples; ++i, ++next_)
        Store16(out + 2 * i, static_cast<uint16_t>(next_));
}

AcquisitionCard::AcquisitionCard(uint32_t base, unsigned sampleBytes) : base_(base), sample_bytes_(sampleBytes)
{
    if (base_ != 0)
        machine().ports.claim(base_, chip.length(), &chip, "s5933");
    chip.on_transfer_enabled = [this](S5933::Direction direction, uint32_t address, uint32_t count) {
        uint64_t due = virtual_time().now_ns();
        if (sample_rate_hz != 0 && sample_bytes_ != 0)
            due += (uint64_t(count / sample_bytes_) * 1000000000u + sample_rate_hz - 1) / sample_rate_hz;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_[static_cast<int>(direction)] = Pending{address, count, due};
        }
        virtual_time().poke();
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

uint64_t AcquisitionCard::due_ns(Direction direction) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<Pending> &pending = pending_[static_cast<int>(direction)];
    // A transfer stopped before it was due never comes due.
    return pending && chip.transfer_enabled(direction) ? pending->due_ns : kNotDue;
}

bool AcquisitionCard::run_transfer(Direction direction)
{
    Pending transfer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<Pending> &pending = pending_[static_cast<int>(direction)];
        if (!pending)
            return false;
        if (!chip.transfer_enabled(direction)) {
            pending.reset(); // stopped before it was due: nothing moves
            return false;
        }
        transfer = *pending;
        pending.reset();
    }
    bool ok;
    if (direction == Direction::Input) {
        // The bus master writes the samples straight into the simulated RAM.
        PhysicalMemory &memory = machine().memory;
        ok = uint64_t(transfer.address) + transfer.count <= memory.size();
        if (ok && transfer.count != 0)
            source.fill(memory.phys_to_kernel(transfer.address), transfer.count, sample_bytes_);
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
    if (direction == Direction::Input && on_input && transfer.count != 0)
        on_input(machine().memory.phys_to_kernel(transfer.address), transfer.count);
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
