// Several programs on one card at once, as users run them: opening and closing together,
// one program's acquisition against another program's requests, and requests aimed at
// registers a card does not have.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/sample_machine_fixture.h"
#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "address_space.h"
#include "machine_file.h"
#include "models/plx9050.h"
#include "qor_plx9080.h"

namespace {

constexpr const char *kCard = "\\\\.\\AcqA0";
constexpr DWORD kInvalidFunction = 1;
constexpr DWORD kAccessDenied = 5;

template <class Record> bool Send(HANDLE h, DWORD code, Record &record, DWORD in, DWORD out)
{
    DWORD n = 0;
    return DeviceIoControl(h, code, &record, in, &record, out, &n, nullptr) != 0;
}

class SamplePrograms : public SampleMachineTest {
protected:
    qorsim::Process *a = nullptr, *b = nullptr;

    void SetUp() override
    {
        SampleMachineTest::SetUp();
        a = &CreateProgram("a");
        b = &CreateProgram("b");
    }
    QorDbx *Buffer(ULONG kind)
    {
        auto *ext = static_cast<QorDevExt *>(sim().objects.resolve(u"\\DosDevices\\AcqA0")->DeviceExtension);
        return ext->Buffers[kind];
    }
    QorDbx *AnalogInput() { return Buffer(QOR_KIND_ANALOG_INPUT); }
    // Opens the card in the calling program and starts one asynchronous pass of 64 samples
    // of `kind`; INVALID_HANDLE_VALUE (and a failure recorded) when either is refused.
    static HANDLE OpenAndStart(ULONG kind)
    {
        HANDLE h = Open(kCard);
        QorContRequest start{};
        start.SampleCount = 64;
        start.ListCount = 1;
        if (h != INVALID_HANDLE_VALUE && Send(h, ACQ_IOCTL_START(kind), start, sizeof start, 2) && start.Status == QorOk)
            return h;
        ADD_FAILURE() << "kind " << kind << ": open or start refused, status " << start.Status;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
};

// Two copies of the sample program start together, a thousand times over. Each round one
// program (or each in turn) owns the acquisition and reads every sample; the other finds
// the card busy and leaves the acquisition alone. Opens and closes overlap all the time:
// a close taken for the last while another program holds the card would close the events
// under it.
TEST_F(SamplePrograms, TwoProgramsOpeningAcquiringAndClosingOneCardAtOnceLoseNothing)
{
    constexpr int kRounds = 1000;
    constexpr unsigned long kHalves = 2;
    qorsim::CardRunner cards(board->acquisition_cards());
    unsigned owners = 0, refused = 0;
    for (int round = 0; round < kRounds; ++round) {
        AcqAppReport reports[2];
        int ok[2] = {0, 0};
        auto run = [&](int i) {
            qorsim::InProcess in(i == 0 ? *a : *b);
            AcqAppOptions options{kCard, kHalves, 10000};
            ok[i] = AcqAppRun(&options, &reports[i]);
        };
        qorsim::UserThread first([&] { run(0); }), second([&] { run(1); });
        first.join();
        second.join();
        unsigned ownersThisRound = 0;
        for (int i = 0; i < 2; ++i) {
            const AcqAppReport &r = reports[i];
            SCOPED_TRACE("round " + std::to_string(round) + " program " + std::to_string(i));
            if (ok[i]) {
                ++ownersThisRound;
                ASSERT_EQ(r.halvesRead, kHalves);
                ASSERT_EQ(r.samplesLost + r.sequenceErrors + r.overruns, 0u);
                ASSERT_EQ(r.stop.Stopped, 1);
                continue;
            }
            // The only way to fail is to find the other program's acquisition running.
            ASSERT_NE(r.failedStep, nullptr);
            const std::string step = r.failedStep;
            ASSERT_TRUE(step == "switch double-buffer mode on" || step == "start the acquisition") << step;
            ASSERT_EQ(r.refusal, QorErrBusy);
            ASSERT_EQ(r.lastError, 0u);
            ASSERT_EQ(r.halvesRead, 0u);
            ++refused;
        }
        ASSERT_GE(ownersThisRound, 1u) << "nobody acquired";
        owners += ownersThisRound;
    }
    EXPECT_EQ(owners + refused, 2u * kRounds);
    EXPECT_TRUE(sim().verifier.violations().empty()) << sim().verifier.violations().front();
    EXPECT_EQ(sim().handles.open_count(), 0u);
}

// Only the handle that started a transfer stops it while it runs; the starter's close
// stops it even when another program keeps the card open.
TEST_F(SamplePrograms, OnlyTheStartingHandleStopsARunningTransfer)
{
    struct Row { const char *name; bool startFirst; bool stopByOther; bool allowed; };
    const Row rows[] = {
        {"the starter stops its own transfer", true, false, true},
        {"another program stops a running transfer", true, true, false},
        {"another program stops an idle buffer", false, true, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE owner, other;
        {
            qorsim::InProcess in(*a);
            owner = Open(kCard);
        }
        {
            qorsim::InProcess in(*b);
            other = Open(kCard);
        }
        ASSERT_NE(owner, INVALID_HANDLE_VALUE);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        if (row.startFirst) {
            qorsim::InProcess in(*a);
            QorContRequest start{};
            start.SampleCount = 64;
            start.ListCount = 1;
            ASSERT_TRUE(Send(owner, ACQ_IOCTL_START(0), start, sizeof start, 2));
            ASSERT_EQ(start.Status, QorOk);
        }
        {
            qorsim::InProcess in(row.stopByOther ? *b : *a);
            QorAsyResult stop{};
            const bool sent = Send(row.stopByOther ? other : owner, ACQ_IOCTL_STOP(0), stop, 0, sizeof stop);
            EXPECT_EQ(sent, row.allowed);
            if (!row.allowed) {
                EXPECT_EQ(GetLastError(), kAccessDenied);
            }
        }
        EXPECT_EQ((AnalogInput()->Flags & DbxBusy) != 0, row.startFirst && !row.allowed) << "the transfer runs on";
        {
            qorsim::InProcess in(*a);
            EXPECT_TRUE(CloseHandle(owner));
        }
        EXPECT_EQ(AnalogInput()->Flags & DbxBusy, 0) << "the starter's close stops its transfer";
        EXPECT_FALSE(board->acquisition_cards().front()->chip.transfer_enabled(qorsim::models::S5933::Direction::Input));
        qorsim::InProcess in(*b);
        EXPECT_TRUE(CloseHandle(other));
    }
}

// A starter's close stops the transfer it started, whichever buffer kind that is, while
// another program keeps the card open.
TEST_F(SamplePrograms, TheStartersCloseStopsItsTransferOfEveryKind)
{
    HANDLE other;
    {
        qorsim::InProcess in(*b);
        other = Open(kCard);
    }
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    for (ULONG kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        ASSERT_NE(Buffer(kind), nullptr);
        qorsim::InProcess in(*a);
        HANDLE owner = OpenAndStart(kind);
        ASSERT_NE(owner, INVALID_HANDLE_VALUE);
        EXPECT_NE(Buffer(kind)->Flags & DbxBusy, 0);
        EXPECT_TRUE(CloseHandle(owner));
        EXPECT_EQ(Buffer(kind)->Flags & DbxBusy, 0) << "the transfer outlived its starter's handle";
    }
    qorsim::InProcess in(*b);
    EXPECT_TRUE(CloseHandle(other));
}

// The card's bus-master write ending is the end of a block for whichever input buffer runs
// on it: a single pass of the digital input ends with its interrupt as the analog's does.
TEST_F(SamplePrograms, AnInputBlockEndsItsBufferOfEitherKind)
{
    using qorsim::models::S5933;
    S5933 &chip = board->acquisition_cards().front()->chip;
    qorsim::PciFunction *pci = nullptr;
    for (const auto &card : board->cards())
        if (pci == nullptr && card.family == "AMCC S5933")
            pci = card.pci; // the first S5933 card, \\.\AcqA0
    ASSERT_NE(pci, nullptr);
    qorsim::InProcess in(*a);
    for (ULONG kind : {ULONG(QOR_KIND_ANALOG_INPUT), ULONG(QOR_KIND_DIGITAL_INPUT)}) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        HANDLE h = OpenAndStart(kind);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_NE(Buffer(kind)->Flags & DbxBusy, 0);
        chip.complete_transfer(S5933::Direction::Input);
        EXPECT_EQ(pci->raise_interrupt(), 1u);
        sim().dpcs.drain();
        EXPECT_EQ(Buffer(kind)->Flags & DbxBusy, 0) << "the block's end did not end the pass";
        EXPECT_TRUE(CloseHandle(h));
    }
}

// The sample program's run on a 9050 card: it waits on event 4 for the FIFO's level,
// drains the FIFO through port requests and arms again. The default machine's FIFO holds
// 4096 samples, announces 1024 and fills at 200,000 samples/s: its level comes 5.12 ms
// after a drain, an overflow 20.48 ms after. A program that works longer than that after
// each drain misses the pulse (the wait times out, the dual-interrupt get shows the input
// active), and one that works longer still misses an overflow, which the card announced on
// event 6 (the get shows LINTi2 masked by the interrupt) and counted, the one after the
// last block too. The program works after each drain, so only its first wait sees a
// pulse. Every sample the card made is read or counted lost.
TEST_F(SamplePrograms, TheFifoRunOfA9050AccountsForEverySample)
{
    struct Row {
        const char *name;
        DWORD workMs, waitMs;
        unsigned long missed, overflows;
        bool exactBlocks; // every drain finds exactly the level's 1024 samples
    };
    const Row rows[] = {
        {"a program that keeps up", 0, 100, 0, 0, true},
        {"the pulse comes while the program works", 6, 2, 19, 0, false},
        {"the FIFO overflows while the program works", 30, 2, 19, 20, false},
    };
    constexpr unsigned long kBlocks = 20;
    auto &fifo = board->plx9050_fifo();
    auto &chip = board->plx9050();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const uint64_t producedBefore = fifo.produced(), raisedBefore = chip.interrupts_raised();
        // A second program keeps the card, and with it the pair's events, open past the
        // run, so that event 6's pulses can be counted: one for each overflow, no more.
        HANDLE watch = INVALID_HANDLE_VALUE;
        {
            qorsim::InProcess in(*b);
            watch = Open("\\\\.\\AcqB0");
        }
        ASSERT_NE(watch, INVALID_HANDLE_VALUE);
        PKEVENT overflowEvent = sim().events.find(u"\\BaseNamedObjects\\AcqB06");
        ASSERT_NE(overflowEvent, nullptr);
        const uint64_t overflowPulsesBefore = qorsim::event_set_count(overflowEvent);
        AcqAppReport report;
        int ok = 0;
        {
            qorsim::CardRunner cards(board->paced_cards());
            qorsim::UserThread program([&] {
                qorsim::InProcess in(*a);
                AcqAppOptions options{"\\\\.\\AcqB0", kBlocks, row.waitMs, row.workMs};
                ok = AcqAppFifoRun(&options, &report);
            });
            program.join();
        }
        EXPECT_EQ(qorsim::event_set_count(overflowEvent) - overflowPulsesBefore, report.overflows)
            << "event 6 pulsed without an overflow, or an overflow went unannounced";
        {
            qorsim::InProcess in(*b);
            EXPECT_TRUE(CloseHandle(watch));
        }
        ASSERT_TRUE(ok) << report.failedStep << " " << report.lastError;
        EXPECT_EQ(report.halvesRead, kBlocks);
        EXPECT_EQ(report.samplesPerHalf, 1024u);
        EXPECT_EQ(report.sequenceErrors, 0u);
        EXPECT_EQ(report.missedPulses, row.missed);
        EXPECT_EQ(report.overflows, row.overflows);
        EXPECT_EQ(report.samplesLost != 0, row.overflows != 0);
        if (row.exactBlocks) {
            EXPECT_EQ(report.samplesRead, kBlocks * 1024);
        }
        EXPECT_EQ(fifo.fill(), 0u) << "the program drains the FIFO after stopping the pacer";
        EXPECT_EQ(report.samplesRead + report.samplesLost, fifo.produced() - producedBefore)
            << "a sample neither read nor counted lost";
        EXPECT_EQ(fifo.underruns(), 0u) << "the program read more than the FIFO held";
        EXPECT_EQ(chip.left_asserted(), 0u) << "an interrupt routine left the line asserted";
        EXPECT_GE(chip.interrupts_raised() - raisedBefore, kBlocks);
        EXPECT_FALSE(fifo.running()) << "the program stopped the pacer";
    }
}

// The 9080's local interrupt input is a level the sample driver has no use for; it is
// enabled with every channel start. Active and enabled, it is claimed and masked, so the
// shared line does not interrupt for as long as the card holds it; disabled, or with the
// PCI interrupt off, it is not claimed.
TEST_F(SamplePrograms, APlx9080LocalInputIsClaimedAndMasked)
{
    struct Row { const char *name; uint32_t intcsr; unsigned claims; uint32_t after; };
    constexpr uint32_t kPci = PLX9080_INTCSR_PCI_INT_ENABLE, kLocal = PLX9080_INTCSR_LOCAL_INPUT_ENABLE;
    const Row rows[] = {
        {"enabled", kPci | kLocal, 1, kPci},
        {"input disabled", kPci, 0, kPci},
        {"PCI interrupt off", kLocal, 0, kLocal},
    };
    qorsim::PciFunction *pci = nullptr;
    for (const auto &card : board->cards())
        if (card.family == "PLX PCI 9080")
            pci = card.pci;
    ASSERT_NE(pci, nullptr);
    auto &chip = board->plx9080();
    qorsim::InProcess in(*a);
    HANDLE h = Open("\\\\.\\AcqC0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        sim().ports.write(0xC000 + PLX9080_INTCSR, 4, row.intcsr);
        chip.set_local_input(true);
        EXPECT_EQ(pci->raise_interrupt(), row.claims);
        EXPECT_EQ(sim().ports.read(0xC000 + PLX9080_INTCSR, 4) & (kPci | kLocal), row.after);
        EXPECT_EQ(pci->raise_interrupt(), 0u) << "the line interrupts again";
        chip.set_local_input(false);
        sim().dpcs.drain();
    }
    sim().ports.write(0xC000 + PLX9080_INTCSR, 4, 0);
    EXPECT_TRUE(CloseHandle(h));
}

// A 9050 card whose register range is shorter than the sample driver's registers, or
// absent: the digital and counter requests reach no port beyond the range (another PCI
// function's, or with no range the PC's DMA controller at the bare offsets).
class SampleShortRange : public SimTest {
protected:
    std::unique_ptr<qorsim::BuiltMachine> board;
    std::unique_ptr<qorsim::LoadedDriver> library, driver;
    qorsim::Process *program = nullptr;

    void Boot(uint32_t registerBytes)
    {
        qorsim::MachineSpec machineFile = qorsim::default_machine_spec();
        for (qorsim::CardSpec &card : machineFile.cards)
            if (card.bridge == "plx9050") {
                card.bars[2].present = registerBytes != 0;
                card.bars[2].length = registerBytes;
            }
        board = std::make_unique<qorsim::BuiltMachine>(machineFile);
        library = std::make_unique<qorsim::LoadedDriver>("qorpelk", QOR_LIBRARY_ENTRY, "");
        ASSERT_EQ(library->load(), STATUS_SUCCESS);
        driver = std::make_unique<qorsim::LoadedDriver>("acqdrv", DriverEntry, qorsim::DefaultMachine::kServiceKeyAscii);
        ASSERT_EQ(driver->load(), STATUS_SUCCESS);
        program = &sim().processes.create("program");
    }
    void TearDown() override
    {
        sim().dpcs.drain();
        driver.reset();
        library.reset();
        if (program != nullptr)
            sim().processes.end(*program);
        board.reset();
        SimTest::TearDown();
    }
};

TEST_F(SampleShortRange, DigitalAndCounterRequestsStayInsideTheCardsRegisterRange)
{
    struct Request { const char *name; ULONG code; };
    const Request requests[] = {
        {"digital read", ACQ_IOCTL_DIO_READ},
        {"digital write", ACQ_IOCTL_DIO_WRITE},
        {"counter set", ACQ_IOCTL_COUNTER_SET},
        {"counter get", ACQ_IOCTL_COUNTER_GET},
    };
    struct Row { const char *name; uint32_t bytes; bool served; };
    const Row rows[] = {
        {"a range of 0x20 holds them all", 0x20, true},
        {"a range of 8 bytes holds none", 8, false},
        {"no register range", 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Boot(row.bytes);
        {
            qorsim::InProcess in(*program);
            HANDLE h = SampleMachineTest::Open("\\\\.\\AcqB0");
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            for (const Request &request : requests) {
                SCOPED_TRACE(request.name);
                sim().ports.clear_trace();
                const bool digital = request.code == ACQ_IOCTL_DIO_READ || request.code == ACQ_IOCTL_DIO_WRITE;
                QorPioRequest pio{};
                pio.ByteCount = 2;
                pio.Value = 0x5A5A;
                QorCounterRequest counter{};
                counter.Counter = 2;
                counter.Mode = 3;
                counter.Count = 1000;
                const bool sent = digital ? Send(h, request.code, pio, sizeof pio, sizeof pio)
                                          : Send(h, request.code, counter, sizeof counter, sizeof counter);
                if (sent) {
                    EXPECT_EQ(digital ? pio.Status : counter.Status, QorOk);
                }
                EXPECT_EQ(sent, row.served);
                if (row.served) {
                    EXPECT_FALSE(accesses().empty());
                    for (const auto &access : accesses())
                        EXPECT_TRUE(access.port >= 0xD100 && access.port < 0xD100 + row.bytes) << describe(access);
                } else {
                    EXPECT_EQ(GetLastError(), kInvalidFunction);
                    EXPECT_TRUE(accesses().empty()) << describe(accesses().front());
                }
            }
            // The bridge's own range is all the interrupt needs: an armed input that
            // becomes active is claimed whatever the card's register range.
            QorDualIntRequest arm{};
            arm.Int1Enable = 1;
            arm.Int1Polarity = 1;
            ASSERT_TRUE(Send(h, ACQ_IOCTL_DUAL_INT_SET, arm, sizeof arm, 2));
            for (const qorsim::BuiltMachine::Card &card : board->cards()) {
                if (card.desc->bridge != "plx9050")
                    continue;
                auto &chip = static_cast<qorsim::models::Plx9050 &>(*card.bridge);
                chip.set_lint_asserted(1, true);
                EXPECT_EQ(card.pci->raise_interrupt(), 1u) << "the card's interrupt went unclaimed";
                chip.set_lint_asserted(1, false);
                sim().dpcs.drain();
            }
            EXPECT_TRUE(CloseHandle(h));
        }
        driver.reset();
        library.reset();
        sim().processes.end(*program);
        program = nullptr;
        board.reset();
        EXPECT_TRUE(sim().verifier.violations().empty());
        sim().reset();
    }
}

} // namespace
