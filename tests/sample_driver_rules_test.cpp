// The rules a client driver must keep, tried on the sample driver as a program meets it:
// interrupts of a closed or masked card, rows the driver does not serve, starts it cannot
// run, port requests aimed outside the card, and the PLX cards' own transfers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/sample_machine_fixture.h"
#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "control_device.h"
#include "default_machine.h"
#include "qor_plx9050.h"

namespace {

constexpr DWORD kInvalidFunction = 1;  // STATUS_INVALID_DEVICE_REQUEST as a program sees it
constexpr DWORD kInvalidParameter = 87; // STATUS_INVALID_PARAMETER
constexpr DWORD kOperationAborted = 995; // STATUS_CANCELLED
constexpr DWORD kBusy = 170;              // STATUS_DEVICE_BUSY
constexpr DWORD kInvalidUserBuffer = 1784;
constexpr ULONG kPage = 4096;

class SampleDriverRules : public SampleMachineTest {
protected:
    qorsim::Process *program = nullptr;

    void SetUp() override
    {
        SampleMachineTest::SetUp();
        program = &CreateProgram("program");
    }
    static QorDevExt *Extension(const char16_t *link)
    {
        PDEVICE_OBJECT d = qorsim::machine().objects.resolve(link);
        return d ? static_cast<QorDevExt *>(d->DeviceExtension) : nullptr;
    }
    qorsim::PciFunction &Pci(const char *family)
    {
        for (const auto &card : board->cards())
            if (card.family == family)
                return *card.pci;
        throw std::runtime_error(family);
    }
};

// The PLX 9050's local inputs show their status whether or not they are enabled; the
// driver must claim the shared line only for an input that is active and enabled, and
// must not run its DPC for a card that is closed (its events are gone then).
TEST_F(SampleDriverRules, APlx9050InterruptIsClaimedOnlyWhenOpenActiveAndEnabled)
{
    struct Row { const char *name; bool open, enable, assert; unsigned claims, dpcs; };
    const Row rows[] = {
        {"closed card, input active", false, false, true, 0, 0},
        {"enabled, then closed, input active", false, true, true, 0, 0},
        {"open, input active but not enabled", true, false, true, 0, 0},
        {"open, enabled, input idle", true, true, false, 0, 0},
        {"open, enabled, input active", true, true, true, 1, 1},
    };
    qorsim::InProcess in(*program);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE h = Open("\\\\.\\AcqB0");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (row.enable) {
            QorDualIntRequest set{};
            set.Int1Enable = 1;
            set.Int1Polarity = 1;
            DWORD n = 0;
            ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DUAL_INT_SET, &set, sizeof set, &set, 2, &n, nullptr));
        }
        if (!row.open) {
            ASSERT_TRUE(CloseHandle(h));
        }
        sim().dpcs.drain();
        const uint64_t before = sim().dpcs.executed();
        board->plx9050().set_lint_asserted(1, row.assert);
        EXPECT_EQ(Pci("PLX PCI 9050").raise_interrupt(), row.claims);
        sim().dpcs.drain();
        EXPECT_EQ(sim().dpcs.executed() - before, row.dpcs);
        if (!row.open) {
            EXPECT_EQ(board->plx9050().intcsr_low() & PLX9050_INTCSR_PCI_INT_ENABLE, 0u) << "masked while closed";
        }
        board->plx9050().set_lint_asserted(1, false);
        if (row.open) {
            ASSERT_TRUE(CloseHandle(h));
        }
    }
}

// The S5933's pending flags show whether or not their interrupts are enabled. On a shared
// line the driver claims an interrupt only while the chip asserts it (a pending flag whose
// interrupt is enabled), acknowledges the flags only then, and runs its DPC only for an
// open card; claiming another device's interrupt would leave that device's line asserted.
TEST_F(SampleDriverRules, AnS5933InterruptIsClaimedOnlyWhileTheChipAssertsIt)
{
    using qorsim::models::S5933;
    struct Row { const char *name; bool open; uint32_t enables; unsigned claims, dpcs; bool flagLeft; };
    const Row rows[] = {
        {"open, transfer done but its interrupt off", true, 0, 0, 0, true},
        {"open, transfer done, its interrupt on", true, S5933::kIntWriteCompleteEnable, 1, 1, false},
        {"closed, transfer done, its interrupt on", false, S5933::kIntWriteCompleteEnable, 1, 0, false},
    };
    S5933 &chip = board->acquisition_cards().front()->chip;
    const uint32_t intcsr = Extension(u"\\DosDevices\\AcqA0")->PortBase[0] + S5933::kIntcsr;
    qorsim::InProcess in(*program);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE h = row.open ? Open("\\\\.\\AcqA0") : INVALID_HANDLE_VALUE;
        ASSERT_EQ(h != INVALID_HANDLE_VALUE, row.open);
        sim().ports.write(intcsr, 4, row.enables);
        chip.raise(S5933::kIntWriteCompleteFlag);
        sim().dpcs.drain();
        const uint64_t before = sim().dpcs.executed();
        EXPECT_EQ(Pci("AMCC S5933").raise_interrupt(), row.claims);
        sim().dpcs.drain();
        EXPECT_EQ(sim().dpcs.executed() - before, row.dpcs);
        EXPECT_EQ((sim().ports.read(intcsr, 4) & S5933::kIntWriteCompleteFlag) != 0, row.flagLeft)
            << "the flag is acknowledged only with the interrupt claimed";
        sim().ports.write(intcsr, 4, S5933::kIntWriteCompleteFlag); // acknowledged, interrupts off
        if (row.open) {
            ASSERT_TRUE(CloseHandle(h));
        }
    }
    EXPECT_TRUE(sim().verifier.violations().empty()) << sim().verifier.violations().front();
}

// Port requests reach the card's own register range only: its BAR declares 0x20 bytes.
// The first S5933 card's range is at 0xE040; the second card's bridge registers are at
// 0xE400, so offset 0x3E4 from the first card is the second card's MWAR.
TEST_F(SampleDriverRules, PortRequestsStayInsideTheCardsRegisterRange)
{
    struct Row { const char *name; ULONG code; USHORT offset, width; bool allowed; };
    const Row rows[] = {
        {"last dword of the range", ACQ_IOCTL_PORT_READ, 0x1C, 4, true},
        {"first byte", ACQ_IOCTL_PORT_WRITE, 0x00, 1, true},
        {"dword crossing the end", ACQ_IOCTL_PORT_READ, 0x1E, 4, false},
        {"just past the end", ACQ_IOCTL_PORT_WRITE, 0x20, 1, false},
        {"another card's bus-master address", ACQ_IOCTL_PORT_WRITE, 0x3E4, 4, false},
        {"offset that wraps the port space", ACQ_IOCTL_PORT_WRITE, 0xFFFF, 2, false},
    };
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqA0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const ULONG base = Extension(u"\\DosDevices\\AcqA0")->PortBase[1];
    ASSERT_EQ(base, 0xE040u);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QorPortIoRequest request{};
        request.Offset = row.offset;
        request.Width = row.width;
        request.Value = 0x12345678;
        sim().ports.clear_trace();
        DWORD n = 0;
        const int ok = DeviceIoControl(h, row.code, &request, sizeof request, &request, sizeof request, &n, nullptr);
        const auto trace = accesses();
        if (row.allowed) {
            EXPECT_TRUE(ok);
            ASSERT_EQ(trace.size(), 1u);
            EXPECT_EQ(trace[0].port, base + row.offset);
            EXPECT_EQ(trace[0].write, row.code == ACQ_IOCTL_PORT_WRITE);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), kInvalidParameter);
            EXPECT_TRUE(trace.empty()) << "first access: " << qorsim::describe(trace[0]);
        }
    }
    // The digital output, a 2-byte port at 0x0A of the range, takes the requested byte
    // merged into what it holds.
    QorPioRequest dio{};
    dio.ByteCount = 1;
    dio.Value = 0x5A;
    sim().ports.clear_trace();
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DIO_WRITE, &dio, sizeof dio, &dio, sizeof dio, &n, nullptr));
    const auto trace = accesses();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0], In(2, base + 0x0A, trace[0].value));
    EXPECT_EQ(trace[1], Out(2, base + 0x0A, (trace[0].value & 0xFF00) | 0x5A));
    EXPECT_TRUE(CloseHandle(h));
}

// A synchronous start pends until the card's transfer ends. Either the card ends it (the
// DPC completes the request, after taking its cancel routine back), or the program closes
// its handle first: the cleanup cancels the request and stops the chip.
TEST_F(SampleDriverRules, APendingSynchronousStartEndsByTheCardOrByTheProgramsClose)
{
    for (bool cardRuns : {true, false}) {
        SCOPED_TRACE(cardRuns ? "the card ends the transfer" : "the program closes its handle");
        qorsim::InProcess in(*program);
        HANDLE h = Open("\\\\.\\AcqA0");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        QorDbx *dbx = Extension(u"\\DosDevices\\AcqA0")->Buffers[0];
        std::atomic<int> ok{-1};
        std::atomic<DWORD> error{0};
        qorsim::UserThread caller([&] {
            qorsim::InProcess in(*program);
            QorContRequest start{};
            start.SampleCount = 64;
            start.ListCount = 1;
            start.SyncMode = 1;
            DWORD n = 0;
            const int result = DeviceIoControl(h, ACQ_IOCTL_START(0), &start, sizeof start, &start, 2, &n, nullptr);
            error = GetLastError();
            ok = result;
        });
        // The request is pending once the library holds it and the driver has started the
        // chip (the start follows the library's step, so wait for both).
        auto *card = board->acquisition_cards()[0];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((__atomic_load_n(&dbx->PendingIrp, __ATOMIC_ACQUIRE) == nullptr || !card->transfer_pending())
               && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(card->transfer_pending());
        if (cardRuns) {
            ASSERT_TRUE(card->run_transfer());
            caller.join();
            EXPECT_EQ(ok, 1);
            EXPECT_TRUE(CloseHandle(h));
        } else {
            EXPECT_TRUE(CloseHandle(h));
            caller.join();
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(error, kOperationAborted);
            EXPECT_FALSE(card->chip.transfer_enabled(qorsim::models::S5933::Direction::Input))
                << "the chip was left running";
        }
        sim().dpcs.drain();
    }
}

// A program that still holds a card's handle when the drivers unload (the devices are
// deleted) only loses the handle at its exit: no request reaches the deleted device.
TEST_F(SampleDriverRules, AHandleOutlivingTheUnloadIsClosedWithoutRequests)
{
    {
        qorsim::InProcess in(*program);
        ASSERT_NE(Open("\\\\.\\AcqA0"), INVALID_HANDLE_VALUE);
    }
    sim().dpcs.drain();
    driver.reset();
    library.reset();
    EndPrograms();
    EXPECT_EQ(qorsim::user_handle_count(), 0u);
}

// ---- the PLX cards' own transfers ----------------------------------------------------

struct ScatterResult { bool ok; DWORD error; };

ScatterResult Scatter(HANDLE h, unsigned kind, uintptr_t buffer, ULONG bytes)
{
    AcqScatterRequest request{};
    request.Buffer = static_cast<ULONG>(buffer);
    request.Bytes = bytes;
    DWORD n = 0;
    const bool ok = DeviceIoControl(h, ACQ_IOCTL_SCATTER(kind), &request, sizeof request, &request, 2, &n, nullptr);
    return {ok && n == 2 && request.Status == QorOk, ok ? 0 : GetLastError()};
}

// A 9080 card moves data straight between its FIFO and the program's own memory: the
// buffer starts inside a page, so the chain has a piece per page touched, and the pages
// are unlocked when the request completes.
TEST_F(SampleDriverRules, APlx9080MovesTheProgramsOwnBufferThroughItsChain)
{
    constexpr ULONG kOffset = 0x100, kBytes = 3 * kPage;
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqC0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto *base = static_cast<uint8_t *>(VirtualAlloc(nullptr, 4 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    uint8_t *buffer = base + kOffset;
    auto &chip = board->plx9080();

    ASSERT_TRUE(Scatter(h, QOR_KIND_ANALOG_INPUT, reinterpret_cast<uintptr_t>(buffer), kBytes).ok);
    EXPECT_EQ(chip.last_walk(0).descriptors, 4u);
    EXPECT_EQ(chip.last_walk(0).error, "");
    for (ULONG i = 0; i < kBytes / 2; ++i) {
        uint16_t sample;
        std::memcpy(&sample, buffer + 2 * i, 2);
        ASSERT_EQ(sample, static_cast<uint16_t>(i)) << "sample " << i;
    }
    EXPECT_EQ(sim().mdls.live(), 0u) << "the program's pages stay locked";

    for (ULONG i = 0; i < kBytes; ++i)
        buffer[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_TRUE(Scatter(h, QOR_KIND_ANALOG_OUTPUT, reinterpret_cast<uintptr_t>(buffer), kBytes).ok);
    EXPECT_EQ(chip.last_walk(1).descriptors, 4u);
    EXPECT_EQ(board->plx9080_fifo().played(), std::vector<uint8_t>(buffer, buffer + kBytes));
    EXPECT_EQ(sim().mdls.live(), 0u);
    EXPECT_FALSE(chip.interrupt_pending(0) || chip.interrupt_pending(1)) << "the interrupt routine acknowledges";
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
    EXPECT_TRUE(CloseHandle(h));
}

// What the driver refuses starts no channel and locks nothing; the library's starts run
// the S5933's bus master only.
TEST_F(SampleDriverRules, ScatterTransfersTheCardCannotRunAreRefused)
{
    struct Row { const char *name, *card; ULONG code; uintptr_t address; ULONG bytes; DWORD error; };
    constexpr uintptr_t kMapped = 1; // stands for the program's own buffer
    const Row rows[] = {
        {"on an S5933 card", "\\\\.\\AcqA0", ACQ_IOCTL_SCATTER(0), kMapped, kPage, kInvalidFunction},
        {"of a digital buffer", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(2), kMapped, kPage, kInvalidFunction},
        {"a library start on a 9080", "\\\\.\\AcqC0", ACQ_IOCTL_START(0), 0, 0, kInvalidFunction},
        {"a library start on a 9050 (no bus master)", "\\\\.\\AcqB0", ACQ_IOCTL_START(0), 0, 0, kInvalidFunction},
        {"a library stop on a 9080", "\\\\.\\AcqC0", ACQ_IOCTL_STOP(0), 0, 0, kInvalidFunction},
        {"the dual pair on an S5933 card", "\\\\.\\AcqA0", ACQ_IOCTL_DUAL_INT_GET, 0, 0, kInvalidFunction},
        // Rows of the length table whose low bits name no buffer kind are not this driver's
        // requests: they must not reach the library without a buffer object.
        {"the progress group's row without a kind", "\\\\.\\AcqA0", QOR_IOCTL_CODE(0x830), 0, 0, kInvalidFunction},
        {"the scatter group's row without a kind", "\\\\.\\AcqC0", QOR_IOCTL_CODE(0x82B), kMapped, kPage,
         kInvalidFunction},
        {"no bytes", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), kMapped, 0, kInvalidParameter},
        {"a count of half words", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), kMapped, 6, kInvalidParameter},
        {"an address of half words", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), kMapped + 2, 8, kInvalidParameter},
        {"kernel memory", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), 0x80000000u, kPage, kInvalidParameter},
        {"a range that wraps", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), 0x7FFEF000u, 2 * kPage, kInvalidParameter},
        {"more pieces than descriptors", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), 0x10000000u, 4097 * kPage,
         kInvalidParameter},
        {"memory the program does not have", "\\\\.\\AcqC0", ACQ_IOCTL_SCATTER(0), 0x10000000u, kPage,
         kInvalidUserBuffer},
    };
    qorsim::InProcess in(*program);
    const uintptr_t mapped = reinterpret_cast<uintptr_t>(VirtualAlloc(nullptr, kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(mapped, 0u);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE h = Open(row.card);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        // The library's rows get a record that passes validation (a start with one list entry,
        // 16 bytes for the row without a kind).
        const bool scatter = QOR_IOCTL_FUNCTION(row.code) <= 0x830;
        union {
            AcqScatterRequest scatter;
            QorContRequest start;
            QorAsyResult stop;
            QorDualIntRequest dual;
        } request{};
        request.scatter.Buffer = static_cast<ULONG>(row.address < 4 ? mapped + row.address - kMapped : row.address);
        request.scatter.Bytes = row.bytes;
        request.start.ListCount = 1;
        const DWORD in = scatter ? sizeof request.scatter : row.code == ACQ_IOCTL_START(0) ? sizeof request.start : 0;
        DWORD n = 0;
        EXPECT_FALSE(DeviceIoControl(h, row.code, &request, in, &request, sizeof request, &n, nullptr));
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(sim().mdls.live(), 0u);
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(board->plx9080().starts(0) + board->plx9080().starts(1), 0u);
}

// A transfer that has not ended holds its channel (a second one is busy) until the program
// closes its handle: the cleanup aborts the channel and gives the pages back.
TEST_F(SampleDriverRules, APendingScatterTransferEndsWithTheProgramsClose)
{
    auto &chip = board->plx9080();
    chip.attach_local_bus(nullptr); // the channel runs until it is aborted
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqC0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const uintptr_t buffer = reinterpret_cast<uintptr_t>(VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    QorDbx *dbx = Extension(u"\\DosDevices\\AcqC0")->Buffers[QOR_KIND_ANALOG_INPUT];
    std::atomic<bool> done{false};
    ScatterResult first{};
    qorsim::UserThread caller([&] {
        qorsim::InProcess in(*program);
        first = Scatter(h, QOR_KIND_ANALOG_INPUT, buffer, 2 * kPage);
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (__atomic_load_n(&dbx->PendingIrp, __ATOMIC_ACQUIRE) == nullptr && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    // The driver starts the channel under the buffer's lock once PendingIrp is set: taking
    // the lock waits for the start.
    KfReleaseSpinLock(&dbx->Lock, KfAcquireSpinLock(&dbx->Lock));
    ASSERT_TRUE(chip.running(0));
    EXPECT_EQ(sim().mdls.locked_pages(), 2u);
    const ScatterResult second = Scatter(h, QOR_KIND_ANALOG_INPUT, buffer, kPage);
    EXPECT_FALSE(second.ok);
    EXPECT_EQ(second.error, kBusy);
    EXPECT_FALSE(done);

    EXPECT_TRUE(CloseHandle(h));
    caller.join();
    EXPECT_FALSE(first.ok);
    EXPECT_EQ(first.error, kOperationAborted);
    EXPECT_FALSE(chip.running(0)) << "the channel was left running";
    EXPECT_EQ(chip.aborts(0), 1u);
    EXPECT_EQ(sim().mdls.live(), 0u);
    sim().dpcs.drain();
}

// The 9050's local inputs are levels the card holds until the program has read what they
// announce: the interrupt masks the input that raised it, so the line does not fire again,
// and the program's next arming lets it through again.
TEST_F(SampleDriverRules, APlx9050InputIsMaskedByItsInterruptUntilTheProgramArmsItAgain)
{
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqB0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto &chip = board->plx9050();
    auto arm = [&] {
        QorDualIntRequest set{};
        set.Int1Enable = 1;
        set.Int1Polarity = 1;
        DWORD n = 0;
        ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DUAL_INT_SET, &set, sizeof set, &set, 2, &n, nullptr));
    };
    arm();
    chip.set_lint_asserted(1, true);
    PKEVENT first = sim().events.find(u"\\BaseNamedObjects\\AcqB04"); // the pair's first event
    ASSERT_NE(first, nullptr);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        sim().dpcs.drain();
        const uint64_t before = sim().dpcs.executed(), pulses = qorsim::event_set_count(first);
        EXPECT_EQ(Pci("PLX PCI 9050").raise_interrupt(), 1u);
        EXPECT_EQ(chip.intcsr_low() & (PLX9050_INTCSR_LINT1_ENABLE | PLX9050_INTCSR_PCI_INT_ENABLE),
                  PLX9050_INTCSR_PCI_INT_ENABLE);
        EXPECT_EQ(Pci("PLX PCI 9050").raise_interrupt(), 0u) << "the masked input interrupts again";
        QorDualIntRequest got{};
        DWORD n = 0;
        ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DUAL_INT_GET, nullptr, 0, &got, sizeof got, &n, nullptr));
        EXPECT_EQ(got.Int1Enable, 0);
        EXPECT_EQ(got.Int1Status, 1);
        sim().dpcs.drain();
        EXPECT_EQ(sim().dpcs.executed() - before, 1u);
        EXPECT_EQ(qorsim::event_set_count(first), pulses + 1) << "the DPC pulses the first event";
        arm();
    }
    chip.set_lint_asserted(1, false);
    sim().ports.clear_trace();
    EXPECT_TRUE(CloseHandle(h));
    for (const auto &a : accesses())
        EXPECT_FALSE(a.write && a.port == 0xD053) << "the last close reset the 9050's local bus";
}

// An input whose level dropped between its interrupt and the DPC (the card's logic was
// served meanwhile) is enabled again by the DPC, with the PCI interrupt and the other
// input's enable left as they were; the DPC pulses only the served input's event: event 4
// for LINTi1, event 6 for LINTi2.
TEST_F(SampleDriverRules, AnInputThatDroppedBeforeItsDpcIsEnabledAgainAndOnlyItsEventPulses)
{
    struct Row { const char *name; bool lint1, lint2; };
    const Row rows[] = {{"LINTi1", true, false}, {"LINTi2", false, true}, {"both", true, true}};
    constexpr uint32_t kEnables =
        PLX9050_INTCSR_LINT1_ENABLE | PLX9050_INTCSR_LINT2_ENABLE | PLX9050_INTCSR_PCI_INT_ENABLE;
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqB0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto &chip = board->plx9050();
    PKEVENT data = sim().events.find(u"\\BaseNamedObjects\\AcqB04");
    PKEVENT overflow = sim().events.find(u"\\BaseNamedObjects\\AcqB06");
    ASSERT_NE(data, nullptr);
    ASSERT_NE(overflow, nullptr);
    sim().dpcs.observe([&](PKDPC) {
        chip.set_lint_asserted(1, false);
        chip.set_lint_asserted(2, false);
    });
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QorDualIntRequest set{};
        set.Int1Enable = set.Int2Enable = 1;
        set.Int1Polarity = set.Int2Polarity = 1;
        DWORD n = 0;
        ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DUAL_INT_SET, &set, sizeof set, &set, 2, &n, nullptr));
        sim().dpcs.drain();
        const uint64_t dataPulses = qorsim::event_set_count(data), overflowPulses = qorsim::event_set_count(overflow);
        chip.set_lint_asserted(1, row.lint1);
        chip.set_lint_asserted(2, row.lint2);
        EXPECT_EQ(Pci("PLX PCI 9050").raise_interrupt(), 1u);
        sim().dpcs.drain();
        EXPECT_EQ(qorsim::event_set_count(data) - dataPulses, row.lint1 ? 1u : 0u);
        EXPECT_EQ(qorsim::event_set_count(overflow) - overflowPulses, row.lint2 ? 1u : 0u);
        EXPECT_EQ(chip.intcsr_low() & kEnables, kEnables) << "the DPC enables what it served, and only adds";
    }
    sim().dpcs.observe(nullptr);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(sim().verifier.violations().empty()) << sim().verifier.violations().front();
}

// An interrupt's DPC that runs only after the last close finds the card closed: it leaves
// the buffers and events alone and gives the card's lock back (the next open takes it).
TEST_F(SampleDriverRules, ADpcThatFindsTheCardClosedSinceItsInterruptDoesNothing)
{
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqB0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QorDualIntRequest set{};
    set.Int1Enable = 1;
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DUAL_INT_SET, &set, sizeof set, &set, 2, &n, nullptr));
    std::promise<void> closed;
    std::shared_future<void> released = closed.get_future().share();
    sim().dpcs.observe([released](PKDPC) { released.wait(); });
    board->plx9050().set_lint_asserted(1, true);
    EXPECT_EQ(Pci("PLX PCI 9050").raise_interrupt(), 1u);
    EXPECT_TRUE(CloseHandle(h)); // the DPC waits until the close is done
    closed.set_value();
    sim().dpcs.drain();
    sim().dpcs.observe(nullptr);
    board->plx9050().set_lint_asserted(1, false);
    h = Open("\\\\.\\AcqB0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

// A second opener that asks for the description again on the same handle gets its first
// answer: the library maps new views for every query of a second opener.
TEST_F(SampleDriverRules, RepeatedDescriptionQueriesOfOneHandleMapNothingNew)
{
    qorsim::Process &second = sim().processes.create("second");
    {
        qorsim::InProcess in(*program);
        ASSERT_NE(Open("\\\\.\\AcqA0"), INVALID_HANDLE_VALUE);
    }
    qorsim::InProcess in(second);
    HANDLE h = Open("\\\\.\\AcqA0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QorDesp first{}, again{};
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &first, sizeof first, &n, nullptr));
    const size_t views = second.views().size();
    EXPECT_GT(views, 0u);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &again, sizeof again, &n, nullptr));
    EXPECT_EQ(second.views().size(), views);
    EXPECT_EQ(std::memcmp(&first, &again, sizeof first), 0);
    EXPECT_EQ(first.OpenCount, 1);
    static_cast<uint16_t *>(Extension(u"\\DosDevices\\AcqA0")->Buffers[0]->Whole.KernelAddr)[5] = 0xBEEF;
    EXPECT_EQ(reinterpret_cast<uint16_t *>(first.Buffers[0].UserAddress0)[5], 0xBEEF) << "the card's samples";
    HANDLE other = Open("\\\\.\\AcqA0"); // another handle of the same program
    ASSERT_TRUE(DeviceIoControl(other, ACQ_IOCTL_GET_DESP, nullptr, 0, &again, sizeof again, &n, nullptr));
    EXPECT_TRUE(CloseHandle(other));
    const size_t withOther = second.views().size();
    ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &again, sizeof again, &n, nullptr));
    EXPECT_EQ(second.views().size(), withOther) << "another handle's close forgot this handle's answer";
    EXPECT_TRUE(CloseHandle(h));
    sim().processes.end(second);
}

} // namespace
