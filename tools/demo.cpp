// The default scenario: the simulated default machine boots, the library and the sample
// driver load and find their cards, and three copies of the sample program acquire at
// once, one per bridge family: a continuous double-buffered acquisition on the first
// S5933 card (while a second program opens the same card and looks at its buffers through
// its own views), FIFO drains on the PLX 9050 card as its events announce them, and
// scatter-gather blocks from the PLX 9080 card into the program's own memory. Then
// everything unloads. The report shows the cards, the buffers and events, each family's
// account of its samples, interrupts and DPCs, the throughput and the verifier's findings.
// The card samples at its rate in virtual time and the program's time is virtual too, so
// every acquisition figure is the same on every run and host; only the "host" line is not.
#include <atomic>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "control_device.h"
#include "default_machine.h"
#include "leaks.h"
#include "image_drivers.h"
#include "qor_platform.h"
#include "recorder.h"
#include "virtual_time.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

constexpr unsigned long kFifoDrains = 256;    // the 9050 program's drains of its FIFO
constexpr unsigned long kScatterBlocks = 64;  // the 9080 program's 16 KB blocks

const char *kTypeNames[] = {"AMCC S5933", "PLX PCI 9050", "PLX PCI 9080"};

std::string DeviceNameOf(PDEVICE_OBJECT device)
{
    for (const std::u16string &name : qorsim::machine().objects.device_names())
        if (qorsim::machine().objects.device(name) == device)
            return qorsim::to_ascii(name);
    return "?";
}

void PrintCards(PDRIVER_OBJECT driver)
{
    std::printf("cards      bus slot  type           ports                      vector level  index  name\n");
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        const auto *ext = static_cast<const QorDevExt *>(d->DeviceExtension);
        std::string ports;
        for (USHORT i = 0; i < ext->PortCount; ++i) {
            char text[16];
            std::snprintf(text, sizeof text, "%s0x%04lX", i ? " " : "", static_cast<unsigned long>(ext->PortBase[i]));
            ports += text;
        }
        std::printf("           %3u  %2lu.%lu %-14s %-26s 0x%02lX  %5lu  %5u  %s\n", ext->BusNumber,
                    static_cast<unsigned long>(ext->SlotNumber & 31), static_cast<unsigned long>((ext->SlotNumber >> 5) & 7),
                    ext->ControllerType < 3 ? kTypeNames[ext->ControllerType] : "?", ports.c_str(),
                    static_cast<unsigned long>(ext->InterruptVector), static_cast<unsigned long>(ext->InterruptLevel),
                    ext->CardIndex, DeviceNameOf(d).c_str());
    }
}

// The progress line on a terminal: halves read, the host's MB/s so far and the losses.
struct Progress {
    std::chrono::steady_clock::time_point started, shown;
};

// Interrupts raised and DPCs run, per card family, counted as they happen.
struct FamilyCounts {
    std::atomic<unsigned> interrupts{0}, dpcs{0};
};

// Counts the raises of a card's interrupt line on the way to its routines.
void CountLine(std::function<void()> &line, std::atomic<unsigned> &count)
{
    std::function<void()> inner = line;
    line = [inner, &count] {
        ++count;
        if (inner)
            inner();
    };
}

void ShowProgress(const AcqAppReport *report, void *context)
{
    auto *p = static_cast<Progress *>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now - p->shown < std::chrono::milliseconds(500))
        return;
    p->shown = now;
    const double seconds = std::chrono::duration<double>(now - p->started).count();
    std::fprintf(stderr, "\r%lu halves, %.1f MB/s, %llu samples lost in %lu overruns   ", report->halvesRead,
                 seconds > 0 ? report->samplesRead * 2.0 / 1e6 / seconds : 0.0, report->samplesLost, report->overruns);
}

} // namespace

// halves: halves the sample program reads; readerWorkMs: virtual milliseconds it spends on
// each half after checking it (0: it keeps up; more than a half's duration at the card's
// sample rate: it falls behind, deterministically); progress: a progress line on stderr;
// plot: a picture of the S5933 card's samples and a timeline lane per family ("": none);
// imageDir: the folder of the PE images to load instead of the host-compiled drivers.
// Every figure on stdout except the "host" line is a function of these arguments alone.
int RunDemo(unsigned halves, unsigned readerWorkMs, bool progress, const std::string &plot, const std::string &imageDir)
{
    qorsim::Machine &sim = qorsim::machine();
    sim.reset();
    const auto started = std::chrono::steady_clock::now();
    int result = 0;
    {
        qorsim::DefaultMachine board;
        // A large analog input buffer: long halves amortise the cost of each half. 4092 KB
        // gives halves of 1,047,552 samples, an odd multiple of 1024, so that up to 63
        // halves lost at once show as a distinct gap in the 16-bit sample sequence.
        constexpr ULONG kDemoBufferKb = 4092;
        sim.registry.set_dword(std::u16string(qorsim::DefaultMachine::kServiceKey) + u"\\Parameters", u"AI", kDemoBufferKb);
        std::printf("qorsim demo: the default machine, the sample driver, %u halves of continuous acquisition", halves);
        if (readerWorkMs != 0)
            std::printf(", a reader that spends %u ms on each half", readerWorkMs);
        std::printf("\n\n");

        const std::string libraryKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelk";
        qortool::DriverSlot librarySlot, driverSlot;
        if (!imageDir.empty()) {
            std::string error;
            if (!librarySlot.use_image(imageDir + "/qorpelk.sys", libraryKey, &error) ||
                !driverSlot.use_image(imageDir + "/acqdrv.sys", qorsim::DefaultMachine::kServiceKeyAscii, &error)) {
                std::fprintf(stderr, "qorsim: %s\n", error.c_str());
                return 2;
            }
        } else {
            librarySlot.use_host("qorpelk", QOR_LIBRARY_ENTRY, libraryKey);
            driverSlot.use_host("acqdrv", DriverEntry, qorsim::DefaultMachine::kServiceKeyAscii);
        }
        qorsim::LoadedDriver &driver = driverSlot.driver();
        const NTSTATUS libraryStatus = librarySlot.load();
        const NTSTATUS driverStatus = driverSlot.load();
        std::printf("load       qorpelk 0x%08lX, acqdrv 0x%08lX\n", static_cast<unsigned long>(libraryStatus),
                    static_cast<unsigned long>(driverStatus));
        PrintCards(driver.object());

        qorsim::Process &app = sim.processes.create("acqapp");
        qorsim::Process &viewer = sim.processes.create("viewer");
        qorsim::Process &fifoApp = sim.processes.create("acqapp-fifo");
        qorsim::Process &scatterApp = sim.processes.create("acqapp-scatter");
        qorsim::models::AcquisitionCard *card = board.acquisition_cards().front();
        const uint64_t producedBefore = card->source.produced();
        qorsim::models::Plx9050Fifo &fifo = board.plx9050_fifo();
        const uint64_t fifoProducedBefore = fifo.produced();

        // Each family's interrupts (the line of its card) and DPCs (its device's DPC), and
        // the picture's lanes.
        enum { kS5933, kPlx9050, kPlx9080, kFamilies };
        const char *familyBridge[kFamilies] = {"s5933", "plx9050", "plx9080"};
        std::string familyLabel[kFamilies];
        for (const qorsim::BuiltMachine::Card &c : board.built().cards())
            for (int f = 0; f < kFamilies; ++f)
                if (familyLabel[f].empty() && c.desc->bridge == familyBridge[f])
                    familyLabel[f] = qortool::card_label(*c.desc);
        qortool::Recorder recorder;
        if (!plot.empty()) {
            recorder.attach(board.built());
            recorder.set_lanes({{familyLabel[kS5933], "S5933 " + familyLabel[kS5933]},
                                {familyLabel[kPlx9050], "9050 " + familyLabel[kPlx9050]},
                                {familyLabel[kPlx9080], "9080 " + familyLabel[kPlx9080]}});
        }
        FamilyCounts counts[kFamilies];
        CountLine(card->interrupt, counts[kS5933].interrupts);
        CountLine(board.plx9050().interrupt, counts[kPlx9050].interrupts);
        CountLine(board.plx9080().interrupt, counts[kPlx9080].interrupts);
        if (!plot.empty()) {
            for (int f = kPlx9050; f < kFamilies; ++f) {
                std::function<void()> &line = f == kPlx9050 ? board.plx9050().interrupt : board.plx9080().interrupt;
                std::function<void()> inner = line;
                line = [inner, &recorder, label = familyLabel[f]] {
                    recorder.note(qortool::TimelineEvent::Kind::Interrupt, label);
                    inner();
                };
            }
        }
        PKDPC familyDpc[kFamilies] = {};
        const char16_t *familyLink[kFamilies] = {u"\\DosDevices\\AcqA0", u"\\DosDevices\\AcqB0", u"\\DosDevices\\AcqC0"};
        for (int f = 0; f < kFamilies; ++f)
            if (PDEVICE_OBJECT d = sim.objects.resolve(familyLink[f]))
                familyDpc[f] = &d->Dpc;
        sim.dpcs.observe([&](PKDPC dpc) {
            for (int f = 0; f < kFamilies; ++f)
                if (dpc == familyDpc[f]) {
                    ++counts[f].dpcs;
                    if (!plot.empty())
                        recorder.note(qortool::TimelineEvent::Kind::Dpc, familyLabel[f]);
                }
        });
        auto cards = std::make_unique<qorsim::CardRunner>(board.paced_cards());

        Progress shown;
        shown.started = shown.shown = std::chrono::steady_clock::now();
        AcqAppOptions options{"\\\\.\\AcqA0", halves, 5000, readerWorkMs, progress ? ShowProgress : nullptr, &shown};
        AcqAppReport report;
        int appOk = 0;
        // The viewer holds virtual time still until it has looked: the card's first half
        // comes after, so its views are placed before any thread the card's interrupts
        // start, the same way on every run.
        auto viewerHoldsTime = std::make_unique<qorsim::InProcess>(viewer);
        qorsim::UserThread reader([&] {
            qorsim::InProcess in(app);
            appOk = AcqAppRun(&options, &report);
        });
        AcqAppReport fifoReport, scatterReport;
        int fifoOk = 0, scatterOk = 0;
        std::atomic<bool> scatterDone{false};
        qorsim::UserThread fifoReader, scatterReader;

        // A second program opens the card while the acquisition runs.
        PKEVENT event = nullptr;
        while (event == nullptr || qorsim::event_waiters(event) == 0) {
            event = sim.events.find(u"\\BaseNamedObjects\\AcqA00");
            std::this_thread::yield();
        }
        QorDesp second{};
        bool secondOk = false;
        {
            qorsim::InProcess in(viewer);
            HANDLE h = CreateFileA("\\\\.\\AcqA0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            DWORD n = 0;
            secondOk = h != INVALID_HANDLE_VALUE &&
                       DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &second, sizeof second, &n, nullptr) &&
                       second.Status == QorOk && viewer.contains(second.Buffers[0].UserAddress0, second.Buffers[0].BufferSize);
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        }
        // The PLX cards' programs run beside it, each on its own card. They start one after
        // the other while time still stands, each once the one before has set itself up, so
        // that their stacks, views and memory take the same user addresses on every run.
        fifoReader = qorsim::UserThread([&] {
            qorsim::InProcess in(fifoApp);
            AcqAppOptions fifoOptions{"\\\\.\\AcqB0", kFifoDrains, 1000, 0, nullptr, nullptr};
            fifoOk = AcqAppFifoRun(&fifoOptions, &fifoReport);
        });
        for (PKEVENT fifoEvent = nullptr; fifoEvent == nullptr || qorsim::event_waiters(fifoEvent) == 0;) {
            fifoEvent = sim.events.find(u"\\BaseNamedObjects\\AcqB04");
            std::this_thread::yield();
        }
        scatterReader = qorsim::UserThread([&] {
            qorsim::InProcess in(scatterApp);
            AcqAppOptions scatterOptions{"\\\\.\\AcqC0", kScatterBlocks, 5000, 0, nullptr, nullptr};
            scatterOk = AcqAppScatterRun(&scatterOptions, &scatterReport);
            scatterDone = true;
        });
        while (board.plx9080().starts(0) == 0 && !scatterDone)
            std::this_thread::yield(); // its buffer is allocated once the first chain starts
        viewerHoldsTime.reset();
        reader.join();
        fifoReader.join();
        scatterReader.join();
        if (progress)
            std::fprintf(stderr, "\r%78s\r", ""); // the progress line goes away
        const uint64_t virtualNs = qorsim::virtual_time().now_ns();
        cards.reset();
        sim.dpcs.drain();
        sim.dpcs.observe(nullptr);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const uint64_t produced = card->source.produced() - producedBefore;

        std::printf("\nbuffers    kind  size     user address (acqapp)   user address (viewer)   event\n");
        for (int kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
            const QorDespBuffer &b = report.desp.Buffers[kind];
            const QorDespBuffer &v = second.Buffers[kind];
            std::printf("           %d     %7lu  0x%08lX/0x%08lX   0x%08lX/0x%08lX   %s\n", kind, static_cast<unsigned long>(b.BufferSize),
                        static_cast<unsigned long>(b.UserAddress0), static_cast<unsigned long>(b.UserAddress1),
                        static_cast<unsigned long>(v.UserAddress0), static_cast<unsigned long>(v.UserAddress1), b.EventName);
        }
        std::printf("events     dual interrupt %s and %s, auxiliary %s\n", report.desp.EventName4, report.desp.EventName6,
                    report.desp.EventName5);
        std::printf("second     a second process opened the card (open count %u) and sees its buffers at its own addresses: %s\n",
                    second.OpenCount, secondOk ? "yes" : "NO");
        char summary[256];
        std::printf("\nacquired   %s\n", AcqAppSummary(&report, summary, sizeof summary));
        std::printf("           stop reported %lu samples of the half under way; %lu progress polls\n",
                    static_cast<unsigned long>(report.stop.SampleCount), report.progressPolls);
        std::printf("card       %llu samples in %.6f s of simulated time at %lu samples/s\n",
                    static_cast<unsigned long long>(produced), virtualNs / 1e9, static_cast<unsigned long>(card->sample_rate_hz));
        if (!appOk)
            std::printf("           the program stopped at \"%s\" (error %lu)\n", report.failedStep, report.lastError);
        std::printf("           %s\n", AcqAppSummary(&fifoReport, summary, sizeof summary));
        std::printf("           %s\n", AcqAppSummary(&scatterReport, summary, sizeof summary));
        for (const AcqAppReport *r : {&fifoReport, &scatterReport})
            if (r->failedStep != nullptr)
                std::printf("           the program stopped at \"%s\" (error %lu)\n", r->failedStep, r->lastError);

        // One line per family: every sample the card made is read or counted lost.
        const uint64_t fifoProduced = fifo.produced() - fifoProducedBefore;
        const uint64_t scatterProduced = static_cast<uint64_t>(kScatterBlocks) * scatterReport.samplesPerHalf;
        struct FamilyLine { const char *name, *how; const AcqAppReport &r; uint64_t produced; bool ok; };
        const FamilyLine lines[kFamilies] = {
            {"AMCC S5933", "double-buffered halves through the buffer's views", report, produced, appOk != 0},
            {"PLX 9050", "FIFO drained through port requests on event 4", fifoReport, fifoProduced, fifoOk != 0},
            {"PLX 9080", "scatter-gather blocks into the program's memory", scatterReport, scatterProduced, scatterOk != 0},
        };
        std::printf("\nfamilies   %-12s %12s %10s %16s %11s %7s\n", "bridge", "samples", "lost", "out of sequence", "interrupts", "DPCs");
        bool familiesOk = true;
        for (int f = 0; f < kFamilies; ++f) {
            const FamilyLine &l = lines[f];
            std::printf("           %-12s %12llu %10llu %16lu %11u %7u  %s\n", l.name, l.r.samplesRead, l.r.samplesLost,
                        l.r.sequenceErrors, counts[f].interrupts.load(), counts[f].dpcs.load(), l.how);
            familiesOk = familiesOk && l.ok && l.r.sequenceErrors == 0 && l.r.samplesRead + l.r.samplesLost <= l.produced;
        }
        familiesOk = familiesOk && fifoReport.samplesRead + fifoReport.samplesLost == fifoProduced &&
                     fifoReport.samplesLost == 0 && scatterReport.samplesRead == scatterProduced;
        // The one host-dependent line.
        std::printf("host       %.1f MB/s of samples through the buffer views (%.2f s host time)\n",
                    report.samplesRead * 2.0 / 1e6 / seconds, seconds);

        bool plotted = true;
        if (!plot.empty()) {
            recorder.detach(board.built());
            std::string error;
            plotted = qortool::write_plot(recorder, plot, "qorsim demo: the three bridge families at once", 2000, &error);
            if (plotted)
                std::printf("plot       %s\n", plot.c_str());
            else
                std::fprintf(stderr, "qorsim: --plot: %s\n", error.c_str());
        }

        qorsim::close_user_handles(&app);
        qorsim::close_user_handles(&viewer);
        qorsim::close_user_handles(&fifoApp);
        qorsim::close_user_handles(&scatterApp);
        driverSlot.unload();
        librarySlot.unload();
        sim.dpcs.drain();
        const std::string leaks = qorsim::leak_report();
        sim.processes.end(app);
        sim.processes.end(viewer);
        sim.processes.end(fifoApp);
        sim.processes.end(scatterApp);

        const auto violations = sim.verifier.violations();
        std::printf("\nverifier   %zu pool blocks, %zu contiguous blocks, %zu handles, %zu interrupts, %zu devices and %zu links left; %zu violations\n",
                    sim.pool.live_blocks().size(), sim.memory.contiguous_blocks(), sim.handles.open_count(),
                    sim.interrupts.connected().size(), sim.objects.device_names().size(), sim.objects.link_names().size(),
                    violations.size());
        for (const auto &v : violations)
            std::printf("           violation: %s\n", v.c_str());
        std::printf("%s", leaks.c_str());
        // Every sample the card wrote before the program's last half is read or reported lost.
        const bool accounted = report.sequenceErrors == 0 && report.halvesRead == halves &&
                               report.samplesRead + report.samplesLost <= produced &&
                               (readerWorkMs != 0 || (report.samplesLost == 0 && report.overruns == 0));
        const bool clean = appOk && secondOk && familiesOk && violations.empty() && leaks.empty() && accounted &&
                           sim.memory.contiguous_blocks() == 0 && sim.objects.device_names().empty();
        std::printf("result     %s\n", !clean                ? "PROBLEMS FOUND"
                                       : report.overruns != 0 ? "the reader fell behind and the program reported every lost half; nothing left behind"
                                                              : "every sample accounted for, nothing left behind");
        result = clean && plotted ? 0 : 1;
    }
    return result;
}
