#include "script.h"

#include "acqdrv_ioctl.h"
#include "machine_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace qortool {

namespace {

// Zeroed bytes of the program's own memory (VirtualAlloc in the calling process), freed
// with the object.
class ProgramBytes {
public:
    explicit ProgramBytes(size_t bytes)
        : bytes_(static_cast<uint8_t *>(bytes ? VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_COMMIT | MEM_RESERVE,
                                                             PAGE_READWRITE)
                                              : nullptr))
    {
        if (bytes_ != nullptr)
            std::memset(bytes_, 0, bytes);
    }
    ~ProgramBytes()
    {
        if (bytes_ != nullptr)
            VirtualFree(bytes_, 0, MEM_RELEASE);
    }
    ProgramBytes(const ProgramBytes &) = delete;
    ProgramBytes &operator=(const ProgramBytes &) = delete;
    uint8_t *data() const { return bytes_; }
    uint8_t &operator[](size_t i) const { return bytes_[i]; }

private:
    uint8_t *bytes_;
};

struct ParseError {
    std::string message;
};

[[noreturn]] void fail(const std::string &message) { throw ParseError{message}; }

int64_t parse_integer(const std::string &text, const char *what, int64_t min, int64_t max)
{
    if (text.empty())
        fail(std::string(what) + ": a number is missing");
    errno = 0;
    char *end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0)
        fail(std::string(what) + ": \"" + text + "\" is not a number");
    if (n < min || n > max)
        fail(std::string(what) + ": " + text + " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")");
    return n;
}

// The library's status codes by name, for status=.
const std::map<std::string, int16_t> &status_names()
{
    static const std::map<std::string, int16_t> names = {
        {"QorOk", QorOk},
        {"QorErrDescription", QorErrDescription},
        {"QorErrUnknownRequest", QorErrUnknownRequest},
        {"QorErrInputTooShort", QorErrInputTooShort},
        {"QorErrOutputTooShort", QorErrOutputTooShort},
        {"QorErrNoBuffer", QorErrNoBuffer},
        {"QorErrBusy", QorErrBusy},
        {"QorErrNotDoubleBuffer", QorErrNotDoubleBuffer},
        {"QorErrSynchronous", QorErrSynchronous},
        {"QorErrCounterNumber", QorErrCounterNumber},
        {"QorErrCounterMode", QorErrCounterMode},
        {"QorErrBufferTooSmall", QorErrBufferTooSmall},
        {"QorErrByteCount", QorErrByteCount},
        {"QorErrBitIndex", QorErrBitIndex},
        {"QorErrPortWidth", QorErrPortWidth},
        {"QorErrListTooLong", QorErrListTooLong},
    };
    return names;
}

struct FieldType {
    unsigned width;
    bool is_signed;
};

FieldType field_type(const std::string &name, const char *what)
{
    static const std::map<std::string, FieldType> types = {
        {"u8", {1, false}}, {"i8", {1, true}}, {"u16", {2, false}}, {"i16", {2, true}}, {"u32", {4, false}}, {"i32", {4, true}}};
    auto it = types.find(name);
    if (it == types.end())
        fail(std::string(what) + ": unknown field type \"" + name + "\" (u8 i8 u16 i16 u32 i32)");
    return it->second;
}

int64_t field_value(const std::string &text, FieldType type, const char *what)
{
    const int64_t min = type.is_signed ? -(int64_t(1) << (8 * type.width - 1)) : 0;
    const int64_t max = type.is_signed ? (int64_t(1) << (8 * type.width - 1)) - 1 : (int64_t(1) << (8 * type.width)) - 1;
    return parse_integer(text, what, min, max);
}

std::vector<std::string> split(const std::string &text, char by)
{
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, by))
        out.push_back(part);
    if (!text.empty() && text.back() == by)
        out.push_back("");
    return out;
}

std::vector<uint8_t> parse_record(const std::string &text)
{
    std::vector<uint8_t> out;
    if (text.rfind("hex:", 0) == 0) {
        const std::string hex = text.substr(4);
        if (hex.empty() || hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            fail("in=hex: expected pairs of hex digits");
        for (size_t i = 0; i < hex.size(); i += 2)
            out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        return out;
    }
    for (const std::string &field : split(text, ',')) {
        const size_t colon = field.find(':');
        if (colon == std::string::npos)
            fail("in: expected TYPE:VALUE fields separated by commas, got \"" + field + "\"");
        const FieldType type = field_type(field.substr(0, colon), "in");
        const int64_t value = field_value(field.substr(colon + 1), type, "in");
        for (unsigned b = 0; b < type.width; ++b)
            out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * b)));
    }
    return out;
}

std::vector<FieldCheck> parse_checks(const std::string &text)
{
    std::vector<FieldCheck> out;
    for (const std::string &item : split(text, ',')) {
        // OFFSET:TYPE=VALUE
        const size_t colon = item.find(':'), equals = item.find('=');
        if (colon == std::string::npos || equals == std::string::npos || equals < colon)
            fail("check: expected OFFSET:TYPE=VALUE, got \"" + item + "\"");
        const FieldType type = field_type(item.substr(colon + 1, equals - colon - 1), "check");
        FieldCheck c;
        c.offset = static_cast<uint32_t>(parse_integer(item.substr(0, colon), "check", 0, 0xFFFF));
        c.width = type.width;
        c.is_signed = type.is_signed;
        c.value = field_value(item.substr(equals + 1), type, "check");
        out.push_back(c);
    }
    return out;
}

uint32_t parse_code(const std::string &text, const char *what)
{
    if (text.rfind("fn:", 0) == 0)
        return QOR_IOCTL_CODE(static_cast<ULONG>(parse_integer(text.substr(3), what, 0, 0xFFF)));
    return static_cast<uint32_t>(parse_integer(text, what, 0, 0xFFFFFFFFll));
}

// A row of the library's request table: the record lengths it takes and gives back.
struct TableRow {
    ULONG function, input, output;
};

const TableRow *table_row(uint32_t code)
{
#define QOR_SCRIPT_ROW(f, in, out) TableRow{f, in, out},
    static const TableRow rows[] = {QOR_IOCTL_TABLE(QOR_SCRIPT_ROW)};
#undef QOR_SCRIPT_ROW
    for (const TableRow &r : rows)
        if (QOR_IOCTL_CODE(r.function) == code)
            return &r;
    return nullptr;
}

std::string hex_text(const char *format, unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// An acquire step's request of another client: a row of the library's table with the
// record of the sample driver's request it stands for, since the step sends that record.
uint32_t acquire_code(const std::string &text, const char *role, uint32_t sample)
{
    const uint32_t code = parse_code(text, role);
    const TableRow *row = table_row(code), *want = table_row(sample);
    if (row == nullptr)
        fail(std::string("acquire: ") + role + "=" + hex_text("0x%08lX", code) +
             " is no row of the library's request table (device type 0xADC0, METHOD_BUFFERED)");
    if (row->input != want->input || row->output != want->output)
        fail(std::string("acquire: ") + role + "=" + hex_text("fn:0x%03lX", row->function) + " takes " +
             std::to_string(row->input) + " bytes in and " + std::to_string(row->output) + " out; the " + role +
             " request takes " + std::to_string(want->input) + " in and " + std::to_string(want->output) + " out");
    return code;
}

Expectation parse_expectation(const std::string &text)
{
    Expectation e;
    if (text == "ok")
        return e;
    e.ok = false;
    if (text == "error")
        return e;
    if (text.rfind("error:", 0) == 0) {
        e.error = static_cast<uint32_t>(parse_integer(text.substr(6), "expect", 0, 0xFFFFFFFFll));
        return e;
    }
    fail("expect: expected ok, error or error:N, got \"" + text + "\"");
}

Step parse_line(const std::vector<std::string> &words, std::set<std::string> &open)
{
    Step s;
    const std::string &verb = words[0];
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    for (size_t i = 1; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        if (eq != std::string::npos && eq > 0 && words[i][0] != '\\') {
            const std::string key = words[i].substr(0, eq);
            if (options.count(key))
                fail(verb + ": " + key + "= is given twice");
            options[key] = words[i].substr(eq + 1);
        } else {
            positional.push_back(words[i]);
        }
    }
    auto want = [&](size_t n, const char *usage) {
        if (positional.size() != n)
            fail(verb + ": expected " + usage);
    };
    auto allow = [&](std::initializer_list<const char *> names) {
        for (const auto &[key, value] : options) {
            bool known = false;
            std::string list;
            for (const char *n : names) {
                known = known || key == n;
                list += std::string(list.empty() ? "" : ", ") + n + "=";
            }
            if (!known)
                fail(verb + ": unknown option " + key + "= (known: " + (list.empty() ? "none" : list) + ")");
        }
    };
    auto known_handle = [&](const std::string &name) {
        if (!open.count(name))
            fail(verb + ": no handle named \"" + name + "\" is open here");
    };
    if (options.count("expect"))
        s.expect = parse_expectation(options["expect"]);

    if (verb == "open") {
        s.kind = Step::Kind::Open;
        want(2, "NAME DEVICE");
        allow({"expect"});
        s.handle = positional[0];
        s.device = positional[1];
        if (open.count(s.handle))
            fail("open: the handle \"" + s.handle + "\" is open already");
        if (s.expect.ok)
            open.insert(s.handle);
    } else if (verb == "close") {
        s.kind = Step::Kind::Close;
        want(1, "NAME");
        allow({"expect"});
        s.handle = positional[0];
        known_handle(s.handle);
        open.erase(s.handle);
    } else if (verb == "ioctl") {
        s.kind = Step::Kind::Ioctl;
        want(2, "NAME CODE");
        allow({"in", "out", "expect", "status", "returned", "check"});
        s.handle = positional[0];
        known_handle(s.handle);
        s.code = parse_code(positional[1], "ioctl");
        if (options.count("in"))
            s.input = parse_record(options["in"]);
        if (options.count("out"))
            s.output = static_cast<uint32_t>(parse_integer(options["out"], "out", 0, 1 << 20));
        if (options.count("status")) {
            const std::string &st = options["status"];
            auto it = status_names().find(st);
            s.status = it != status_names().end() ? it->second
                                                   : static_cast<int16_t>(parse_integer(st, "status", -32768, 32767));
            if (s.output < 2)
                fail("ioctl: status= needs out= of at least 2 bytes (the status field)");
        }
        if (options.count("returned"))
            s.returned = static_cast<uint32_t>(parse_integer(options["returned"], "returned", 0, 1 << 20));
        if (options.count("check")) {
            s.checks = parse_checks(options["check"]);
            for (const FieldCheck &c : s.checks)
                if (c.offset + c.width > s.output)
                    fail("ioctl: check= reads past out=" + std::to_string(s.output));
        }
    } else if (verb == "acquire") {
        s.kind = Step::Kind::Acquire;
        want(1, "DEVICE halves=N");
        allow({"halves", "wait", "expect", "buffer", "describe", "mode", "start", "half", "progress", "stop"});
        s.device = positional[0];
        AcqAppSampleCodes(&s.codes);
        const AcqAppCodes sample = s.codes;
        const std::pair<const char *, DWORD AcqAppCodes::*> roles[] = {
            {"describe", &AcqAppCodes::describe}, {"mode", &AcqAppCodes::doubleBuffer},
            {"start", &AcqAppCodes::start},       {"half", &AcqAppCodes::half},
            {"progress", &AcqAppCodes::progress}, {"stop", &AcqAppCodes::stop},
        };
        for (const auto &[role, member] : roles)
            if (options.count(role))
                s.codes.*member = acquire_code(options[role], role, sample.*member);
        if (options.count("buffer"))
            s.codes.buffer = static_cast<unsigned>(parse_integer(options["buffer"], "buffer", 0, QOR_BUFFER_KINDS - 1));
        if (!options.count("halves"))
            fail("acquire: halves= is missing");
        s.halves = static_cast<unsigned long>(parse_integer(options["halves"], "halves", 1, 100000000));
        if (options.count("wait"))
            s.wait_ms = static_cast<uint32_t>(parse_integer(options["wait"], "wait", 1, 3600000));
        if (s.expect.error)
            fail("acquire: expect=error:N is not available here; use expect=error");
    } else {
        fail("unknown step \"" + verb + "\" (open, ioctl, acquire, close)");
    }
    return s;
}

std::string error_text(uint32_t error)
{
    switch (error) {
    case 2: return "ERROR_FILE_NOT_FOUND";
    case 6: return "ERROR_INVALID_HANDLE";
    case 31: return "ERROR_GEN_FAILURE";
    case 87: return "ERROR_INVALID_PARAMETER";
    default: return "error " + std::to_string(error);
    }
}

} // namespace

bool parse_script(const std::string &text, const std::string &source, std::vector<Step> *out, std::string *error)
{
    std::vector<Step> steps;
    std::set<std::string> open;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // A control character (a NUL above all) would end the text the steps are read
        // from early: the rest of the line would be lost without a word.
        for (size_t i = 0; i < line.size(); ++i) {
            const unsigned char ch = static_cast<unsigned char>(line[i]);
            if (ch < 0x20 && ch != '\t') {
                char text[96];
                std::snprintf(text, sizeof text, ": a control character (0x%02X) at column %zu", ch, i + 1);
                *error = source + ":" + std::to_string(number) + text;
                return false;
            }
        }
        const size_t hash = line.find('#');
        const std::string body = hash == std::string::npos ? line : line.substr(0, hash);
        std::vector<std::string> words;
        std::istringstream w(body);
        for (std::string word; w >> word;)
            words.push_back(word);
        if (words.empty())
            continue;
        try {
            Step s = parse_line(words, open);
            s.line = number;
            s.text = body.substr(body.find_first_not_of(" \t"));
            while (!s.text.empty() && (s.text.back() == ' ' || s.text.back() == '\t'))
                s.text.pop_back();
            steps.push_back(std::move(s));
        } catch (const ParseError &e) {
            *error = source + ":" + std::to_string(number) + ": " + e.message;
            return false;
        }
    }
    if (steps.empty()) {
        *error = source + ": no steps (open, ioctl, acquire, close)";
        return false;
    }
    *out = std::move(steps);
    return true;
}

bool load_script(const std::string &path, std::vector<Step> *out, std::string *error)
{
    std::string text;
    if (!qorsim::read_input_file(path, kMaxScriptBytes, &text, error))
        return false;
    return parse_script(text, path, out, error);
}

unsigned run_script(const std::vector<Step> &steps, std::FILE *report, const ScriptHooks &hooks)
{
    std::map<std::string, HANDLE> handles;
    unsigned failures = 0;
    for (const Step &s : steps) {
        bool ok = false, mismatch = false;
        DWORD error = 0;
        std::string detail;
        switch (s.kind) {
        case Step::Kind::Open: {
            HANDLE h = CreateFileA(s.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ok = h != INVALID_HANDLE_VALUE;
            if (ok)
                handles[s.handle] = h;
            else
                error = GetLastError();
            break;
        }
        case Step::Kind::Close: {
            auto it = handles.find(s.handle);
            if (it == handles.end()) {
                detail = "the handle was never opened (its open failed)";
                error = ERROR_INVALID_HANDLE;
            } else {
                ok = CloseHandle(it->second) != 0;
                if (!ok)
                    error = GetLastError();
                handles.erase(it);
            }
            break;
        }
        case Step::Kind::Ioctl: {
            auto it = handles.find(s.handle);
            // The program's buffers lie in its own user memory, as a Win32 program's do.
            ProgramBytes buffer(std::max<size_t>(s.input.size(), s.output));
            if (!s.input.empty())
                std::memcpy(buffer.data(), s.input.data(), s.input.size());
            ProgramBytes out(s.output);
            DWORD returned = 0;
            if (it == handles.end()) {
                detail = "the handle was never opened (its open failed)";
                error = ERROR_INVALID_HANDLE;
                break;
            }
            ok = DeviceIoControl(it->second, s.code, s.input.empty() ? nullptr : buffer.data(),
                                 static_cast<DWORD>(s.input.size()), s.output ? out.data() : nullptr, s.output,
                                 &returned, nullptr) != 0;
            if (!ok)
                error = GetLastError();
            char text[64];
            std::snprintf(text, sizeof text, "%lu bytes back", static_cast<unsigned long>(returned));
            detail = text;
            auto field = [&](uint32_t offset, unsigned width, bool isSigned) {
                uint64_t v = 0;
                for (unsigned b = 0; b < width; ++b)
                    v |= uint64_t(out[offset + b]) << (8 * b);
                if (isSigned && (v >> (8 * width - 1)))
                    return static_cast<int64_t>(v) - (int64_t(1) << (8 * width));
                return static_cast<int64_t>(v);
            };
            if (s.status && s.expect.ok == ok) {
                const int16_t status = static_cast<int16_t>(field(0, 2, true));
                detail += ", status " + std::to_string(status);
                if (status != *s.status) {
                    detail += " (expected " + std::to_string(*s.status) + ")";
                    mismatch = true;
                }
            }
            if (s.returned && returned != *s.returned && s.expect.ok == ok) {
                detail += " (expected " + std::to_string(*s.returned) + " bytes)";
                mismatch = true;
            }
            for (const FieldCheck &c : s.checks) {
                if (s.expect.ok != ok)
                    break;
                const int64_t v = field(c.offset, c.width, c.is_signed);
                if (v != c.value) {
                    detail += ", field at " + std::to_string(c.offset) + " is " + std::to_string(v) + " (expected " +
                              std::to_string(c.value) + ")";
                    mismatch = true;
                    break;
                }
            }
            break;
        }
        case Step::Kind::Acquire: {
            if (hooks.acquire_begins)
                hooks.acquire_begins(hooks.context);
            AcqAppOptions options{s.device.c_str(), s.halves, s.wait_ms, 0, nullptr, nullptr, &s.codes};
            AcqAppReport r{};
            ok = AcqAppRun(&options, &r) != 0 && r.samplesLost == 0 && r.sequenceErrors == 0;
            if (hooks.acquire_ends)
                hooks.acquire_ends(hooks.context);
            char text[200];
            std::snprintf(text, sizeof text, "%lu halves of %lu samples, %llu lost, %lu out of sequence", r.halvesRead,
                          r.samplesPerHalf, r.samplesLost, r.sequenceErrors);
            detail = text;
            if (r.failedStep) {
                detail += std::string(", stopped at \"") + r.failedStep + "\"";
                error = r.lastError;
            }
            break;
        }
        }
        bool met = ok == s.expect.ok && !mismatch;
        if (met && !ok && s.expect.error && error != *s.expect.error)
            met = false;
        std::string result = ok ? "ok" : error ? error_text(error) : "failed";
        if (mismatch) {
            result += ", but the record differs";
            ++failures;
        } else if (!met) {
            std::string wanted = s.expect.ok ? "ok" : s.expect.error ? error_text(*s.expect.error) : "an error";
            result += " (expected " + wanted + ")";
            ++failures;
        }
        std::fprintf(report, "%s line %-3d %-52s %s%s%s\n", met ? "  " : "FAIL", s.line, s.text.c_str(), result.c_str(),
                     detail.empty() ? "" : ": ", detail.c_str());
    }
    for (auto &[name, handle] : handles) {
        std::fprintf(report, "     the script left \"%s\" open: closed\n", name.c_str());
        CloseHandle(handle);
    }
    return failures;
}

} // namespace qortool
