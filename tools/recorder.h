// What a run shows in pictures: the samples the cards sent and a timeline of the halves
// they filled, the interrupts they raised and the DPCs that ran, in virtual time; and the
// SVG that draws them (`--plot FILE.svg`, or .png through a converter on the PATH).
#pragma once

#include "machine_file.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qortool {

struct TimelineEvent {
    enum class Kind { Half, Interrupt, Dpc } kind;
    uint64_t time_ns;
    std::string card;
};

class Recorder {
public:
    static constexpr size_t kMaxSamples = 1 << 18; // kept for the picture; later ones are counted only

    // Wires the observers of the built machine's acquisition cards and the DPC queue.
    void attach(const qorsim::BuiltMachine &built);
    void detach(const qorsim::BuiltMachine &built);
    // An event a scenario observes itself, at the current virtual time.
    void note(TimelineEvent::Kind kind, const std::string &card);
    // Draws the timeline as one lane per card (its label, as events name it, and a title)
    // instead of one row per kind of event.
    void set_lanes(std::vector<std::pair<std::string, std::string>> lanes) { lanes_ = std::move(lanes); }
    const std::vector<std::pair<std::string, std::string>> &lanes() const { return lanes_; }

    std::vector<TimelineEvent> events() const;
    std::vector<int64_t> samples() const; // the first card's that sent any
    std::string sample_card() const;
    double rate() const { return rate_; }
    unsigned sample_bits() const { return sample_bytes_ * 8; }
    uint64_t samples_seen() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lanes_;
    std::vector<TimelineEvent> events_;
    std::vector<int64_t> samples_;
    std::string sample_card_;
    uint64_t seen_ = 0;
    double rate_ = 1e6;
    unsigned sample_bytes_ = 2;
};

// How events name a card: "bus:device.function".
std::string card_label(const qorsim::CardSpec &card);

// Writes the picture; .svg directly, .png by converting the SVG with rsvg-convert or
// ImageMagick. False with *error set when the file cannot be written or converted.
// The waveform shows the first `samples` samples (0: all that were kept).
bool write_plot(const Recorder &recorder, const std::string &path, const std::string &title, size_t samples,
                std::string *error);
std::string render_svg(const Recorder &recorder, const std::string &title, size_t samples);

} // namespace qortool
