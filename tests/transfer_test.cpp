// The transfer state machine: starts and their refusals, DPC steps in each mode, the
// double-buffer protocol, progress and stop, with the S5933 register traffic they cause.

#include "support/card_fixture.h"
#include "dbx.h"
#include "models/s5933.h"

namespace {

using qorsim::models::S5933;

constexpr ULONG kStartCode = 0xADC021D4;
constexpr uint32_t kChip = 0xE000;

struct Start { ULONG samples = 0; USHORT sync = 0; USHORT repeat = 0; USHORT listCount = 1; USHORT requestFlag = 0; };

class Transfer : public CardTest {
protected:
    S5933 chip;
    qorsim::Process *user = nullptr;

    void SetUp() override {
        CardTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kChip, chip.length(), &chip, "s5933"));
        ext.PortBase[0] = kChip;
        ext.ControllerType = QOR_CONTROLLER_S5933;
        user = &sim().processes.create("acqapp");
    }
    void TearDown() override {
        // The program goes first, and its views of the buffers with it.
        sim().processes.end(*user);
        for (QorDbx *&dbx : ext.Buffers) {
            QorCloseDbx(dbx);
            QorDropDbx(dbx);
            dbx = nullptr;
        }
        sim().ports.release(&chip);
        CardTest::TearDown();
    }

    // A buffer of `bytes` for `kind`, opened as the first open does.
    QorDbx *Buffer(int kind, ULONG kb, USHORT sampleBytes, USHORT listLimit = 4, USHORT flags = 0) {
        AskForBuffer(kind, 8 * sampleBytes, listLimit);
        SetSizeKb(kind == 0 ? u"AI" : kind == 1 ? u"AO" : kind == 2 ? u"DI" : u"DO", kb);
        EXPECT_TRUE(QorSetupBuffer(&find));
        QorDbx *dbx = ext.Buffers[kind];
        qorsim::InProcess in(*user);
        dbx->Flags = DbxBusy | DbxDoubleBuffer; // left by an earlier open: the open clears them
        QorOpenDbx(dbx);
        dbx->SampleBytes = sampleBytes;
        dbx->Flags |= static_cast<USHORT>(flags | ((kind & 1) ? DbxOutput : 0));
        if (!(flags & DbxNoView)) {
            EXPECT_TRUE(QorOpenDbxView(dbx));
        }
        UNICODE_STRING prefix;
        RtlInitUnicodeString(&prefix, u"\\BaseNamedObjects\\Acq0");
        EXPECT_TRUE(QorOpenDbxEvent(dbx, kind, &prefix));
        return dbx;
    }

    // A start as the client's dispatch makes it; returns the library status.
    SHORT StartTransfer(QorDbx *dbx, const Start &s, std::unique_ptr<qorsim::IoctlRequest> *keep = nullptr) {
        std::vector<uint8_t> input(22 + 4 * (s.listCount ? s.listCount - 1 : 0), 0);
        QorContRequest r{};
        r.SampleCount = s.samples;
        r.RequestFlag = s.requestFlag;
        r.RepeatCount = s.repeat;
        r.SyncMode = s.sync;
        r.ListCount = s.listCount;
        std::memcpy(input.data(), &r, sizeof r);
        auto request = std::make_unique<qorsim::IoctlRequest>(kStartCode, input.data(), ULONG(input.size()), 2);
        if (!QorIocCheckBufferLength(request->irp()))
            return request->library_status();
        if (QorIocContPreProc(&ext, dbx, request->irp())) {
            EXPECT_EQ(QorIocContPostProc(&ext, dbx), s.sync == 1 ? STATUS_PENDING : STATUS_SUCCESS);
        }
        const SHORT status = request->library_status();
        if (keep)
            *keep = std::move(request);
        return status;
    }

    struct Half { SHORT status; USHORT ready, half; };
    Half Query(QorDbx *dbx) {
        QorDbfHalfResult r{};
        r.Status = 0x777;
        const BOOLEAN done = QorIocDbfHalfReady(&ext, dbx, &r);
        EXPECT_EQ(done, r.Status == QorOk) << "the result and the status agree";
        return Half{r.Status, r.Ready, r.Half};
    }
    SHORT Mode(QorDbx *dbx, bool on) {
        QorDbfModeRequest r{};
        r.Enable = on;
        r.Status = 0x777;
        const BOOLEAN done = QorIocDbfMode(&ext, dbx, &r);
        EXPECT_EQ(done, r.Status == QorOk) << "the result and the status agree";
        return r.Status;
    }
    void Dpc(QorDbx *dbx) {
        const KIRQL old = KfAcquireSpinLock(&dpcLevel); // run at DISPATCH_LEVEL as a DPC does
        QorDpcDbx(dbx);
        KfReleaseSpinLock(&dpcLevel, old);
    }
    KSPIN_LOCK dpcLevel = 0;
};

TEST_F(Transfer, StartRefusalsComeInTheirOrderAndKeepWhatTheyMustKeep) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 8, 2, 4); // 8192 bytes of 12-bit samples
    EXPECT_EQ(StartTransfer(dbx, {.samples = 2048, .listCount = 4}), QorOk) << "the whole buffer, a list at the limit";
    EXPECT_EQ(StartTransfer(dbx, {.samples = 1, .listCount = 5}), QorErrListTooLong) << "list checked before busy";
    EXPECT_EQ(StartTransfer(dbx, {.samples = 1}), QorErrBusy);
    EXPECT_EQ(Mode(dbx, true), QorErrBusy);
    QorAsyResult stop{};
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &stop));

    EXPECT_EQ(Mode(dbx, true), QorOk);
    EXPECT_EQ(StartTransfer(dbx, {.samples = 2049}), QorErrBufferTooSmall) << "half the buffer in double-buffer mode";
    EXPECT_EQ(+dbx->TransferBytes, 4098u) << "kept by the refusal";
    EXPECT_EQ(StartTransfer(dbx, {.samples = 100, .sync = 1}), QorErrSynchronous);
    EXPECT_TRUE(dbx->Flags & DbxSync) << "kept by the refusal";
    QorAsyResult progress{};
    EXPECT_FALSE(QorIocAsyCheck(&ext, dbx, &progress));
    EXPECT_EQ(+progress.Status, QorErrSynchronous) << "an idle buffer still answers as synchronous";
    EXPECT_EQ(StartTransfer(dbx, {.samples = 0, .requestFlag = 7}), QorOk) << "an empty transfer passes the size check";
    EXPECT_FALSE(dbx->Flags & DbxSync);
    EXPECT_TRUE(dbx->Flags & DbxRequestFlag);
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &stop));
    EXPECT_EQ(StartTransfer(dbx, {.samples = 0}), QorOk);
    EXPECT_FALSE(dbx->Flags & DbxRequestFlag) << "each start sets the flag anew";
}

TEST_F(Transfer, NoViewBufferSkipsTheSizeCheckButNotDoubleBuffering) {
    QorDbx *dbx = Buffer(QOR_KIND_DIGITAL_INPUT, 4, 1, 4, DbxNoView);
    EXPECT_EQ(StartTransfer(dbx, {.samples = 1u << 20}), QorOk);
    EXPECT_EQ(+dbx->Whole.Count, 4096u) << "the start does not set the count of a buffer without view";
    QorAsyResult stop{};
    QorIocAsyClear(&ext, dbx, &stop);
    EXPECT_EQ(Mode(dbx, true), QorOk);
    EXPECT_EQ(StartTransfer(dbx, {.samples = 1}), QorErrNotDoubleBuffer);
}

TEST_F(Transfer, DoubleBufferedInputAlternatesHalvesWithAPulseEach) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 8, 2);
    ASSERT_EQ(Mode(dbx, true), QorOk);
    KeSetEvent(dbx->Event, 0, FALSE); // a pulse nobody waited for: the start clears it
    ASSERT_EQ(StartTransfer(dbx, {.samples = 1024}), QorOk);
    EXPECT_FALSE(qorsim::event_signalled(dbx->Event));
    EXPECT_EQ(+dbx->Whole.Count, 2048u);
    EXPECT_EQ(+dbx->Upper.Count, 2048u);
    // ready and half: the query's answer after the step.
    struct Step { bool dpc; USHORT ready, half, hwUpper; } steps[] = {
        {false, 0, 0, 0}, {true, 1, 0, 1}, {false, 0, 1, 1}, {true, 1, 1, 0}, {true, 1, 0, 1}, {true, 1, 1, 0},
    };
    uint64_t pulses = qorsim::event_set_count(dbx->Event); // the event was created signalled
    for (const Step &s : steps) {
        if (s.dpc) {
            Dpc(dbx);
            ++pulses;
        }
        EXPECT_EQ(qorsim::event_set_count(dbx->Event), pulses);
        EXPECT_FALSE(qorsim::event_signalled(dbx->Event)) << "a pulse leaves the event clear";
        EXPECT_EQ(bool(dbx->Flags & DbxHwUpper), bool(s.hwUpper));
        const Half h = Query(dbx);
        EXPECT_EQ(h.status, QorOk);
        EXPECT_EQ(h.ready, s.ready);
        EXPECT_EQ(h.half, s.half);
    }
    EXPECT_TRUE(dbx->Flags & DbxBusy) << "double buffering runs until stopped";
}

TEST_F(Transfer, OutputStartsWithTheUpperHalfReadyAndRepeatsCountDown) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_OUTPUT, 8, 2);
    ASSERT_EQ(Mode(dbx, true), QorOk);
    ASSERT_EQ(StartTransfer(dbx, {.samples = 16}), QorOk);
    EXPECT_EQ(Query(dbx).half, 1);
    EXPECT_EQ(Query(dbx).ready, 0) << "the lower half is the card's until its DPC";
    QorAsyResult stop{};
    QorIocAsyClear(&ext, dbx, &stop);
    EXPECT_EQ(dbx->Flags & (DbxBusy | DbxHwUpper | DbxUpperReady | DbxLowerReady), 0) << "the stop leaves no half ready";
    ASSERT_EQ(Mode(dbx, false), QorOk);

    struct { USHORT repeat; int stepsBeforeIdle; } cases[] = {{3, 3}, {1, 1}};
    for (const auto &c : cases) {
        ASSERT_EQ(StartTransfer(dbx, {.samples = 16, .repeat = c.repeat}), QorOk);
        const uint64_t before = qorsim::event_set_count(dbx->Event);
        for (int i = 1; i < c.stepsBeforeIdle; ++i) {
            dbx->DoneBytes = 12; // the client's count of the pass, reset for the next
            Dpc(dbx);
            EXPECT_EQ(+dbx->DoneBytes, 0u);
            EXPECT_TRUE(dbx->Flags & DbxBusy);
        }
        EXPECT_EQ(qorsim::event_set_count(dbx->Event), before) << "no pulse before the last pass";
        Dpc(dbx);
        EXPECT_FALSE(dbx->Flags & DbxBusy);
        EXPECT_EQ(qorsim::event_set_count(dbx->Event), before + 1);
    }
    ASSERT_EQ(StartTransfer(dbx, {.samples = 16, .repeat = 0}), QorOk);
    Dpc(dbx);
    EXPECT_EQ(+dbx->RepeatCount, 65535u) << "a repeat count of 0 runs 65536 passes";
}

TEST_F(Transfer, InputIgnoresTheRepeatCount) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 4, 2);
    ASSERT_EQ(StartTransfer(dbx, {.samples = 16, .repeat = 5}), QorOk);
    Dpc(dbx);
    EXPECT_FALSE(dbx->Flags & DbxBusy);
}

TEST_F(Transfer, SynchronousTransferPendsUntilItsDpcCompletesIt) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 4, 2);
    std::unique_ptr<qorsim::IoctlRequest> request;
    const uint64_t sets = qorsim::event_set_count(dbx->Event);
    ASSERT_EQ(StartTransfer(dbx, {.samples = 16, .sync = 1}, &request), QorOk);
    EXPECT_EQ(dbx->PendingIrp, request->irp());
    EXPECT_FALSE(request->completed());
    Dpc(dbx);
    EXPECT_EQ(request->completions(), 1);
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->information(), 2u) << "as validation set it";
    EXPECT_EQ(dbx->PendingIrp, nullptr);
    EXPECT_FALSE(dbx->Flags & DbxBusy);
    EXPECT_EQ(qorsim::event_set_count(dbx->Event), sets) << "no pulse for a synchronous transfer";
}

TEST_F(Transfer, ModeSwitchAndHalfQueryRules) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 4, 2);
    EXPECT_EQ(Query(dbx).status, QorErrNotDoubleBuffer);
    dbx->Flags |= DbxUserUpper;
    EXPECT_EQ(Mode(dbx, true), QorOk);
    EXPECT_FALSE(dbx->Flags & DbxUserUpper);
    EXPECT_EQ(Query(dbx).status, QorOk) << "answers while idle";
    dbx->Flags |= DbxUserUpper;
    EXPECT_EQ(Mode(dbx, false), QorOk);
    EXPECT_FALSE(dbx->Flags & (DbxUserUpper | DbxDoubleBuffer));
}

TEST_F(Transfer, EveryRequestRefusesAMissingBuffer) {
    QorAsyResult a{};
    QorDbfHalfResult h{};
    QorDbfModeRequest m{};
    EXPECT_FALSE(QorIocAsyCheck(&ext, nullptr, &a));
    EXPECT_EQ(+a.Status, QorErrNoBuffer);
    a.Status = 0;
    EXPECT_FALSE(QorIocAsyClear(&ext, nullptr, &a));
    EXPECT_EQ(+a.Status, QorErrNoBuffer);
    EXPECT_FALSE(QorIocDbfHalfReady(&ext, nullptr, &h));
    EXPECT_EQ(+h.Status, QorErrNoBuffer);
    EXPECT_FALSE(QorIocDbfMode(&ext, nullptr, &m));
    EXPECT_EQ(+m.Status, QorErrNoBuffer);
    EXPECT_EQ(StartTransfer(nullptr, {.samples = 1}), QorErrNoBuffer);
    EXPECT_EQ(QorIocContPostProc(&ext, nullptr), STATUS_INVALID_PARAMETER);
    QorDpcDsen(nullptr);
}

TEST_F(Transfer, S5933StartProgressAndStopOfAnInputBuffer) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 8, 2);
    chip.set_stored(S5933::kIntcsr, 0x00000100); // a mailbox byte selection to keep
    sim().ports.clear_trace();
    ASSERT_EQ(StartTransfer(dbx, {.samples = 1000}), QorOk);
    const ULONG phys = dbx->Whole.PhysAddr;
    EXPECT_EQ(accesses(), (std::vector{Out(4, kChip + 0x24, phys), Out(4, kChip + 0x28, 2000),
                                       In(4, kChip + 0x38, 0x100), Out(4, kChip + 0x38, 0x4100),
                                       In(4, kChip + 0x3C, 0x24), Out(4, kChip + 0x3C, 0x04000424)}));
    chip.set_stored(S5933::kMwtc, 600);
    QorAsyResult r{};
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 700u);
    EXPECT_EQ(+r.Stopped, 0u);

    sim().ports.clear_trace();
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 700u);
    EXPECT_EQ(+r.Stopped, 1u);
    EXPECT_EQ(accesses().front(), In(4, kChip + 0x28, 600)) << "the count is read before the stop";
    EXPECT_FALSE(chip.transfer_enabled(S5933::Direction::Input));

    sim().ports.clear_trace();
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &r));
    EXPECT_TRUE(accesses().empty()) << "an idle input buffer is not touched";
    EXPECT_EQ(+r.SampleCount, 1000u);
}

TEST_F(Transfer, S5933OutputIsStoppedEvenWhenIdleAndReportsTheFifoDrain) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_OUTPUT, 8, 2);
    ASSERT_EQ(StartTransfer(dbx, {.samples = 100, .repeat = 1}), QorOk);
    EXPECT_TRUE(chip.transfer_enabled(S5933::Direction::Output));
    chip.set_stored(S5933::kMrtc, 120); // 120 of the 200 bytes still to go
    QorAsyResult running{};
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &running));
    EXPECT_EQ(+running.SampleCount, 40u);
    EXPECT_EQ(+running.Stopped, 0u);
    Dpc(dbx);
    chip.complete_transfer(S5933::Direction::Output);
    chip.out_fifo_empty().set_never();
    QorAsyResult r{};
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.Stopped, 0u) << "idle, but the FIFO never drained";
    EXPECT_EQ(+r.SampleCount, 100u);
    chip.out_fifo_empty().set_after(3);
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.Stopped, 1u);
    sim().ports.clear_trace();
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &r));
    EXPECT_EQ(accesses().front(), In(4, kChip + 0x30, 0));
    EXPECT_FALSE(accesses().empty());
}

TEST_F(Transfer, MailboxInputArmsAndDisarmsTheMailboxInterrupt) {
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 8, 1, 4, DbxMailbox);
    ASSERT_EQ(StartTransfer(dbx, {.samples = 10}), QorOk);
    const ULONG intcsr = chip.stored(S5933::kIntcsr);
    EXPECT_EQ(intcsr & 0x1F00u, 0x1F00u) << "enable, mailbox 4, byte 3";
    dbx->DoneBytes = 12;
    QorAsyResult r{};
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 0u) << "mailbox input reports nothing while busy";
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &r));
    EXPECT_EQ(chip.stored(S5933::kIntcsr) & 0x1000u, 0u);
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 12u) << "the client's count once idle";
}

TEST_F(Transfer, PlxControllersReportTheClientsCountAndTouchNoRegister) {
    ext.ControllerType = QOR_CONTROLLER_PLX9080;
    QorDbx *dbx = Buffer(QOR_KIND_ANALOG_INPUT, 8, 4);
    sim().ports.clear_trace();
    ASSERT_EQ(StartTransfer(dbx, {.samples = 100}), QorOk);
    dbx->DoneBytes = 40;
    QorAsyResult r{};
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 10u);
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 10u);
    EXPECT_TRUE(accesses().empty());
    dbx->SampleBytes = 0;
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &r));
    EXPECT_EQ(+r.SampleCount, 0u) << "no division by a zero sample size";
}

} // namespace
