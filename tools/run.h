// `qorsim run` and `qorsim trace`: a machine from its file, the library, a client driver
// (the sample driver built in, or the writer's own as a shared object), a user program
// (a script, the writer's own as a shared object, or the sample program's acquisition when
// none is named), then unload and the verifier's verdict. The exit status is what a CI
// job needs: 0 when every expectation held and nothing was violated or left behind, 1 when
// not, 2 for bad input (machine file, script, driver that cannot be loaded, a trace filter
// that names nothing of the machine, an output that cannot be written), found before
// anything runs.
#pragma once

#include "trace_decode.h"

#include <cstdio>
#include <string>
#include <vector>

namespace qortool {

struct RunOptions {
    std::string machine;       // a machine file, or the name of a shipped one ("default")
    std::string driver;        // a client driver's shared object or .sys image; empty: the sample driver
    std::string library;       // with a .sys driver: the qorpelk.sys to load first
    std::string program;       // a script, or a user program's shared object; empty: none
    std::vector<std::string> program_args;
    std::string expect_load = "success"; // the client driver's DriverEntry status expected
    std::string trace;         // a file for the decoded trace, "-" for standard output
    qorsim::TraceFilter filter;
    std::string plot;          // FILE.svg or FILE.png
    size_t plot_samples = 2000; // samples the waveform shows (0: all kept)
    bool progress = true;      // on a terminal only
    std::FILE *report = nullptr; // the run's report; null: standard output (standard error
                                 // when the trace goes to standard output)
};

int run_machine(const RunOptions &options);

// The machines shipped with the program: (name, description, path or "(built in)").
struct ShippedMachine {
    std::string name, description, path;
};
std::vector<ShippedMachine> shipped_machines();
// Resolves a machine argument: a path to a file, or the name of a shipped machine.
bool resolve_machine(const std::string &argument, qorsim::MachineSpec *out, std::string *error);

} // namespace qortool
