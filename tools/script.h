// Scripted user programs for `qorsim run`: a plain-text list of steps that a simulated
// user process performs against a client driver, one step a line, `#` starts a comment.
//
//   open    NAME DEVICE          [expect=ok|error[:N]]
//   ioctl   NAME CODE [in=RECORD] [out=BYTES] [expect=ok|error[:N]] [status=S] [returned=N]
//                                [check=OFFSET:TYPE=VALUE[,...]]
//   acquire DEVICE halves=N [wait=MS] [buffer=K] [describe=CODE] [mode=CODE] [start=CODE]
//                           [half=CODE] [progress=CODE] [stop=CODE] [expect=ok|error]
//   close   NAME                 [expect=ok|error[:N]]
//
// NAME is the script's name for an open handle; DEVICE a Win32 device path (\\.\AcqA0).
// CODE is an I/O-control code (0xADC02040) or a function number of the library's device
// type (fn:0x875). RECORD is the request record as typed little-endian fields packed in
// order (i16:0,u16:2,u32:0x1000; types u8 i8 u16 i16 u32 i32) or raw bytes (hex:00AA01).
// expect= is the Win32 result (error:N also checks GetLastError); status= the library
// status in the record's first field (QorOk, QorErrBusy, ... or a number); check= fields
// of the returned record. acquire runs the sample program's continuous acquisition
// (double-buffer mode on buffer K of the description, N halves, sequence checks) on a
// device, with the sample driver's request codes unless others are named; each named code
// must be a row of the library's request table with the record of the one it replaces.
//
// The cards run in virtual time during every step: a request the driver pends completes
// when the card's transfer does, as it would for a built program.
#pragma once

#include "acqapp.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace qortool {

struct FieldCheck {
    uint32_t offset;
    unsigned width;
    bool is_signed;
    int64_t value;
};

struct Expectation {
    bool ok = true;
    std::optional<uint32_t> error; // with !ok: the GetLastError value expected
};

struct Step {
    enum class Kind { Open, Close, Ioctl, Acquire } kind;
    int line = 0;
    std::string text;   // the line as written, for the report
    std::string handle; // open, close, ioctl
    std::string device; // open, acquire
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t output = 0;
    Expectation expect;
    std::optional<int16_t> status;
    std::optional<uint32_t> returned;
    std::vector<FieldCheck> checks;
    unsigned long halves = 0;
    uint32_t wait_ms = 5000;
    AcqAppCodes codes{}; // acquire: the sample driver's unless the step names others
};

// Parses a script's text; `source` names it in errors ("mine.qs:4: ioctl: ..."). Names of
// handles must be opened before use. Returns false with *error set.
bool parse_script(const std::string &text, const std::string &source, std::vector<Step> *out, std::string *error);
// A script is read whole; a larger file is no script and is refused, as are a directory
// and a device.
constexpr size_t kMaxScriptBytes = 1u << 20;
bool load_script(const std::string &path, std::vector<Step> *out, std::string *error);

// Runs the steps in the calling thread, which must stand for a user process; prints one
// line a step to `report` and returns how many steps failed their expectations. Handles
// the script left open are closed at the end.
struct ScriptHooks {
    // Called around an acquire step, so that the caller can show its progress.
    void (*acquire_begins)(void *context) = nullptr;
    void (*acquire_ends)(void *context) = nullptr;
    void *context = nullptr;
};
unsigned run_script(const std::vector<Step> &steps, std::FILE *report, const ScriptHooks &hooks);

} // namespace qortool
