#include "recorder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qortool {

std::string card_label(const qorsim::CardSpec &c)
{
    char text[24];
    std::snprintf(text, sizeof text, "%lu:%02lu.%lu", static_cast<unsigned long>(c.bus), static_cast<unsigned long>(c.device),
                  static_cast<unsigned long>(c.function));
    return text;
}

void Recorder::attach(const qorsim::BuiltMachine &built)
{
    for (const qorsim::BuiltMachine::Card &c : built.cards()) {
        if (c.acquisition == nullptr)
            continue;
        const std::string label = card_label(*c.desc);
        const unsigned width = c.desc->source.sample_bytes;
        const double rate = c.desc->source.rate;
        c.acquisition->on_input = [this, label, width, rate](const uint8_t *data, uint32_t bytes) {
            note(TimelineEvent::Kind::Half, label);
            std::lock_guard<std::mutex> lock(mutex_);
            if (sample_card_.empty()) {
                sample_card_ = label;
                sample_bytes_ = width;
                rate_ = rate;
            }
            if (sample_card_ != label)
                return;
            for (uint32_t i = 0; i + width <= bytes; i += width) {
                ++seen_;
                if (samples_.size() >= kMaxSamples)
                    continue;
                uint64_t v = 0;
                for (unsigned b = 0; b < width; ++b)
                    v |= uint64_t(data[i + b]) << (8 * b);
                samples_.push_back(static_cast<int64_t>(v));
            }
        };
        std::function<void()> line = c.acquisition->interrupt;
        if (line)
            c.acquisition->interrupt = [this, label, line] {
                note(TimelineEvent::Kind::Interrupt, label);
                line();
            };
    }
    qorsim::machine().dpcs.observe([this](PKDPC) { note(TimelineEvent::Kind::Dpc, ""); });
}

void Recorder::detach(const qorsim::BuiltMachine &built)
{
    qorsim::machine().dpcs.observe(nullptr);
    for (const qorsim::BuiltMachine::Card &c : built.cards())
        if (c.acquisition != nullptr)
            c.acquisition->on_input = nullptr;
}

void Recorder::note(TimelineEvent::Kind kind, const std::string &card)
{
    const uint64_t now = qorsim::machine().clock.now_ns();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(TimelineEvent{kind, now, card});
}

std::vector<TimelineEvent> Recorder::events() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<int64_t> Recorder::samples() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

std::string Recorder::sample_card() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sample_card_;
}

uint64_t Recorder::samples_seen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

// ---- the picture ---------------------------------------------------------------------------
namespace {

std::string escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string num(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// A readable time: 12.5 us, 3.2 ms, 1.05 s.
std::string time_text(double seconds)
{
    char text[32];
    if (seconds < 1e-3)
        std::snprintf(text, sizeof text, "%.4g us", seconds * 1e6);
    else if (seconds < 1)
        std::snprintf(text, sizeof text, "%.4g ms", seconds * 1e3);
    else
        std::snprintf(text, sizeof text, "%.4g s", seconds);
    return text;
}

} // namespace

std::string render_svg(const Recorder &recorder, const std::string &title, size_t shown)
{
    const double width = 1000, left = 70, right = 20, plotWidth = width - left - right;
    const double waveTop = 50, waveHeight = 260, timelineTop = waveTop + waveHeight + 70, rowHeight = 36;
    const std::vector<std::pair<std::string, std::string>> &lanes = recorder.lanes();
    const int rowCount = lanes.empty() ? 3 : static_cast<int>(lanes.size());
    const double height = timelineTop + rowCount * rowHeight + 60;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg << "<text x=\"" << left << "\" y=\"24\" font-size=\"16\">" << escape(title) << "</text>\n";

    // The waveform: min and max of the samples in each pixel column.
    std::vector<int64_t> samples = recorder.samples();
    if (shown != 0 && samples.size() > shown)
        samples.resize(shown);
    svg << "<text x=\"" << left << "\" y=\"" << waveTop - 8 << "\">acquired waveform"
        << (recorder.sample_card().empty() ? std::string(": no samples") : ", card " + escape(recorder.sample_card()))
        << "</text>\n";
    svg << "<rect x=\"" << left << "\" y=\"" << waveTop << "\" width=\"" << plotWidth << "\" height=\"" << waveHeight
        << "\" fill=\"none\" stroke=\"#888\"/>\n";
    if (!samples.empty()) {
        const double full = std::ldexp(1.0, int(recorder.sample_bits())) - 1;
        const size_t columns = static_cast<size_t>(plotWidth);
        std::ostringstream path;
        for (size_t col = 0; col < columns; ++col) {
            const size_t from = col * samples.size() / columns, to = std::max(from + 1, (col + 1) * samples.size() / columns);
            if (from >= samples.size())
                break;
            int64_t lo = samples[from], hi = samples[from];
            for (size_t i = from; i < to && i < samples.size(); ++i) {
                lo = std::min(lo, samples[i]);
                hi = std::max(hi, samples[i]);
            }
            const double x = left + col, yLo = waveTop + waveHeight * (1 - lo / full), yHi = waveTop + waveHeight * (1 - hi / full);
            path << (col == 0 ? "M" : "L") << num(x) << " " << num(yLo) << " L" << num(x) << " " << num(yHi) << " ";
        }
        svg << "<path d=\"" << path.str() << "\" fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1\"/>\n";
        const double seconds = samples.size() / recorder.rate();
        svg << "<text x=\"" << left << "\" y=\"" << waveTop + waveHeight + 16 << "\">0</text>\n";
        svg << "<text x=\"" << left + plotWidth << "\" y=\"" << waveTop + waveHeight + 16 << "\" text-anchor=\"end\">"
            << time_text(seconds) << " (" << samples.size() << " samples at " << static_cast<uint64_t>(recorder.rate()) << "/s)</text>\n";
        svg << "<text x=\"" << left - 6 << "\" y=\"" << waveTop + 10 << "\" text-anchor=\"end\">" << static_cast<uint64_t>(full)
            << "</text>\n";
        svg << "<text x=\"" << left - 6 << "\" y=\"" << waveTop + waveHeight << "\" text-anchor=\"end\">0</text>\n";
    }

    // The timeline: one row each for halves, interrupts and DPCs, in virtual time.
    const std::vector<TimelineEvent> events = recorder.events();
    uint64_t first = 0, last = 1;
    if (!events.empty()) {
        first = events.front().time_ns;
        last = first + 1;
        for (const TimelineEvent &e : events) {
            first = std::min(first, e.time_ns);
            last = std::max(last, e.time_ns);
        }
    }
    const double span = static_cast<double>(last - first);
    svg << "<text x=\"" << left << "\" y=\"" << timelineTop - 12 << "\">timeline (virtual time, " << events.size()
        << " events)</text>\n";
    static const char *rows[] = {"halves", "interrupts", "DPCs"};
    static const char *colours[] = {"#2a9d3a", "#d0402b", "#7a3fb0"};
    for (int row = 0; row < rowCount; ++row) {
        const double y = timelineTop + row * rowHeight;
        const std::string name = lanes.empty() ? rows[row] : lanes[row].second;
        svg << "<text x=\"" << left - 6 << "\" y=\"" << y + rowHeight / 2 + 4 << "\" text-anchor=\"end\">" << escape(name)
            << "</text>\n";
        svg << "<line x1=\"" << left << "\" y1=\"" << y + rowHeight - 4 << "\" x2=\"" << left + plotWidth << "\" y2=\""
            << y + rowHeight - 4 << "\" stroke=\"#ccc\"/>\n";
        // A row per kind: full-height ticks. A lane per card: its data blocks full height,
        // its interrupts in the upper half and its DPCs in the lower half, by colour.
        for (int kind = 0; kind < 3; ++kind) {
            if (lanes.empty() && kind != row)
                continue;
            const double top = lanes.empty() || kind == 0 ? y + 4 : kind == 1 ? y + 4 : y + rowHeight / 2;
            const double bottom = lanes.empty() || kind != 1 ? y + rowHeight - 4 : y + rowHeight / 2;
            std::ostringstream ticks;
            for (const TimelineEvent &e : events) {
                if (static_cast<int>(e.kind) != kind || (!lanes.empty() && e.card != lanes[row].first))
                    continue;
                const double x = left + plotWidth * (e.time_ns - first) / span;
                ticks << "M" << num(x) << " " << num(top) << " V" << num(bottom) << " ";
            }
            svg << "<path d=\"" << ticks.str() << "\" stroke=\"" << colours[kind] << "\" stroke-width=\"1\"/>\n";
        }
    }
    const double axisY = timelineTop + rowCount * rowHeight + 16;
    if (!lanes.empty())
        svg << "<text x=\"" << left + plotWidth / 2 << "\" y=\"" << axisY << "\" text-anchor=\"middle\">"
            << "green: data blocks, red: interrupts, purple: DPCs</text>\n";
    svg << "<text x=\"" << left << "\" y=\"" << axisY << "\">" << time_text(first / 1e9) << "</text>\n";
    svg << "<text x=\"" << left + plotWidth << "\" y=\"" << axisY << "\" text-anchor=\"end\">" << time_text(last / 1e9)
        << "</text>\n";
    svg << "</svg>\n";
    return svg.str();
}

bool write_plot(const Recorder &recorder, const std::string &path, const std::string &title, size_t samples,
                std::string *error)
{
    auto endsWith = [&](const char *suffix) {
        const size_t n = std::strlen(suffix);
        return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
    };
    const bool png = endsWith(".png");
    if (!png && !endsWith(".svg")) {
        *error = path + ": the picture is written as .svg or .png";
        return false;
    }
    const std::string svgPath = png ? path + ".svg" : path;
    {
        std::ofstream out(svgPath, std::ios::binary);
        out << render_svg(recorder, title, samples);
        if (!out) {
            *error = svgPath + ": cannot write the file";
            return false;
        }
    }
    if (!png)
        return true;
    // The converters are tried in turn; each runs only if it is installed.
    if (path.find('\'') != std::string::npos) {
        std::remove(svgPath.c_str());
        *error = path + ": a PNG path may not contain a quote";
        return false;
    }
    const std::string quotedIn = "'" + svgPath + "'", quotedOut = "'" + path + "'";
    const std::string commands[] = {
        "command -v rsvg-convert >/dev/null 2>&1 && rsvg-convert -o " + quotedOut + " " + quotedIn,
        "command -v convert >/dev/null 2>&1 && convert " + quotedIn + " " + quotedOut,
    };
    bool converted = false;
    for (const std::string &c : commands)
        if (!converted && std::system(c.c_str()) == 0)
            converted = true;
    std::remove(svgPath.c_str());
    if (!converted) {
        *error = path + ": no SVG converter found (install librsvg2-bin or imagemagick), or the conversion failed";
        return false;
    }
    return true;
}

} // namespace qortool
