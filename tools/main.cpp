// qorsim: the command line of the simulated NT machine.
//   qorsim demo      the default machine, the sample driver and program, a report
//   qorsim run       a machine file, your client driver, a scripted or built program
//   qorsim trace     the same run, printing every port access decoded
//   qorsim machines  the machine files shipped with the program
#include "image_drivers.h"
#include "run.h"
#include "address_space.h"
#include "host_core.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdio>

int RunDemo(unsigned halves, unsigned readerWorkMs, bool progress, const std::string &plot, const std::string &imageDir);

namespace {

void AddRunOptions(CLI::App &command, qortool::RunOptions &o)
{
    command.add_option("machine", o.machine, "machine file (JSON), or the name of a shipped machine")->required();
    command.add_option("--driver", o.driver,
                       "client driver: a shared object (qorsim_add_driver), or an NT driver image (.sys) loaded on "
                       "top of qorpelk.sys; the sample driver when absent")
        ->check(CLI::ExistingFile);
    command.add_option("--library", o.library,
                       "with a .sys driver: the qorpelk.sys image to load first (default: the one beside the "
                       "driver, else the nt build's)")
        ->check(CLI::ExistingFile);
    command.add_option("--program,--script", o.program,
                       "user program: a script of steps, or a shared object built with qorsim_add_program; "
                       "without it the sample program reads --arg halves (20) of --arg device (\\\\.\\AcqA0)")
        ->check(CLI::ExistingFile);
    command.add_option("--arg", o.program_args, "an argument for a built user program, or the sample program's device and halves (repeatable)");
    command.add_option("--expect-load", o.expect_load,
                       "status the driver's DriverEntry should return: success or an NTSTATUS (0xC000009A)")
        ->capture_default_str();
    command.add_option("--plot", o.plot, "draw the acquired waveform and the timeline of halves, interrupts and DPCs (.svg or .png)");
    command.add_option("--plot-samples", o.plot_samples, "samples the waveform shows, from the first (0: all)")
        ->capture_default_str();
    command.add_option("--card", o.filter.cards, "trace only this card: bus:device.function, a part of its name, or its chip (s5933)");
    command.add_option("--register", o.filter.registers, "trace only this register (MCSR, INTCSR, DMACSR0, 8254, FPGA ...)");
    command.add_flag_callback("--no-progress", [&o] { o.progress = false; }, "no progress line, even on a terminal");
    command.add_flag("--break", o.break_on_violation, "raise SIGTRAP at the first verifier violation (run under gdb)");
}

constexpr const char *kAllCoresHelp =
    "let the machine's threads run on every host core (more interleavings to hunt races between programs); "
    "by default they share one, as the machine's one processor does";

// The simulated machine's threads share one host core unless the command line asked for
// all of them; a host that refuses leaves them every core, with a word on stderr.
void PlaceThreads(bool allCores)
{
    std::string why;
    if (!allCores && !qorsim::share_one_host_core(&why))
        std::fprintf(stderr, "qorsim: the machine's threads keep every host core: %s\n", why.c_str());
}

} // namespace

namespace {

int QorsimMain(int argc, char **argv)
{
    CLI::App app{"qorsim: a simulated 32-bit NT machine with PCI acquisition cards, for client-driver writers"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "qorsim 1.0");

    CLI::App *demo = app.add_subcommand("demo", "boot the default machine, run the sample driver and program, report");
    unsigned halves = 500, readerWorkMs = 0;
    bool demoProgress = isatty(STDERR_FILENO) != 0;
    demo->add_option("--halves", halves, "halves of continuous acquisition to read")->capture_default_str()
        ->check(CLI::Range(1u, 100000000u));
    demo->add_option("--slow-reader", readerWorkMs,
                     "the program spends MS of simulated time on each half (a half takes 1047.552 ms at the card's rate)")
        ->capture_default_str();
    std::string demoImages;
    demo->add_option("--images", demoImages,
                     "run the shipped qorpelk.sys and acqdrv.sys of this folder instead of the host-compiled code")
        ->expected(0, 1)
        ->default_str(qortool::default_image_dir())
        ->check(CLI::ExistingDirectory);
    demo->add_flag_callback("--progress", [&] { demoProgress = true; }, "a progress line on standard error");
    demo->add_flag_callback("--no-progress", [&] { demoProgress = false; },
                            "no progress line (the default when standard error is not a terminal)");
    bool demoBreak = false;
    demo->add_flag("--break", demoBreak, "raise SIGTRAP at the first verifier violation (run under gdb)");
    std::string demoPlot;
    demo->add_option("--plot", demoPlot,
                     "draw the S5933 card's waveform and a timeline lane per card family (.svg or .png)");
    bool allCores = false;
    demo->add_flag("--all-cores", allCores, kAllCoresHelp);

    qortool::RunOptions run;
    CLI::App *runCommand = app.add_subcommand("run", "run a machine file with a client driver and a user program");
    AddRunOptions(*runCommand, run);
    runCommand->add_option("--trace", run.trace, "write the decoded port trace to this file (- for standard output)");

    qortool::RunOptions trace;
    CLI::App *traceCommand =
        app.add_subcommand("trace", "run like `run` and print every port access decoded (card, register, bits)");
    AddRunOptions(*traceCommand, trace);
    traceCommand->add_option("-o,--output", trace.trace, "write the trace to this file instead of standard output");
    for (CLI::App *command : {runCommand, traceCommand})
        command->add_flag("--all-cores", allCores, kAllCoresHelp);

    CLI::App *machines = app.add_subcommand("machines", "list the shipped machine files");
    std::string show;
    machines->add_option("--show", show, "print this machine's file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version exit 0; a usage error exits 2, as the other input errors do.
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (demo->parsed() || runCommand->parsed() || traceCommand->parsed())
        PlaceThreads(allCores);
    if (demo->parsed()) {
        qorsim::machine().verifier.break_on_violation(demoBreak);
        return RunDemo(halves, readerWorkMs, demoProgress, demoPlot, demoImages);
    }
    if (runCommand->parsed())
        return qortool::run_machine(run);
    if (traceCommand->parsed()) {
        if (trace.trace.empty())
            trace.trace = "-";
        return qortool::run_machine(trace);
    }
    if (machines->parsed()) {
        const auto list = qortool::shipped_machines();
        if (!show.empty()) {
            for (const auto &m : list) {
                if (m.name != show)
                    continue;
                if (m.path == "(built in)") {
                    std::fputs(qorsim::default_machine_json(), stdout);
                } else {
                    std::FILE *f = std::fopen(m.path.c_str(), "r");
                    char buffer[4096];
                    size_t n;
                    while (f && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                        std::fwrite(buffer, 1, n, stdout);
                    if (f)
                        std::fclose(f);
                }
                return 0;
            }
            std::fprintf(stderr, "qorsim: no shipped machine is named \"%s\"\n", show.c_str());
            return 2;
        }
        for (const auto &m : list)
            std::printf("%-12s %s\n%-12s %s\n\n", m.name.c_str(), m.path.c_str(), "", m.description.c_str());
        return 0;
    }
    return 2;
}

} // namespace

// The command line runs on a stack in the simulated machine's user space: the scenarios it
// plays act as user programs, whose buffers NT's I/O manager accepts only there.
int main(int argc, char **argv) { return qorsim::run_on_user_stack(QorsimMain, argc, argv, 16u << 20); }
