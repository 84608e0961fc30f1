// A continuous acquisition end to end on the simulator: an S5933 card moving samples into
// a double-buffered input buffer, a minimal client (interrupt routine, DPC) wired by the
// test, and a user program on its own thread that waits on the buffer's named event,
// asks which half is ready and reads it through its own view.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/card_fixture.h"
#include "dbx.h"
#include "models/acquisition.h"

namespace {

using qorsim::models::AcquisitionCard;

constexpr uint32_t kChip = 0xE000;
constexpr ULONG kBufferKb = 16; // two halves of 8 KB
constexpr USHORT kSampleBytes = 2;
constexpr ULONG kSamplesPerHalf = kBufferKb * 1024 / 2 / kSampleBytes;

// The client driver's part, as small as it can be.
struct Client {
    QorDevExt *ext = nullptr;
    QorDbx *dbx = nullptr;
    KDPC dpc{};
    std::atomic<int> interrupts{0};

    static VOID NTAPI Dpc(PKDPC, PVOID context, PVOID, PVOID) {
        auto *self = static_cast<Client *>(context);
        QorDbx *dbx = self->dbx;
        QorDpcDbx(dbx);
        // Restart the chip for the next block: the other half while double buffering.
        if ((dbx->Flags & DbxBusy) && (dbx->Flags & DbxDoubleBuffer))
            S593_StartIDMA(self->ext->PortBase[0], (dbx->Flags & DbxHwUpper) ? &dbx->Upper : &dbx->Whole);
    }

    // The interrupt routine: acknowledge the chip (its flags clear when written with
    // ones) and leave the rest to the DPC.
    void Isr() {
        const ULONG intcsr = READ_PORT_ULONG(reinterpret_cast<PULONG>(ext->PortBase[0] + 0x38));
        WRITE_PORT_ULONG(reinterpret_cast<PULONG>(ext->PortBase[0] + 0x38), intcsr);
        ++interrupts;
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
};

class ContinuousAcquisition : public CardTest {
protected:
    std::unique_ptr<AcquisitionCard> card;
    Client client;
    qorsim::Process *user = nullptr;
    QorDbx *dbx = nullptr;

    void SetUp() override {
        CardTest::SetUp();
        card = std::make_unique<AcquisitionCard>(kChip, kSampleBytes);
        ext.PortBase[0] = kChip;
        ext.ControllerType = QOR_CONTROLLER_S5933;
        AskForBuffer(QOR_KIND_ANALOG_INPUT, 16);
        SetSizeKb(u"AI", kBufferKb);
        ASSERT_TRUE(QorSetupBuffer(&find));
        dbx = ext.Buffers[0];
        user = &sim().processes.create("acqapp");
        {
            qorsim::InProcess in(*user); // the first open runs in the opening program
            QorOpenDbx(dbx);
            dbx->SampleBytes = kSampleBytes;
            ASSERT_TRUE(QorOpenDbxView(dbx));
            UNICODE_STRING prefix;
            RtlInitUnicodeString(&prefix, u"\\BaseNamedObjects\\Acq0");
            ASSERT_TRUE(QorOpenDbxEvent(dbx, 0, &prefix));
        }
        client.ext = &ext;
        client.dbx = dbx;
        KeInitializeDpc(&client.dpc, Client::Dpc, &client);
        card->interrupt = [this] { client.Isr(); };
        QorDbfModeRequest mode{};
        mode.Enable = 1;
        ASSERT_TRUE(QorIocDbfMode(&ext, dbx, &mode));
    }

    void TearDown() override {
        sim().dpcs.drain();
        QorCloseDbx(dbx);
        QorDropDbx(dbx);
        ext.Buffers[0] = nullptr;
        card.reset();
        sim().processes.end(*user);
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.leak_report(), "");
        CardTest::TearDown();
    }

    void StartTransfer(ULONG samples) {
        QorContRequest r{};
        r.SampleCount = samples;
        r.ListCount = 1;
        qorsim::IoctlRequest request(0xADC021D4, &r, sizeof r, 2);
        ASSERT_TRUE(QorIocCheckBufferLength(request.irp()));
        ASSERT_TRUE(QorIocContPreProc(&ext, dbx, request.irp()));
        ASSERT_EQ(QorIocContPostProc(&ext, dbx), STATUS_SUCCESS);
    }

    // Runs the card's next block and waits until the DPC has stepped the buffer.
    void RunBlock() {
        ASSERT_TRUE(card->run_transfer());
        sim().dpcs.drain();
    }
};

TEST_F(ContinuousAcquisition, ReaderThatKeepsUpSeesEverySampleOnce) {
    constexpr int kHalves = 2000;
    StartTransfer(kSamplesPerHalf);
    PKEVENT event = sim().events.open_user(u"Acq00");
    ASSERT_NE(event, nullptr);

    std::atomic<uint64_t> samples{0};
    std::atomic<int> problems{0};
    std::thread reader([&] {
        qorsim::InProcess in(*user);
        uint16_t expected = 0;
        for (int half = 0; half < kHalves; ++half) {
            if (!qorsim::wait_event_for(event, 20000)) {
                ++problems;
                return;
            }
            QorDbfHalfResult which{};
            if (!QorIocDbfHalfReady(&ext, dbx, &which) || !which.Ready || which.Half != (half & 1)) {
                ++problems;
                return;
            }
            const auto *view = reinterpret_cast<const uint16_t *>(which.Half ? dbx->UserAddress1 : dbx->UserAddress0);
            for (ULONG i = 0; i < kSamplesPerHalf; ++i, ++expected)
                if (view[i] != expected)
                    ++problems;
            samples += kSamplesPerHalf;
        }
    });
    for (int half = 0; half < kHalves && problems == 0; ++half) {
        // The card fills the next half only once the reader waits again: it keeps up.
        while (qorsim::event_waiters(event) == 0 && problems == 0)
            std::this_thread::yield();
        RunBlock();
    }
    reader.join();
    sim().events.release(event);

    EXPECT_EQ(problems, 0);
    EXPECT_EQ(samples, uint64_t(kHalves) * kSamplesPerHalf);
    EXPECT_EQ(card->source.produced(), uint64_t(kHalves) * kSamplesPerHalf);
    EXPECT_EQ(client.interrupts, kHalves);

    QorAsyResult stop{};
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &stop));
    EXPECT_EQ(+stop.Stopped, 1u);
    EXPECT_EQ(+stop.SampleCount, 0u) << "stopped right at the start of a fresh half";
}

TEST_F(ContinuousAcquisition, SlowReaderFindsItsHalfGoneAndWaitsForTheNextPass) {
    StartTransfer(kSamplesPerHalf);
    RunBlock(); // lower half: samples 0 ..
    RunBlock(); // upper half: the lower one is no longer ready
    QorDbfHalfResult which{};
    ASSERT_TRUE(QorIocDbfHalfReady(&ext, dbx, &which));
    EXPECT_EQ(which.Half, 0);
    EXPECT_EQ(which.Ready, 0) << "no overrun is reported: the half is simply not ready";
    RunBlock(); // the lower half again, with the third block
    ASSERT_TRUE(QorIocDbfHalfReady(&ext, dbx, &which));
    EXPECT_EQ(which.Half, 0);
    EXPECT_EQ(which.Ready, 1);
    qorsim::InProcess in(*user);
    const auto *view = reinterpret_cast<const uint16_t *>(dbx->UserAddress0);
    EXPECT_EQ(view[0], uint16_t(2 * kSamplesPerHalf)) << "the second block was lost to the slow reader";
}

TEST_F(ContinuousAcquisition, ProgressCountsTheChipsRemainingBytes) {
    StartTransfer(kSamplesPerHalf);
    card->chip.set_stored(qorsim::models::S5933::kMwtc, 1000); // partway through the lower half
    QorAsyResult progress{};
    ASSERT_TRUE(QorIocAsyCheck(&ext, dbx, &progress));
    EXPECT_EQ(+progress.SampleCount, kSamplesPerHalf - 500);
    EXPECT_EQ(+progress.Stopped, 0u);
    QorAsyResult stop{};
    ASSERT_TRUE(QorIocAsyClear(&ext, dbx, &stop));
    EXPECT_EQ(+stop.SampleCount, kSamplesPerHalf - 500);
    EXPECT_FALSE(card->chip.transfer_enabled(AcquisitionCard::Direction::Input));
    EXPECT_FALSE(card->run_transfer()) << "a stopped chip moves nothing";
}

TEST_F(ContinuousAcquisition, SynchronousTransferIsCompletedByTheDpc) {
    QorDbfModeRequest mode{};
    ASSERT_TRUE(QorIocDbfMode(&ext, dbx, &mode)); // single mode
    QorContRequest r{};
    r.SampleCount = 64;
    r.SyncMode = 1;
    r.ListCount = 1;
    qorsim::IoctlRequest request(0xADC021D4, &r, sizeof r, 2);
    ASSERT_TRUE(QorIocCheckBufferLength(request.irp()));
    ASSERT_TRUE(QorIocContPreProc(&ext, dbx, request.irp()));
    ASSERT_EQ(QorIocContPostProc(&ext, dbx), STATUS_PENDING);
    RunBlock();
    EXPECT_EQ(request.completions(), 1);
    EXPECT_EQ(request.status(), STATUS_SUCCESS);
    EXPECT_FALSE(dbx->Flags & DbxBusy);
    const auto *data = static_cast<const uint16_t *>(dbx->Whole.KernelAddr);
    EXPECT_EQ(data[63], 63);
}

class RepeatedOutput : public CardTest {};

TEST_F(RepeatedOutput, TheCardPlaysTheBufferOncePerPass) {
    AcquisitionCard card(kChip, kSampleBytes);
    ext.PortBase[0] = kChip;
    AskForBuffer(QOR_KIND_ANALOG_OUTPUT, 16);
    SetSizeKb(u"AO", 4);
    ASSERT_TRUE(QorSetupBuffer(&find));
    QorDbx *dbx = ext.Buffers[1];
    QorOpenDbx(dbx);
    dbx->SampleBytes = kSampleBytes;
    dbx->Flags = DbxOutput;
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&prefix, u"\\BaseNamedObjects\\Out0");
    ASSERT_TRUE(QorOpenDbxEvent(dbx, 1, &prefix));
    auto *wave = static_cast<uint16_t *>(dbx->Whole.KernelAddr);
    for (int i = 0; i < 256; ++i)
        wave[i] = static_cast<uint16_t>(1000 + i);

    QorContRequest r{};
    r.SampleCount = 256;
    r.RepeatCount = 3;
    r.ListCount = 1;
    qorsim::IoctlRequest request(0xADC021E4, &r, sizeof r, 2);
    ASSERT_TRUE(QorIocCheckBufferLength(request.irp()));
    ASSERT_TRUE(QorIocContPreProc(&ext, dbx, request.irp()));
    ASSERT_EQ(QorIocContPostProc(&ext, dbx), STATUS_SUCCESS);
    KSPIN_LOCK level = 0;
    const uint64_t sets = qorsim::event_set_count(dbx->Event);
    for (int pass = 0; pass < 3; ++pass) {
        ASSERT_TRUE(card.run_transfer(AcquisitionCard::Direction::Output));
        const KIRQL old = KfAcquireSpinLock(&level);
        QorDpcDbx(dbx);
        KfReleaseSpinLock(&level, old);
        if (dbx->Flags & DbxBusy) // the client restarts the chip for the next pass
            S593_StartODMA(kChip, &dbx->Whole);
    }
    EXPECT_FALSE(dbx->Flags & DbxBusy);
    EXPECT_EQ(qorsim::event_set_count(dbx->Event), sets + 1) << "one pulse, after the last pass";
    ASSERT_EQ(card.played().size(), 3u * 512);
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_EQ(std::memcmp(card.played().data() + pass * 512, wave, 512), 0);
    QorCloseDbx(dbx);
    QorDropDbx(dbx);
    ext.Buffers[1] = nullptr;
}

} // namespace
