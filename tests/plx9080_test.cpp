// PLX 9080 functions against the chip model: the reset and clear sequences, the DMA
// width, and starting and stopping a channel with the bounded abort poll.

#include "models/plx9080.h"
#include "support/model_fixture.h"

namespace {

using qorsim::models::Plx9080;

constexpr uint32_t kBase = 0xC000;
constexpr uint32_t kIntcsr = kBase + 0x68, kCntrlTop = kBase + 0x6F;
constexpr uint32_t kMode[2] = {kBase + 0x80, kBase + 0x94};
constexpr uint32_t kDpr[2] = {kBase + 0x90, kBase + 0xA4};
constexpr uint32_t kCsr[2] = {kBase + 0xA8, kBase + 0xA9};

const Accesses kSoftReset =
    Seq({{Out(1, kCntrlTop, 0xD0)}, Repeat(100, In(1, kCntrlTop, 0xD0)), {Out(1, kCntrlTop, 0x90)}});

class Plx9080Test : public ModelTest<Plx9080> {
protected:
    QorDbx dbx{};

    // A channel that is transferring, started through the library; the trace is cleared.
    void Run(unsigned channel) {
        dbx.Whole.PhysAddr = 0x00456000;
        ASSERT_TRUE(P9080_StartDMA(kBase, channel, &dbx));
        ASSERT_TRUE(model.running(channel));
        sim().ports.clear_trace();
    }
};

TEST_F(Plx9080Test, SoftResetHoldsTheResetFor100Reads) {
    P9080_SoftReset(kBase);
    EXPECT_EQ(accesses(), kSoftReset);
    EXPECT_FALSE(model.in_reset());
}

TEST_F(Plx9080Test, ClearControllerResetsFirstThenLoadsTheConfiguration) {
    Run(0);
    P9080_ClearController(kBase);
    EXPECT_EQ(accesses(), Seq({kSoftReset,
                               {Out(4, kBase + 0x00, 0xFFFFFFC1), Out(4, kBase + 0x04, 0x00000001),
                                Out(4, kBase + 0x18, 0x4B0003C3), Out(4, kIntcsr, 0), Out(4, kBase + 0x6C, 0x9000767C),
                                Out(1, kCsr[0], 0), Out(4, kMode[0], 0x00021DC1), Out(1, kCsr[1], 0),
                                Out(4, kMode[1], 0x00021D81), Out(4, kBase + 0xB0, 0x44447A47)}}));
    EXPECT_FALSE(model.running(0));
}

// mode: of the selected channel before
struct WidthCase { const char *name; ULONG channel, width; uint32_t mode; bool writes; uint32_t written; };

const WidthCase kWidthCases[] = {
    {"channel 0, 4 bytes", 0, 4, 0x00021DC1, true, 0x00021DC2},
    {"channel 0, 1 byte", 0, 1, 0xFFFFFFFF, true, 0xFFFFFFFC},
    {"channel 1, 2 bytes", 1, 2, 0x00021D80, true, 0x00021D81},
    {"channel 7 selects channel 1", 7, 2, 0x00000002, true, 0x00000001},
    {"width 3 reads and writes nothing", 0, 3, 0x00021DC1, false, 0},
    {"width 0 reads and writes nothing", 1, 0, 0x00021D81, false, 0},
};

class Plx9080Width : public Plx9080Test, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(Plx9080Width, ReplacesBits0And1Only) {
    const WidthCase &c = GetParam();
    const unsigned ch = c.channel == 0 ? 0 : 1;
    model.set_stored(ch == 0 ? Plx9080::kDmaMode0 : Plx9080::kDmaMode1, c.mode);
    P9080_SetDMAWidth(kBase, c.channel, c.width);
    Accesses expected{In(4, kMode[ch], c.mode)};
    if (c.writes)
        expected.push_back(Out(4, kMode[ch], c.written));
    EXPECT_EQ(accesses(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Plx9080Width, ::testing::ValuesIn(kWidthCases),
                         RowName<::testing::TestParamInfo<WidthCase>>);

// Stopping a channel: already done, or aborted with the done status arriving after some
// DMACSR reads, or never.
// abortReads: DMACSR reads after the abort that still see the channel busy.
struct StopCase {
    const char *name;
    unsigned channel;
    bool running, never;
    uint64_t abortReads;
    BOOLEAN result;
    Accesses expected;
};

Accesses AbortSequence(unsigned ch, size_t busyReads, bool confirmed) {
    return Seq({{In(1, kCsr[ch], 0x01), Out(1, kCsr[ch], 0x02), Out(1, kCsr[ch], 0x04)},
                Repeat(busyReads, In(1, kCsr[ch], 0x00)),
                confirmed ? Accesses{In(1, kCsr[ch], 0x10)} : Accesses{},
                {Out(1, kCsr[ch], 0x08)}});
}

const StopCase kStopCases[] = {
    {"done channel is acknowledged", 0, false, false, 0, TRUE,
     {In(1, kCsr[0], 0x10), Out(1, kCsr[0], 0x00), Out(1, kCsr[0], 0x08)}},
    {"done channel 1 at 0xA9", 1, false, false, 0, TRUE,
     {In(1, kCsr[1], 0x10), Out(1, kCsr[1], 0x00), Out(1, kCsr[1], 0x08)}},
    {"abort confirmed at the first poll", 0, true, false, 0, TRUE, AbortSequence(0, 0, true)},
    {"abort confirmed at the fifth poll", 1, true, false, 4, TRUE, AbortSequence(1, 4, true)},
    {"abort confirmed at the last poll", 0, true, false, 99, TRUE, AbortSequence(0, 99, true)},
    {"abort one poll too late", 0, true, false, 100, FALSE, AbortSequence(0, 100, false)},
    {"abort never confirmed", 1, true, true, 0, FALSE, AbortSequence(1, 100, false)},
    {"channel 2 touches nothing", 2, false, false, 0, FALSE, {}},
};

class Plx9080Stop : public Plx9080Test, public ::testing::WithParamInterface<StopCase> {};

TEST_P(Plx9080Stop, BoundedAbortThenClearInterrupt) {
    const StopCase &c = GetParam();
    if (c.running) {
        Run(c.channel);
        if (c.never)
            model.abort_done(c.channel).set_never();
        else
            model.abort_done(c.channel).set_after(c.abortReads);
    }
    EXPECT_EQ(P9080_StopDMA(kBase, c.channel), c.result);
    EXPECT_EQ(accesses(), c.expected);
    if (c.channel < 2) {
        EXPECT_FALSE(model.enabled(c.channel));
        EXPECT_FALSE(model.interrupt_pending(c.channel));
        EXPECT_EQ(model.aborts(c.channel), c.running ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Plx9080Stop, ::testing::ValuesIn(kStopCases),
                         RowName<::testing::TestParamInfo<StopCase>>);

// mode and intcsr: before; dpr: written.
struct StartCase { const char *name; ULONG channel; USHORT flags; uint32_t mode, intcsr, dpr, intcsrWritten; };

const StartCase kStartCases[] = {
    {"channel 0 input", 0, 0, 0x00021DC1, 0x00000000, 0x00456009, 0x00040900},
    {"channel 0 output", 0, DbxOutput, 0x00021DC2, 0x0F0000FF, 0x00456001, 0x0F0409FF},
    {"channel 1 input", 1, DbxMailbox, 0x00021D81, 0x00040000, 0x00456009, 0x000C0900},
    {"channel 1 output", 1, DbxOutput | DbxBusy, 0xFFFFFDFF, 0x00000900, 0x00456001, 0x00080900},
};

class Plx9080Start : public Plx9080Test, public ::testing::WithParamInterface<StartCase> {};

TEST_P(Plx9080Start, ProgramsModeChainInterruptsAndCommand) {
    const StartCase &c = GetParam();
    model.set_stored(c.channel == 0 ? Plx9080::kDmaMode0 : Plx9080::kDmaMode1, c.mode);
    model.set_stored(Plx9080::kIntcsr, c.intcsr);
    dbx.Whole.PhysAddr = 0x00456000;
    dbx.Flags = c.flags;
    EXPECT_TRUE(P9080_StartDMA(kBase, c.channel, &dbx));
    const unsigned ch = c.channel;
    EXPECT_EQ(accesses(), (Accesses{In(4, kMode[ch], c.mode), Out(4, kMode[ch], c.mode | 0x200),
                                    Out(4, kDpr[ch], c.dpr), In(4, kIntcsr, c.intcsr),
                                    Out(4, kIntcsr, c.intcsrWritten), Out(1, kCsr[ch], 0x01), Out(1, kCsr[ch], 0x03)}));
    EXPECT_TRUE(model.running(ch));
    EXPECT_EQ(model.starts(ch), 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, Plx9080Start, ::testing::ValuesIn(kStartCases),
                         RowName<::testing::TestParamInfo<StartCase>>);

TEST_F(Plx9080Test, StartOnChannel2TouchesNothing) {
    EXPECT_FALSE(P9080_StartDMA(kBase, 2, &dbx));
    EXPECT_TRUE(accesses().empty());
}

} // namespace
