// Sizes of files above 2 GB in a 32-bit program, so that a huge file is refused by its
// size rather than failing to open.
#define _FILE_OFFSET_BITS 64
#include "machine_file.h"

#include "models/plx9050.h"
#include "models/plx9080.h"
#include "models/i8254.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace qorsim {

namespace {

using nlohmann::json;

// ---- positions of the values while the JSON is read ----------------------------------------
// The library's DOM keeps no positions; a SAX pass over an iterator that publishes how far
// the lexer has read gives each value's line, by its path ("cards[2].bridge").

struct CountingIterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;

    const char *at;
    const char **furthest;
    reference operator*() const { return *at; }
    CountingIterator &operator++()
    {
        ++at;
        if (at > *furthest)
            *furthest = at;
        return *this;
    }
    CountingIterator operator++(int)
    {
        CountingIterator old = *this;
        ++*this;
        return old;
    }
    bool operator==(const CountingIterator &o) const { return at == o.at; }
    bool operator!=(const CountingIterator &o) const { return at != o.at; }
};

class PositionedParser {
public:
    PositionedParser(json &root, const char *begin, const char **furthest)
        : dom_(root, false), begin_(begin), counted_(begin), furthest_(furthest)
    {
    }

    bool null() { return note(), dom_.null(); }
    bool boolean(bool v) { return note(), dom_.boolean(v); }
    bool number_integer(json::number_integer_t v) { return note(), dom_.number_integer(v); }
    bool number_unsigned(json::number_unsigned_t v) { return note(), dom_.number_unsigned(v); }
    bool number_float(json::number_float_t v, const std::string &s) { return note(), dom_.number_float(v, s); }
    bool string(std::string &v) { return note(), dom_.string(v); }
    bool binary(json::binary_t &v) { return note(), dom_.binary(v); }
    bool start_object(std::size_t n)
    {
        note();
        if (!nest())
            return false;
        frames_.push_back(Frame{true, "", 0, {}});
        return dom_.start_object(n);
    }
    bool key(std::string &k)
    {
        // The JSON library keeps the last of two equal keys; a machine file that says two
        // things about one field is refused instead, as a misspelt field is.
        Frame &f = frames_.back();
        if (!f.keys.insert(k).second) {
            f.key = k;
            error_ = std::to_string(line_now()) + ": " + path() + ": given twice in the same object";
            return false;
        }
        f.key = k;
        return dom_.key(k);
    }
    bool end_object()
    {
        frames_.pop_back();
        return dom_.end_object();
    }
    bool start_array(std::size_t n)
    {
        note();
        if (!nest())
            return false;
        frames_.push_back(Frame{false, "", 0, {}});
        return dom_.start_array(n);
    }
    bool end_array()
    {
        frames_.pop_back();
        return dom_.end_array();
    }
    bool parse_error(std::size_t position, const std::string &token, const nlohmann::detail::exception &e)
    {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: syntax error ..."
        std::string what = e.what();
        const size_t at = what.find("parse error at line ");
        if (at != std::string::npos) {
            const size_t colon = what.find(": ", at);
            const std::string where = what.substr(at + 20, colon - at - 20); // "3, column 5"
            const size_t comma = where.find(", column ");
            error_ = comma == std::string::npos ? where : where.substr(0, comma) + ": column " + where.substr(comma + 9);
            error_ += ": " + (colon == std::string::npos ? what : what.substr(colon + 2));
        } else {
            error_ = "1: " + what;
        }
        return dom_.parse_error(position, token, e);
    }

    const std::string &error() const { return error_; }
    const std::map<std::string, int> &lines() const { return lines_; }

    // A machine file is a few levels deep (cards[].bars[].io); a deeper one is no machine
    // file, and refusing it early keeps the paths below short.
    static constexpr size_t kMaxDepth = 16;

private:
    struct Frame {
        bool object;
        std::string key;
        size_t index;
        std::set<std::string> keys; // objects: the keys seen so far
    };
    bool nest()
    {
        if (frames_.size() < kMaxDepth)
            return true;
        error_ = std::to_string(line_now()) + ": " + (path().empty() ? "" : path() + ": ") + "nested deeper than " +
                 std::to_string(kMaxDepth) + " levels";
        return false;
    }
    int line_now()
    {
        // The lexer has read one character past the start of the value at most; lines are
        // counted on from where the last value was, so the whole file is read once.
        const char *end = *furthest_ > begin_ ? *furthest_ - 1 : begin_;
        for (; counted_ < end; ++counted_)
            line_ += *counted_ == '\n';
        return line_;
    }
    std::string path() const
    {
        std::string p;
        for (const Frame &f : frames_) {
            if (f.object)
                p += (p.empty() ? "" : ".") + f.key;
            else
                p += "[" + std::to_string(f.index - 1) + "]";
        }
        return p;
    }
    void note()
    {
        // An array frame counts the elements begun; values nested in the current element
        // see its index as count - 1.
        if (!frames_.empty() && !frames_.back().object)
            ++frames_.back().index;
        lines_.emplace(path(), line_now());
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    const char *begin_;
    const char *counted_; // lines are counted up to here
    int line_ = 1;
    const char **furthest_;
    std::vector<Frame> frames_;
    std::map<std::string, int> lines_;
    std::string error_;
};

// ---- the schema ---------------------------------------------------------------------------
struct SchemaError {
    std::string path, message;
};

class Reader {
public:
    explicit Reader(const std::map<std::string, int> &lines) : lines_(lines) {}

    [[noreturn]] void fail(const std::string &path, const std::string &message) const
    {
        throw SchemaError{path, message};
    }
    int line_of(const std::string &path) const
    {
        // The value itself, else the closest enclosing one that has a position.
        std::string p = path;
        for (;;) {
            auto it = lines_.find(p);
            if (it != lines_.end())
                return it->second;
            const size_t cut = p.find_last_of(".[");
            if (cut == std::string::npos)
                return lines_.count("") ? lines_.at("") : 1;
            p = p.substr(0, cut);
        }
    }

    static std::string at(const std::string &path, const std::string &key)
    {
        return path.empty() ? key : path + "." + key;
    }
    static std::string at(const std::string &path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

    // Refuses fields other than the allowed ones: a misspelt field is an error, not a
    // silently ignored setting.
    void only(const json &object, const std::string &path, std::initializer_list<const char *> allowed) const
    {
        if (!object.is_object())
            fail(path, "expected an object");
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool known = false;
            std::string names;
            for (const char *a : allowed) {
                known = known || it.key() == a;
                names += std::string(names.empty() ? "" : ", ") + a;
            }
            if (!known)
                fail(at(path, it.key()), "unknown field (known: " + names + ")");
        }
    }

    uint64_t number(const json &v, const std::string &path, uint64_t max) const
    {
        uint64_t n = 0;
        if (v.is_number_unsigned()) {
            n = v.get<uint64_t>();
        } else if (v.is_number_integer()) {
            fail(path, "expected a number from 0 to " + std::to_string(max));
        } else if (v.is_string()) {
            const std::string s = v.get<std::string>();
            char *end = nullptr;
            errno = 0;
            n = std::strtoull(s.c_str(), &end, 0);
            if (s.empty() || *end != '\0' || errno != 0 || s[0] == '-')
                fail(path, "expected a number (decimal, or hex as \"0x...\"), got \"" + s + "\"");
        } else {
            fail(path, "expected a number");
        }
        if (n > max)
            fail(path, "out of range: " + std::to_string(n) + " is above " + std::to_string(max));
        return n;
    }
    uint64_t number(const json &object, const std::string &path, const char *key, uint64_t max,
                    std::optional<uint64_t> fallback = std::nullopt) const
    {
        if (!object.contains(key)) {
            if (!fallback)
                fail(at(path, key), "missing");
            return *fallback;
        }
        return number(object.at(key), at(path, key), max);
    }
    std::string text(const json &object, const std::string &path, const char *key,
                      std::optional<std::string> fallback = std::nullopt) const
    {
        if (!object.contains(key)) {
            if (!fallback)
                fail(at(path, key), "missing");
            return *fallback;
        }
        if (!object.at(key).is_string())
            fail(at(path, key), "expected a string");
        return object.at(key).get<std::string>();
    }
    bool flag(const json &object, const std::string &path, const char *key, bool fallback) const
    {
        if (!object.contains(key))
            return fallback;
        if (!object.at(key).is_boolean())
            fail(at(path, key), "expected true or false");
        return object.at(key).get<bool>();
    }
    std::string choice(const json &object, const std::string &path, const char *key,
                       std::initializer_list<const char *> choices, const char *fallback) const
    {
        const std::string v = text(object, path, key, fallback ? std::optional<std::string>(fallback) : std::nullopt);
        std::string names;
        for (const char *c : choices) {
            if (v == c)
                return v;
            names += std::string(names.empty() ? "" : ", ") + c;
        }
        fail(at(path, key), "expected one of " + names + ", got \"" + v + "\"");
    }
    const json &array(const json &object, const std::string &path, const char *key) const
    {
        static const json empty = json::array();
        if (!object.contains(key))
            return empty;
        if (!object.at(key).is_array())
            fail(at(path, key), "expected an array");
        return object.at(key);
    }

private:
    const std::map<std::string, int> &lines_;
};

const std::map<std::string, Fault> &fault_kinds()
{
    static const std::map<std::string, Fault> kinds = {
        {"contiguous_memory", Fault::ContiguousMemory},
        {"open_section", Fault::OpenSection},
        {"reference_object", Fault::ReferenceObject},
        {"map_view", Fault::MapView},
        {"create_event", Fault::CreateEvent},
        {"create_device", Fault::CreateDevice},
        {"create_symbolic_link", Fault::CreateSymbolicLink},
        {"assign_slot_resources", Fault::AssignSlotResources},
        {"translate_bus_address", Fault::TranslateBusAddress},
        {"interrupt_vector", Fault::InterruptVector},
        {"connect_interrupt", Fault::ConnectInterrupt},
        {"open_file", Fault::OpenFile},
        {"query_file", Fault::QueryFile},
        {"read_file", Fault::ReadFile},
        {"allocate_mdl", Fault::AllocateMdl},
        {"probe_and_lock", Fault::ProbeAndLock},
    };
    return kinds;
}

bool is_power_of_two(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

void read_card(const Reader &r, const json &c, const std::string &path, CardSpec &card)
{
    r.only(c, path, {"name", "bus", "device", "function", "vendor_id", "device_id", "subsystem_vendor_id",
                     "subsystem_id", "multifunction", "bridge", "bars", "interrupt", "fpga", "source", "fifo"});
    card.line = r.line_of(path);
    card.name = r.text(c, path, "name", "");
    card.bus = static_cast<ULONG>(r.number(c, path, "bus", 255));
    card.device = static_cast<ULONG>(r.number(c, path, "device", 31));
    card.function = static_cast<ULONG>(r.number(c, path, "function", 7, 0));
    card.vendor_id = static_cast<USHORT>(r.number(c, path, "vendor_id", 0xFFFE));
    card.device_id = static_cast<USHORT>(r.number(c, path, "device_id", 0xFFFF));
    if (c.contains("subsystem_vendor_id"))
        card.subsystem_vendor_id = static_cast<USHORT>(r.number(c, path, "subsystem_vendor_id", 0xFFFF));
    if (c.contains("subsystem_id"))
        card.subsystem_id = static_cast<USHORT>(r.number(c, path, "subsystem_id", 0xFFFF));
    card.multifunction = r.flag(c, path, "multifunction", false);
    card.bridge = r.choice(c, path, "bridge", {"s5933", "plx9050", "plx9080", "none"}, "none");
    card.interrupt = static_cast<uint8_t>(r.number(c, path, "interrupt", Interrupts::kMaxLevel, 0));

    const json &bars = r.array(c, path, "bars");
    if (bars.size() > 6)
        r.fail(Reader::at(path, "bars"), "a PCI function has at most 6 base address registers");
    bool bridgeSeen = false;
    for (size_t i = 0; i < bars.size(); ++i) {
        const std::string bp = Reader::at(Reader::at(path, "bars"), i);
        const json &b = bars[i];
        BarSpec &bar = card.bars[i];
        if (b.is_null())
            continue;
        r.only(b, bp, {"io", "memory", "length", "model"});
        if (b.contains("io") == b.contains("memory"))
            r.fail(bp, "give either \"io\" (a port base) or \"memory\" (a memory base)");
        bar.present = true;
        bar.io = b.contains("io");
        bar.base = static_cast<uint32_t>(bar.io ? r.number(b, bp, "io", 0xFFFF) : r.number(b, bp, "memory", 0xFFFFFFFF));
        bar.length = static_cast<uint32_t>(r.number(b, bp, "length", bar.io ? 0x100 : 0x80000000u));
        if (!is_power_of_two(bar.length) || bar.length < 4)
            r.fail(Reader::at(bp, "length"), "expected a power of two of at least 4");
        if (bar.base % bar.length != 0)
            r.fail(Reader::at(bp, bar.io ? "io" : "memory"), "the base must be aligned to the length");
        if (bar.io) {
            bar.model = r.choice(b, bp, "model", {"bridge", "registers", "fpga", "counters", "none"}, "none");
            if (bar.model == "bridge") {
                if (card.bridge == "none")
                    r.fail(Reader::at(bp, "model"), "a bridge range on a card without a bridge chip");
                if (bridgeSeen)
                    r.fail(Reader::at(bp, "model"), "the bridge chip already answers at another range");
                bridgeSeen = true;
                const uint32_t need = card.bridge == "s5933"     ? models::S5933::kLength
                                      : card.bridge == "plx9050" ? models::Plx9050::kLength
                                                                 : models::Plx9080::kLength;
                if (bar.length < need)
                    r.fail(Reader::at(bp, "length"), "the " + card.bridge + " registers need " + std::to_string(need) + " ports");
            }
        } else if (b.contains("model")) {
            r.fail(Reader::at(bp, "model"), "a memory range has no register model");
        }
    }

    if (c.contains("fpga")) {
        const std::string fp = Reader::at(path, "fpga");
        const json &f = c.at("fpga");
        r.only(f, fp, {"complete_after", "error_after", "ready_after_release", "busy_reads"});
        card.fpga.complete_after = r.number(f, fp, "complete_after", UINT32_MAX, 0);
        card.fpga.error_after = r.number(f, fp, "error_after", UINT32_MAX, 0);
        card.fpga.ready_after_release = r.flag(f, fp, "ready_after_release", true);
        card.fpga.busy_reads = r.number(f, fp, "busy_reads", UINT32_MAX, 0);
    }
    if (c.contains("source")) {
        const std::string sp = Reader::at(path, "source");
        const json &s = c.at("source");
        r.only(s, sp, {"rate", "pattern", "period", "amplitude", "sample_bytes"});
        if (card.bridge != "s5933" && card.bridge != "plx9050")
            r.fail(sp, "only an S5933 card and a PLX 9050 card's FIFO have a modelled signal source");
        card.source.rate = static_cast<double>(r.number(s, sp, "rate", 1000000000, 1000000));
        if (card.source.rate == 0)
            r.fail(Reader::at(sp, "rate"), "expected a rate above 0 samples per second");
        const std::string pattern = r.choice(s, sp, "pattern", {"sequence", "sine", "square", "triangle"}, "sequence");
        using P = models::SignalSource::Pattern;
        card.source.pattern = pattern == "sine" ? P::Sine : pattern == "square" ? P::Square
                              : pattern == "triangle" ? P::Triangle : P::Sequence;
        card.source.period = static_cast<uint32_t>(r.number(s, sp, "period", UINT32_MAX, 256));
        if (card.source.period < 2)
            r.fail(Reader::at(sp, "period"), "expected at least 2 samples per period");
        card.source.amplitude = static_cast<uint32_t>(r.number(s, sp, "amplitude", UINT32_MAX, 0x7FFF));
        const uint64_t width = r.number(s, sp, "sample_bytes", 4, 2);
        if (width != 1 && width != 2 && width != 4)
            r.fail(Reader::at(sp, "sample_bytes"), "expected 1, 2 or 4");
        card.source.sample_bytes = static_cast<unsigned>(width);
    }
}

void read_fifo(const Reader &r, const json &c, const std::string &path, CardSpec &card)
{
    if (!c.contains("fifo"))
        return;
    const std::string fp = Reader::at(path, "fifo");
    const json &f = c.at("fifo");
    r.only(f, fp, {"depth", "level"});
    if (card.bridge != "plx9050")
        r.fail(fp, "only a PLX 9050 card has an add-on FIFO");
    card.fifo.present = true;
    card.fifo.depth = static_cast<uint32_t>(r.number(f, fp, "depth", models::Plx9050Fifo::kMaxDepth, 4096));
    if (card.fifo.depth == 0)
        r.fail(Reader::at(fp, "depth"), "expected at least 1 sample");
    card.fifo.level = static_cast<uint32_t>(r.number(f, fp, "level", card.fifo.depth, card.fifo.depth / 4));
    bool hasRegisters = false;
    for (const BarSpec &bar : card.bars)
        hasRegisters = hasRegisters || (bar.present && bar.io && bar.model == "registers");
    if (!hasRegisters)
        r.fail(fp, "the FIFO answers in the card's register range: give the card an I/O range with model \"registers\"");
}

// The folder a machine file's "path" entries are confined to, resolved; empty when the
// machine has no folder (the embedded default).
std::string resolved_directory(const std::string &directory)
{
    if (directory.empty())
        return "";
    char resolved[PATH_MAX];
    return realpath(directory.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

void read_files(const Reader &r, const json &root, const std::string &directory, MachineSpec &desc)
{
    const json &files = r.array(root, "", "files");
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string fp = Reader::at("files", i);
        const json &f = files[i];
        r.only(f, fp, {"name", "size", "start", "step", "hex", "text", "path"});
        FileSpec file;
        file.name = r.text(f, fp, "name");
        if (file.name.empty() || file.name.find_first_of("\\/") != std::string::npos)
            r.fail(Reader::at(fp, "name"), "expected a plain file name (the drivers folder is flat)");
        const int sources = f.contains("size") + f.contains("hex") + f.contains("text") + f.contains("path");
        if (sources != 1)
            r.fail(fp, "give exactly one of \"size\" (with \"start\" and \"step\"), \"hex\", \"text\" or \"path\"");
        if (f.contains("size")) {
            const uint64_t size = r.number(f, fp, "size", kMaxDriverFileBytes);
            const uint64_t start = r.number(f, fp, "start", 255, 0), step = r.number(f, fp, "step", 255, 1);
            file.contents.resize(size);
            for (uint64_t b = 0; b < size; ++b)
                file.contents[b] = static_cast<uint8_t>(b * step + start);
        } else if (f.contains("hex")) {
            std::string hex;
            for (char ch : r.text(f, fp, "hex"))
                if (!std::isspace(static_cast<unsigned char>(ch)))
                    hex += ch;
            if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                r.fail(Reader::at(fp, "hex"), "expected pairs of hex digits");
            for (size_t b = 0; b < hex.size(); b += 2)
                file.contents.push_back(static_cast<uint8_t>(std::stoul(hex.substr(b, 2), nullptr, 16)));
        } else if (f.contains("text")) {
            const std::string t = r.text(f, fp, "text");
            file.contents.assign(t.begin(), t.end());
        } else {
            // Only files beside the machine file or below its folder: a machine file from
            // elsewhere must not carry the host's own files into the simulated machine.
            const std::string p = r.text(f, fp, "path");
            const std::string folder = resolved_directory(directory);
            if (folder.empty())
                r.fail(Reader::at(fp, "path"), "this machine has no folder to read files from");
            if (p.empty() || p[0] == '/')
                r.fail(Reader::at(fp, "path"), "expected a path relative to the machine file's folder");
            char resolved[PATH_MAX];
            const std::string joined = directory + "/" + p;
            if (realpath(joined.c_str(), resolved) == nullptr)
                r.fail(Reader::at(fp, "path"), "cannot read " + joined + ": " + std::strerror(errno));
            const std::string target(resolved);
            if (target.compare(0, folder.size(), folder) != 0 ||
                (target.size() > folder.size() && folder != "/" && target[folder.size()] != '/'))
                r.fail(Reader::at(fp, "path"), "\"" + p + "\" leads out of the machine file's folder");
            std::string bytes, why;
            if (!read_input_file(target, kMaxDriverFileBytes, &bytes, &why))
                r.fail(Reader::at(fp, "path"), why);
            file.contents.assign(bytes.begin(), bytes.end());
        }
        desc.files.push_back(std::move(file));
    }
}

void read_registry(const Reader &r, const json &root, MachineSpec &desc)
{
    if (!root.contains("registry"))
        return;
    const json &keys = root.at("registry");
    if (!keys.is_object())
        r.fail("registry", "expected an object of keys below the driver's service key");
    for (auto k = keys.begin(); k != keys.end(); ++k) {
        const std::string kp = Reader::at("registry", k.key());
        if (!k.value().is_object())
            r.fail(kp, "expected an object of values");
        const std::string key = k.key().empty() ? desc.service_key : desc.service_key + "\\" + k.key();
        for (auto v = k.value().begin(); v != k.value().end(); ++v) {
            RegistryValueSpec value;
            value.key = key;
            value.name = v.key();
            if (v.value().is_string()) {
                value.is_string = true;
                value.text = v.value().get<std::string>();
            } else if (v.value().is_number_unsigned()) {
                value.dword = static_cast<ULONG>(r.number(v.value(), Reader::at(kp, v.key()), 0xFFFFFFFFu));
            } else {
                r.fail(Reader::at(kp, v.key()), "expected a number (REG_DWORD) or a string (REG_SZ)");
            }
            desc.registry.push_back(std::move(value));
        }
    }
}

void read_faults(const Reader &r, const json &root, MachineSpec &desc)
{
    const json &faults = r.array(root, "", "faults");
    for (size_t i = 0; i < faults.size(); ++i) {
        const std::string fp = Reader::at("faults", i);
        const json &f = faults[i];
        r.only(f, fp, {"kind", "nth", "every_after", "status"});
        FaultSpec fault;
        fault.kind = r.text(f, fp, "kind");
        if (fault.kind == "registry_query") {
            fault.status = static_cast<NTSTATUS>(r.number(f, fp, "status", 0xFFFFFFFFu, 0xC000009Au));
            if (fault.status == STATUS_SUCCESS)
                r.fail(Reader::at(fp, "status"), "a failure status, not STATUS_SUCCESS");
        } else {
            if (fault.kind != "pool" && !fault_kinds().count(fault.kind)) {
                std::string names = "pool, registry_query";
                for (const auto &k : fault_kinds())
                    names += ", " + k.first;
                r.fail(Reader::at(fp, "kind"), "expected one of " + names + ", got \"" + fault.kind + "\"");
            }
            if (f.contains("status"))
                r.fail(Reader::at(fp, "status"), "only a registry_query fault takes a status");
            fault.nth = r.number(f, fp, "nth", UINT32_MAX, 1);
            if (fault.nth == 0)
                r.fail(Reader::at(fp, "nth"), "counts from 1 (the first call of the kind)");
            fault.every_after = r.flag(f, fp, "every_after", false);
        }
        desc.faults.push_back(fault);
    }
}

void check_machine(const Reader &r, const MachineSpec &desc)
{
    // One pass over the cards: slots in a set, I/O ranges in a map by base. The ranges kept
    // never overlap, so a new one can only meet the range below its base or the first one
    // at or above it.
    std::map<std::tuple<ULONG, ULONG, ULONG>, size_t> slots;
    struct Range {
        uint32_t end;
        std::string owner;
    };
    std::map<uint32_t, Range> ranges;
    for (size_t i = 0; i < desc.cards.size(); ++i) {
        const CardSpec &c = desc.cards[i];
        const std::string cp = Reader::at("cards", i);
        auto [it, fresh] = slots.emplace(std::make_tuple(c.bus, c.device, c.function), i);
        if (!fresh)
            r.fail(cp, "bus " + std::to_string(c.bus) + " device " + std::to_string(c.device) + " function " +
                           std::to_string(c.function) + " is taken by cards[" + std::to_string(it->second) + "]");
        for (unsigned b = 0; b < 6; ++b) {
            const BarSpec &bar = c.bars[b];
            if (!bar.present || !bar.io)
                continue;
            const std::string bp = Reader::at(Reader::at(cp, "bars"), b);
            const uint32_t end = bar.base + bar.length;
            auto above = ranges.lower_bound(bar.base);
            if (above != ranges.end() && above->first < end)
                r.fail(Reader::at(bp, "io"), "ports overlap those of " + above->second.owner);
            if (above != ranges.begin() && std::prev(above)->second.end > bar.base)
                r.fail(Reader::at(bp, "io"), "ports overlap those of " + std::prev(above)->second.owner);
            ranges.emplace_hint(above, bar.base, Range{end, bp});
        }
    }
}

std::string directory_of(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

bool parse_machine(const std::string &text, const std::string &source, const std::string &directory,
                   MachineSpec *out, std::string *error)
{
    json root;
    const char *furthest = text.data();
    PositionedParser sax(root, text.data(), &furthest);
    CountingIterator first{text.data(), &furthest}, last{text.data() + text.size(), &furthest};
    if (!json::sax_parse(first, last, &sax, json::input_format_t::json, true, true) || root.is_discarded()) {
        *error = source + ":" + (sax.error().empty() ? std::string("1: not a JSON document") : sax.error());
        return false;
    }

    Reader r(sax.lines());
    MachineSpec desc;
    try {
        r.only(root, "", {"name", "description", "driver", "buses", "cards", "registry", "files", "faults"});
        desc.name = r.text(root, "", "name", "");
        desc.description = r.text(root, "", "description", "");
        desc.driver = r.text(root, "", "driver", "acqdrv");
        if (desc.driver.empty() || desc.driver.find_first_of("\\/ ") != std::string::npos)
            r.fail("driver", "expected the driver's service name, as \"acqdrv\"");
        desc.service_key = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + desc.driver;
        const json &buses = r.array(root, "", "buses");
        for (size_t i = 0; i < buses.size(); ++i)
            desc.buses.push_back(static_cast<ULONG>(r.number(buses[i], Reader::at("buses", i), 255)));
        const json &cards = r.array(root, "", "cards");
        for (size_t i = 0; i < cards.size(); ++i) {
            desc.cards.emplace_back();
            read_card(r, cards[i], Reader::at("cards", i), desc.cards.back());
            read_fifo(r, cards[i], Reader::at("cards", i), desc.cards.back());
        }
        check_machine(r, desc);
        read_registry(r, root, desc);
        read_files(r, root, directory, desc);
        read_faults(r, root, desc);
    } catch (const SchemaError &e) {
        *error = source + ":" + std::to_string(r.line_of(e.path)) + ": " + (e.path.empty() ? "" : e.path + ": ") + e.message;
        return false;
    }
    *out = std::move(desc);
    return true;
}

bool read_input_file(const std::string &path, size_t limit, std::string *out, std::string *error)
{
    // Not blocking: a FIFO must be refused, not waited on for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": cannot read the file: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string why;
    if (fstat(fd, &st) != 0)
        why = std::string("cannot read the file: ") + std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = "is a directory, not a file";
    else if (!S_ISREG(st.st_mode))
        why = "is not a regular file (a device, pipe or socket)";
    else if (static_cast<uint64_t>(st.st_size) > limit)
        why = "is " + std::to_string(static_cast<uint64_t>(st.st_size)) + " bytes; at most " + std::to_string(limit) +
              " are read";
    std::string bytes;
    if (why.empty()) {
        // The size may change while the file is read: never more than the limit.
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t have = 0;
        for (;;) {
            if (have == bytes.size())
                bytes.resize(std::min(limit + 1, have + 4096));
            if (have == bytes.size())
                break;
            const ssize_t n = read(fd, bytes.data() + have, bytes.size() - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                why = std::string("cannot read the file: ") + std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            have += static_cast<size_t>(n);
        }
        bytes.resize(have);
        if (why.empty() && have > limit)
            why = "grew past " + std::to_string(limit) + " bytes while it was read";
    }
    close(fd);
    if (!why.empty()) {
        *error = path + ": " + why;
        return false;
    }
    *out = std::move(bytes);
    return true;
}

bool load_machine_file(const std::string &path, MachineSpec *out, std::string *error)
{
    std::string text;
    if (!read_input_file(path, kMaxMachineFileBytes, &text, error))
        return false;
    return parse_machine(text, path, directory_of(path), out, error);
}

const MachineSpec &default_machine_spec()
{
    static const MachineSpec desc = [] {
        MachineSpec s;
        std::string error;
        if (!parse_machine(default_machine_json(), "default.json", "", &s, &error)) {
            std::fprintf(stderr, "qorsim: the embedded default machine is broken: %s\n", error.c_str());
            std::abort();
        }
        return s;
    }();
    return desc;
}

const char *bridge_display_name(const std::string &bridge)
{
    if (bridge == "s5933")
        return "AMCC S5933";
    if (bridge == "plx9050")
        return "PLX PCI 9050";
    if (bridge == "plx9080")
        return "PLX PCI 9080";
    return "none";
}

// ---- building ---------------------------------------------------------------------------------
namespace {
void SetUpSource(models::SignalSource &source, const SourceSpec &desc)
{
    source.pattern = desc.pattern;
    source.period = desc.period;
    source.amplitude = desc.amplitude;
}
} // namespace

BuiltMachine::BuiltMachine(MachineSpec desc) : spec_(std::move(desc))
{
    Machine &m = machine();
    for (ULONG bus : spec_.buses)
        m.pci.add_bus(bus);
    for (const CardSpec &c : spec_.cards) {
        PciFunction &f = m.pci.add_function(c.bus, c.device, c.function, c.vendor_id, c.device_id);
        if (c.multifunction)
            f.poke(14, 1, 0x80); // header type: multi-function device
        if (c.subsystem_vendor_id)
            f.poke(44, 2, *c.subsystem_vendor_id);
        if (c.subsystem_id)
            f.poke(46, 2, *c.subsystem_id);

        Card card{&c, &f};
        if (c.bridge == "s5933") {
            acquisition_.push_back(std::make_unique<models::AcquisitionCard>(0, c.source.sample_bytes));
            card.acquisition = acquisition_.back().get();
            SetUpSource(card.acquisition->source, c.source);
            card.acquisition->sample_rate_hz = static_cast<uint32_t>(c.source.rate);
            card.bridge = &card.acquisition->chip;
        } else if (c.bridge == "plx9050") {
            auto chip = std::make_unique<models::Plx9050>();
            if (c.interrupt != 0)
                chip->interrupt = f.line();
            card.bridge = chip.get();
            models_.push_back(std::move(chip));
        } else if (c.bridge == "plx9080") {
            auto chip = std::make_unique<models::Plx9080>();
            fifos_.push_back(std::make_unique<models::SampleFifo>(c.source.sample_bytes));
            card.fifo = fifos_.back().get();
            SetUpSource(card.fifo->source, c.source);
            chip->attach_local_bus(card.fifo);
            if (c.interrupt != 0)
                chip->interrupt = f.line();
            card.bridge = chip.get();
            models_.push_back(std::move(chip));
        }
        for (unsigned b = 0; b < 6; ++b) {
            const BarSpec &bar = c.bars[b];
            if (!bar.present)
                continue;
            if (!bar.io) {
                f.set_memory_bar(b, bar.base, bar.length);
                continue;
            }
            PortDevice *model = nullptr;
            std::string name;
            if (bar.model == "bridge") {
                model = card.bridge;
                name = c.bridge;
            } else if (bar.model == "registers" && c.fifo.present && card.addon == nullptr) {
                auto addon = std::make_unique<models::Plx9050Fifo>(static_cast<models::Plx9050 &>(*card.bridge), bar.length,
                                                                   c.fifo.depth, c.fifo.level,
                                                                   static_cast<uint32_t>(c.source.rate));
                SetUpSource(addon->source, c.source);
                card.addon = addon.get();
                models_.push_back(std::move(addon));
                model = models_.back().get();
                name = "card registers (FIFO)";
            } else if (bar.model == "registers") {
                models_.push_back(std::make_unique<RegisterFile>(bar.length));
                model = models_.back().get();
                name = "card registers";
            } else if (bar.model == "counters") {
                models_.push_back(std::make_unique<models::I8254>(bar.length >= 16 ? 4 : bar.length >= 8 ? 2 : 1));
                model = models_.back().get();
                name = "8254";
            } else if (bar.model == "fpga") {
                auto fpga = std::make_unique<models::FpgaPort>();
                fpga->complete_after(c.fpga.complete_after);
                fpga->error_after(c.fpga.error_after);
                fpga->ready_after_release(c.fpga.ready_after_release);
                fpga->busy_after_each_byte(c.fpga.busy_reads);
                card.fpga = fpga.get();
                models_.push_back(std::move(fpga));
                model = models_.back().get();
                name = "fpga port";
            }
            f.set_io_bar(b, bar.base, bar.length, model, name);
        }
        f.set_interrupt_line(c.interrupt);
        if (card.acquisition != nullptr && c.interrupt != 0)
            card.acquisition->interrupt = f.line();
        cards_.push_back(card);
    }
    for (const RegistryValueSpec &v : spec_.registry) {
        if (v.is_string)
            m.registry.set_string(to_u16(v.key), to_u16(v.name), to_u16(v.text));
        else
            m.registry.set_dword(to_u16(v.key), to_u16(v.name), v.dword);
    }
    for (const FileSpec &file : spec_.files)
        m.files.add(to_u16(file.name), file.contents);
}

BuiltMachine::~BuiltMachine()
{
    // The PCI functions hold the register models' port claims; give them back first.
    machine().pci.reset();
}

std::vector<models::AcquisitionCard *> BuiltMachine::acquisition_cards() const
{
    std::vector<models::AcquisitionCard *> out;
    for (const auto &card : acquisition_)
        out.push_back(card.get());
    return out;
}

std::vector<models::PacedCard *> BuiltMachine::paced_cards() const
{
    std::vector<models::PacedCard *> out;
    for (const auto &card : acquisition_)
        out.push_back(card.get());
    for (const Card &card : cards_)
        if (card.addon != nullptr)
            out.push_back(card.addon);
    return out;
}

void BuiltMachine::arm_faults() const
{
    Machine &m = machine();
    for (const FaultSpec &f : spec_.faults) {
        if (f.kind == "pool") {
            if (f.every_after)
                m.pool.fail_from(f.nth);
            else
                m.pool.fail_nth(f.nth);
        } else if (f.kind == "registry_query") {
            m.registry.fail_queries(f.status);
        } else {
            m.faults.fail_nth(fault_kinds().at(f.kind), f.nth, f.every_after);
        }
    }
}

} // namespace qorsim
