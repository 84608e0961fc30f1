// Directory listings of a 32-bit program on a file system with 64-bit inode numbers.
#define _FILE_OFFSET_BITS 64
#include "run.h"
#include "image_drivers.h"

#include "control_device.h"
#include "default_machine.h"
#include "leaks.h"
#include "qor_platform.h"
#include "recorder.h"
#include "script.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <memory>
#include <thread>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace qortool {

namespace {

// What `qorsim run` runs when no program is named: the sample program's continuous
// acquisition on the default machine's first S5933 card.
const char *const kSampleDevice = "\\\\.\\AcqA0";
const char *const kSampleHalves = "20";

std::string executable_directory()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.find_last_of('/'));
}

// Where shipped machine files live: beside an installed program, or in the source tree
// of a build.
std::vector<std::string> machine_directories()
{
    std::vector<std::string> dirs = {executable_directory() + "/../share/qorsim/machines"};
#ifdef QOR_SOURCE_MACHINES
    dirs.push_back(QOR_SOURCE_MACHINES);
#endif
    return dirs;
}

bool ends_with(const std::string &s, const char *suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool is_regular_file(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_shared_object(const std::string &path)
{
    if (!is_regular_file(path))
        return false; // a pipe would block the open; the script reader refuses it by name
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    unsigned char magic[4] = {};
    const bool elf = std::fread(magic, 1, 4, f) == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
    std::fclose(f);
    return elf;
}

bool parse_status(const std::string &text, NTSTATUS *out)
{
    if (text == "success") {
        *out = STATUS_SUCCESS;
        return true;
    }
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<NTSTATUS>(v);
    return true;
}

// Shows an acquire step's progress on a terminal.
struct AcquireContext {
    Recorder *recorder;
    bool progress;
    std::atomic<bool> stop{false};
    std::thread progress_thread;
};

void AcquireBegins(void *context)
{
    auto *a = static_cast<AcquireContext *>(context);
    if (a->progress) {
        a->stop = false;
        const size_t before = a->recorder->events().size();
        a->progress_thread = std::thread([a, before] {
            while (!a->stop) {
                size_t halves = 0;
                const auto events = a->recorder->events();
                for (size_t i = before; i < events.size(); ++i)
                    halves += events[i].kind == TimelineEvent::Kind::Half;
                std::fprintf(stderr, "\r  acquiring: %zu halves transferred", halves);
                std::fflush(stderr);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            std::fprintf(stderr, "\r%60s\r", "");
        });
    }
}

void AcquireEnds(void *context)
{
    auto *a = static_cast<AcquireContext *>(context);
    if (a->progress_thread.joinable()) {
        a->stop = true;
        a->progress_thread.join();
    }
}

struct SharedObject {
    void *handle = nullptr;
    ~SharedObject()
    {
        if (handle)
            dlclose(handle);
    }
};

std::string device_name_of(PDEVICE_OBJECT device)
{
    const std::u16string name = qorsim::machine().objects.name_of(device);
    return name.empty() ? "(unnamed)" : qorsim::to_ascii(name);
}

// An output file the run will write: checked before the run, so that a wrong path costs
// nothing. Nothing is created here; an existing file must be writable and no directory.
bool check_output(const std::string &path, std::string *why)
{
    if (path == "-")
        return true;
    if (path.empty()) {
        *why = "an empty path";
        return false;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *why = path + ": is a directory";
            return false;
        }
        if (access(path.c_str(), W_OK) != 0) {
            *why = path + ": cannot be written: " + std::strerror(errno);
            return false;
        }
        return true;
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = path + ": the folder " + folder + " does not exist";
        return false;
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        *why = path + ": the folder " + folder + " cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool check_plot_path(const std::string &path, std::string *why)
{
    if (!ends_with(path, ".svg") && !ends_with(path, ".png")) {
        *why = path + ": the picture is written as .svg or .png";
        return false;
    }
    if (ends_with(path, ".png") && path.find('\'') != std::string::npos) {
        *why = path + ": a PNG path may not contain a quote";
        return false;
    }
    return check_output(path, why);
}

// A trace filter must name something of this machine: a card filter a card (its label,
// a part of its name or its chip), a register filter a register one of its ranges decodes.
// A filter that matches nothing would print an empty trace and look like a silent driver.
bool check_filter(const qorsim::TraceFilter &filter, const std::vector<qorsim::PortRegion> &regions, std::string *why)
{
    for (const std::string &card : filter.cards) {
        qorsim::TraceFilter one;
        one.cards = {card};
        bool found = false;
        std::string labels;
        for (const qorsim::PortRegion &r : regions) {
            qorsim::PortAccess a{};
            a.width = 1;
            a.port = r.base;
            found = found || one.matches(qorsim::decode_access(a, {r}), &r);
            if (labels.find(r.card) == std::string::npos && labels.size() < 200)
                labels += (labels.empty() ? "" : ", ") + r.card + " " + r.model;
        }
        if (!found) {
            *why = "--card " + card + ": no card of this machine has that label, name or chip (its ranges: " +
                   (labels.empty() ? "none" : labels) + ")";
            return false;
        }
    }
    if (filter.registers.empty())
        return true;
    // Register names depend on what answers in a range and on its length only.
    std::set<std::pair<std::string, uint32_t>> kinds;
    std::vector<const qorsim::PortRegion *> distinct;
    for (const qorsim::PortRegion &r : regions)
        if (kinds.emplace(r.model, r.length).second)
            distinct.push_back(&r);
    for (const std::string &reg : filter.registers) {
        qorsim::TraceFilter one;
        one.registers = {reg};
        bool found = false;
        for (const qorsim::PortRegion *r : distinct)
            for (uint32_t offset = 0; offset < r->length && !found; ++offset)
                for (unsigned width : {1u, 2u, 4u}) {
                    qorsim::PortAccess a{};
                    a.width = width;
                    a.port = r->base + offset;
                    if (one.matches(qorsim::decode_access(a, {*r}), r)) {
                        found = true;
                        break;
                    }
                }
        if (!found) {
            *why = "--register " + reg + ": no range of this machine's cards decodes a register of that name";
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<ShippedMachine> shipped_machines()
{
    std::vector<ShippedMachine> out;
    const qorsim::MachineSpec &d = qorsim::default_machine_spec();
    out.push_back(ShippedMachine{d.name, d.description, "(built in)"});
    for (const std::string &dir : machine_directories()) {
        DIR *listing = opendir(dir.c_str());
        if (listing == nullptr)
            continue;
        std::vector<std::string> names;
        while (dirent *e = readdir(listing))
            if (ends_with(e->d_name, ".json"))
                names.push_back(e->d_name);
        closedir(listing);
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            qorsim::MachineSpec desc;
            std::string error;
            const std::string path = dir + "/" + n;
            const std::string name = n.substr(0, n.size() - 5);
            bool known = false;
            for (ShippedMachine &m : out)
                if (m.name == name) {
                    known = true;
                    if (m.path == "(built in)")
                        m.path = path;
                }
            if (known)
                continue;
            if (qorsim::load_machine_file(path, &desc, &error))
                out.push_back(ShippedMachine{name, desc.description, path});
            else
                out.push_back(ShippedMachine{name, "BROKEN: " + error, path});
        }
        if (!out.empty())
            break; // the first directory that exists holds the shipped set
    }
    return out;
}

bool resolve_machine(const std::string &argument, qorsim::MachineSpec *out, std::string *error)
{
    if (argument == "default" || argument.empty()) {
        *out = qorsim::default_machine_spec();
        return true;
    }
    if (!ends_with(argument, ".json") && argument.find('/') == std::string::npos) {
        for (const ShippedMachine &m : shipped_machines())
            if (m.name == argument && m.path != "(built in)")
                return qorsim::load_machine_file(m.path, out, error);
    }
    return qorsim::load_machine_file(argument, out, error);
}

int run_machine(const RunOptions &options)
{
    std::FILE *report = options.report != nullptr ? options.report : options.trace == "-" ? stderr : stdout;
    qorsim::MachineSpec desc;
    std::string error;
    if (!resolve_machine(options.machine, &desc, &error)) {
        std::fprintf(stderr, "qorsim: %s\n", error.c_str());
        return 2;
    }
    NTSTATUS expectedLoad = 0;
    if (!parse_status(options.expect_load, &expectedLoad)) {
        std::fprintf(stderr, "qorsim: --expect-load: expected \"success\" or an NTSTATUS such as 0xC000009A, got \"%s\"\n",
                     options.expect_load.c_str());
        return 2;
    }

    // The user program: a script, or a shared object with its own main.
    std::vector<Step> steps;
    SharedObject program;
    int (*programMain)(int, char **) = nullptr;
    if (!options.program.empty()) {
        if (is_shared_object(options.program)) {
            program.handle = dlopen(options.program.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (program.handle == nullptr) {
                std::fprintf(stderr, "qorsim: --program: %s\n", dlerror());
                return 2;
            }
            programMain = reinterpret_cast<int (*)(int, char **)>(dlsym(program.handle, "main"));
            if (programMain == nullptr) {
                std::fprintf(stderr, "qorsim: --program: %s has no main\n", options.program.c_str());
                return 2;
            }
        } else if (!load_script(options.program, &steps, &error)) {
            std::fprintf(stderr, "qorsim: %s\n", error.c_str());
            return 2;
        }
    } else {
        // No program named: the sample program's acquisition, on the device and for the
        // halves the --arg options give, as acqapp takes them.
        if (options.program_args.size() > 2) {
            std::fprintf(stderr, "qorsim: --arg: without --program the sample program takes a device and a number of halves\n");
            return 2;
        }
        const std::string device = options.program_args.empty() ? kSampleDevice : options.program_args[0];
        const std::string halves = options.program_args.size() < 2 ? kSampleHalves : options.program_args[1];
        if (!parse_script("acquire " + device + " halves=" + halves + "\n", "the sample program (--arg)", &steps, &error)) {
            std::fprintf(stderr, "qorsim: %s\n", error.c_str());
            return 2;
        }
    }

    // The client driver: the sample driver built in, a shared object built against the
    // program, or a PE32 .sys loaded on top of the library's own image.
    SharedObject driverObject;
    PDRIVER_INITIALIZE entry = DriverEntry;
    std::string driverName = "acqdrv (built in)";
    const bool images = !options.driver.empty() && is_pe_image(options.driver);
    std::string libraryImage = options.library;
    if (images) {
        driverName = options.driver;
        if (libraryImage.empty()) {
            const size_t slash = options.driver.find_last_of('/');
            const std::string beside = (slash == std::string::npos ? std::string(".") : options.driver.substr(0, slash)) +
                                       "/qorpelk.sys";
            libraryImage = is_pe_image(beside) ? beside : default_image_dir() + "/qorpelk.sys";
        }
        if (!is_pe_image(libraryImage)) {
            std::fprintf(stderr, "qorsim: --library: %s is no qorpelk.sys image\n", libraryImage.c_str());
            return 2;
        }
    } else if (!options.library.empty()) {
        std::fprintf(stderr, "qorsim: --library needs a driver image (.sys) with --driver\n");
        return 2;
    } else if (!options.driver.empty()) {
        if (!is_regular_file(options.driver)) {
            std::fprintf(stderr, "qorsim: --driver: %s: is not a regular file (a shared object or a .sys image)\n",
                         options.driver.c_str());
            return 2;
        }
        driverObject.handle = dlopen(options.driver.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (driverObject.handle == nullptr) {
            std::fprintf(stderr, "qorsim: --driver: %s\n", dlerror());
            return 2;
        }
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(driverObject.handle, "DriverEntry"));
        if (entry == nullptr) {
            std::fprintf(stderr, "qorsim: --driver: %s exports no DriverEntry\n", options.driver.c_str());
            return 2;
        }
        driverName = options.driver;
    }

    // The outputs, before anything runs.
    if (!options.trace.empty() && !check_output(options.trace, &error)) {
        std::fprintf(stderr, "qorsim: --trace: %s\n", error.c_str());
        return 2;
    }
    if (!options.plot.empty() && !check_plot_path(options.plot, &error)) {
        std::fprintf(stderr, "qorsim: --plot: %s\n", error.c_str());
        return 2;
    }

    qorsim::Machine &sim = qorsim::machine();
    sim.reset();
    sim.verifier.break_on_violation(options.break_on_violation);
    unsigned failures = 0;
    bool clean = false;
    std::vector<qorsim::PortRegion> regions;
    Recorder recorder;
    {
        qorsim::BuiltMachine built(desc);
        if (!check_filter(options.filter, qorsim::port_regions(built), &error)) {
            std::fprintf(stderr, "qorsim: %s\n", error.c_str());
            return 2;
        }
        recorder.attach(built);
        std::fprintf(report, "qorsim run: machine \"%s\" (%zu PCI functions), driver %s\n", desc.name.c_str(),
                     desc.cards.size(), driverName.c_str());

        const std::string libraryKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelk";
        DriverSlot librarySlot, driverSlot;
        if (images) {
            // The client's imports bind to the library's exports: the library is mapped first.
            if (!librarySlot.use_image(libraryImage, libraryKey, &error)) {
                std::fprintf(stderr, "qorsim: %s\n", error.c_str());
                return 2;
            }
            if (!driverSlot.use_image(options.driver, desc.service_key, &error)) {
                std::fprintf(stderr, "qorsim: %s\n", error.c_str());
                return 2;
            }
        } else {
            librarySlot.use_host("qorpelk", QOR_LIBRARY_ENTRY, libraryKey);
            driverSlot.use_host(desc.driver, entry, desc.service_key);
        }
        qorsim::LoadedDriver &driver = driverSlot.driver();
        const NTSTATUS libraryStatus = librarySlot.load();
        built.arm_faults(); // counted from the client driver's entry on
        const NTSTATUS driverStatus = driverSlot.load();
        const bool loadAsExpected = driverStatus == expectedLoad;
        std::string loadedName = desc.driver;
        if (images) { // the image's own name, without the folder and .sys
            loadedName = options.driver.substr(options.driver.find_last_of('/') + 1);
            loadedName = loadedName.substr(0, loadedName.rfind('.'));
        }
        std::fprintf(report, "%s load      qorpelk 0x%08lX, %s 0x%08lX%s\n", loadAsExpected ? "  " : "FAIL",
                     static_cast<unsigned long>(libraryStatus), loadedName.c_str(), static_cast<unsigned long>(driverStatus),
                     loadAsExpected ? "" : (" (expected 0x" + [&] {
                         char t[16];
                         std::snprintf(t, sizeof t, "%08lX)", static_cast<unsigned long>(expectedLoad));
                         return std::string(t);
                     }()).c_str());
        failures += !loadAsExpected;
        if (libraryStatus != STATUS_SUCCESS)
            ++failures;
        for (PDEVICE_OBJECT d = driver.loaded() ? driver.object()->DeviceObject : nullptr; d != nullptr; d = d->NextDevice)
            std::fprintf(report, "   device    %s\n", device_name_of(d).c_str());

        qorsim::Process &app = sim.processes.create("program");
        AcquireContext acquire;
        acquire.recorder = &recorder;
        acquire.progress = options.progress && isatty(STDERR_FILENO);
        if (driver.loaded() && (!steps.empty() || programMain != nullptr)) {
            qorsim::UserThread user([&] {
                qorsim::InProcess in(app);
                // The cards (S5933 transfers, 9050 FIFOs) run in virtual time for as long as
                // the program does, a script's steps included: a request the driver pends until
                // a transfer ends completes when the card gets there, as it does for a built
                // program.
                auto runner = std::make_unique<qorsim::CardRunner>(built.paced_cards());
                if (programMain != nullptr) {
                    std::vector<std::string> args = {options.program};
                    args.insert(args.end(), options.program_args.begin(), options.program_args.end());
                    std::vector<char *> argv;
                    for (std::string &a : args)
                        argv.push_back(a.data());
                    argv.push_back(nullptr);
                    const int code = programMain(static_cast<int>(args.size()), argv.data());
                    std::fprintf(report, "%s program   %s exited with %d\n", code == 0 ? "  " : "FAIL",
                                 options.program.c_str(), code);
                    failures += code != 0;
                } else {
                    ScriptHooks hooks;
                    hooks.acquire_begins = AcquireBegins;
                    hooks.acquire_ends = AcquireEnds;
                    hooks.context = &acquire;
                    failures += run_script(steps, report, hooks);
                }
                runner.reset();
            });
            user.join();
        } else if (!driver.loaded() && (!steps.empty() || programMain != nullptr)) {
            std::fprintf(report, "   program   not run: the driver did not load\n");
        }

        regions = qorsim::port_regions(built); // before the unload moves nothing, but while the functions exist
        // The program's own handles close as its rundown closes them; what the driver made
        // in its process (views, kernel handles) stays for the leak report.
        qorsim::close_user_handles(&app);
        driverSlot.unload();
        librarySlot.unload();
        sim.dpcs.drain();
        const std::string leaks = qorsim::leak_report();
        sim.processes.end(app);
        recorder.detach(built);

        const auto violations = sim.verifier.violations();
        std::fprintf(report, "   verifier  %zu pool blocks, %zu contiguous blocks, %zu handles, %zu interrupts, %zu devices and %zu links left; %zu violations\n",
                     sim.pool.live_blocks().size(), sim.memory.contiguous_blocks(), sim.handles.open_count(),
                     sim.interrupts.connected().size(), sim.objects.device_names().size(), sim.objects.link_names().size(),
                     violations.size());
        for (const auto &v : violations)
            std::fprintf(report, "FAIL violation %s\n", v.c_str());
        if (!leaks.empty())
            std::fprintf(report, "%s", leaks.c_str());
        clean = failures == 0 && violations.empty() && leaks.empty() && sim.memory.contiguous_blocks() == 0 &&
                sim.objects.device_names().empty() && sim.objects.link_names().empty();
        std::fprintf(report, "   result    %s\n", clean ? "every expectation met, nothing left behind" : "PROBLEMS FOUND");
    }

    if (!options.trace.empty()) {
        std::FILE *out = options.trace == "-" ? stdout : std::fopen(options.trace.c_str(), "w");
        if (out == nullptr) {
            std::fprintf(stderr, "qorsim: --trace: cannot write %s\n", options.trace.c_str());
            return 2;
        }
        const size_t lines = qorsim::write_trace(out, sim.ports.trace(), regions, options.filter);
        if (out != stdout)
            std::fclose(out);
        std::fprintf(report, "   trace     %zu port accesses written to %s\n", lines,
                     options.trace == "-" ? "standard output" : options.trace.c_str());
    }
    if (!options.plot.empty()) {
        if (!write_plot(recorder, options.plot, "qorsim run: " + desc.name + ", " + driverName, options.plot_samples, &error)) {
            std::fprintf(stderr, "qorsim: --plot: %s\n", error.c_str());
            return 2;
        }
        std::fprintf(report, "   plot      %s\n", options.plot.c_str());
    }
    return clean ? 0 : 1;
}

} // namespace qortool
