// A repeated output end to end on the simulator: the acquisition card's S5933 plays the
// buffer once per pass, the DPC counts the passes down and pulses the event once. The
// continuous input runs end to end through the sample driver and program.

#include "support/card_fixture.h"
#include "dbx.h"
#include "models/acquisition.h"

namespace {

using qorsim::models::AcquisitionCard;

constexpr uint32_t kChip = 0xE000;
constexpr USHORT kSampleBytes = 2;

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
