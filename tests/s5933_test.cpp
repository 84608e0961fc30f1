// AMCC S5933 functions against the chip model: exact access sequences, read-modify-writes
// that keep every unnamed bit, bounded polls, the FIFO flush, and the model's own rules.

#include <algorithm>
#include <iterator>

#include "models/s5933.h"
#include "support/model_fixture.h"

namespace {

using qorsim::models::S5933;
using Dir = S5933::Direction;

constexpr uint32_t kBase = 0xC000;
constexpr uint32_t kMwar = kBase + 0x24, kMwtc = kBase + 0x28, kMrar = kBase + 0x2C;
constexpr uint32_t kMrtc = kBase + 0x30, kIntcsr = kBase + 0x38, kMcsr = kBase + 0x3C;

// INTCSR with every pending flag set: the abort flags assert bit 23 on every read.
constexpr uint32_t kFlagsSet = 0x003F0000;

class S5933Test : public ModelTest<S5933> {};

TEST_F(S5933Test, ClearControllerIsFourWritesAndQuietsTheChip) {
    model.set_stored(S5933::kMcsr, 0x00004400); // both transfers enabled
    model.set_stored(S5933::kIntcsr, 0x0000D010 | kFlagsSet);
    S593_ClearController(kBase);
    EXPECT_EQ(accesses(), (Accesses{Out(4, kMwtc, 0x100), Out(4, kMrtc, 0x100), Out(4, kMcsr, 0x0E002200),
                                    Out(4, kIntcsr, 0x28BF0000)}));
    EXPECT_FALSE(model.interrupt_asserted());
}

// Every start and stop: the whole sequence, with INTCSR and MCSR read and written back
// with only the named bits changed (pending flags go back as the ones they were read as).
struct RmwCase {
    const char *name;
    void (*run)(ULONG base);
    uint32_t intcsr; // stored before the call, without bit 23
    uint32_t mcsr;   // stored before the call, without status
    Accesses expected;
};

QorDbxDescriptor gRegion{0x00345000, nullptr, 0x2000};

const RmwCase kRmwCases[] = {
    {"StartODMA", [](ULONG b) { S593_StartODMA(b, &gRegion); }, 0x0C3F0B25, 0xF0002200,
     {Out(4, kMrar, 0x00345000), Out(4, kMrtc, 0x2000), In(4, kIntcsr, 0x0CBF0B25), Out(4, kIntcsr, 0x0CBF8B25),
      In(4, kMcsr, 0xF0002224), Out(4, kMcsr, 0xF2006224)}},
    {"StartIDMA", [](ULONG b) { S593_StartIDMA(b, &gRegion); }, 0x0C3F0B25, 0xF0002200,
     {Out(4, kMwar, 0x00345000), Out(4, kMwtc, 0x2000), In(4, kIntcsr, 0x0CBF0B25), Out(4, kIntcsr, 0x0CBF4B25),
      In(4, kMcsr, 0xF0002224), Out(4, kMcsr, 0xF4002624)}},
    {"StopODMA", [](ULONG b) { S593_StopODMA(b); }, 0x0C3FCB25, 0xF0006600,
     {In(4, kMrtc, 0x1234), In(4, kIntcsr, 0x0CBFCB25), Out(4, kIntcsr, 0x0CBF4B25), In(4, kMcsr, 0xF0006624),
      Out(4, kMcsr, 0xF2002624)}},
    {"StopIDMA", [](ULONG b) { S593_StopIDMA(b); }, 0x0C3FCB26, 0xF0006600,
     {In(4, kMwtc, 0x5678), In(4, kIntcsr, 0x0CBFCB26), Out(4, kIntcsr, 0x0CBF8B26), In(4, kMcsr, 0xF0006624),
      Out(4, kMcsr, 0xF4006224)}},
    // Only the low two bits of mailbox and byte select count: (7, 6) is mailbox 3, byte 2.
    {"StartIMB 7 6", [](ULONG b) { S593_StartIMB(b, 7, 6); }, 0x0C3F0B25, 0,
     {In(4, kIntcsr, 0x0CBF0B25), Out(4, kIntcsr, 0x0CBF1E25)}},
    {"StartIMB 0 0 clears the old selection", [](ULONG b) { S593_StartIMB(b, 0, 0); }, 0x0C3F0F25, 0,
     {In(4, kIntcsr, 0x0CBF0F25), Out(4, kIntcsr, 0x0CBF1025)}},
    {"StartOMB 5 1", [](ULONG b) { S593_StartOMB(b, 5, 1); }, 0x0C3F0B2F, 0,
     {In(4, kIntcsr, 0x0CBF0B2F), Out(4, kIntcsr, 0x0CBF0B35)}},
    {"StopIMB keeps the selection", [](ULONG b) { S593_StopIMB(b); }, 0x0C3F1F35, 0,
     {In(4, kIntcsr, 0x0CBF1F35), Out(4, kIntcsr, 0x0CBF0F35)}},
    {"StopOMB keeps the selection", [](ULONG b) { S593_StopOMB(b); }, 0x0C3F1F3F, 0,
     {In(4, kIntcsr, 0x0CBF1F3F), Out(4, kIntcsr, 0x0CBF1F2F)}},
};

class S5933Rmw : public S5933Test, public ::testing::WithParamInterface<RmwCase> {};

TEST_P(S5933Rmw, ChangesOnlyTheNamedBits) {
    const RmwCase &c = GetParam();
    model.set_stored(S5933::kIntcsr, c.intcsr);
    model.set_stored(S5933::kMcsr, c.mcsr);
    model.set_stored(S5933::kMrtc, 0x1234);
    model.set_stored(S5933::kMwtc, 0x5678);
    c.run(kBase);
    EXPECT_EQ(accesses(), c.expected);
    // The pending flags were written back as ones, which acknowledges them on the chip.
    EXPECT_EQ(model.stored(S5933::kIntcsr) & kFlagsSet, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, S5933Rmw, ::testing::ValuesIn(kRmwCases), RowName<::testing::TestParamInfo<RmwCase>>);

// after: MCSR reads that see the FIFO not yet drained
struct FlushCase { const char *name; bool never; uint64_t after; BOOLEAN result; size_t reads; };

const FlushCase kFlushCases[] = {
    {"already drained", false, 0, TRUE, 1},
    {"drained at the tenth read", false, 9, TRUE, 10},
    {"drained at the last read", false, 255, TRUE, 256},
    {"drained one read too late", false, 256, FALSE, 256},
    {"never drained", true, 0, FALSE, 256},
};

class S5933OutFlush : public S5933Test, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(S5933OutFlush, PollsMcsrAtMost256Times) {
    const FlushCase &c = GetParam();
    if (c.never)
        model.out_fifo_empty().set_never();
    else
        model.out_fifo_empty().set_after(c.after);
    EXPECT_EQ(S593_OutFlushFIFO(kBase), c.result);
    const Accesses trace = accesses();
    ASSERT_EQ(trace.size(), c.reads);
    for (size_t i = 0; i < trace.size(); ++i) {
        const bool last = i + 1 == trace.size();
        EXPECT_EQ(trace[i], In(4, kMcsr, (last && c.result ? 0x04u : 0u) | 0x20u)) << "read " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, S5933OutFlush, ::testing::ValuesIn(kFlushCases),
                         RowName<::testing::TestParamInfo<FlushCase>>);

// The incoming FIFO flush into two regions of one host array, the region being filled and
// the next, in either order.
// fifoDwords 0xFFFF: the FIFO never reports empty; expectedPosition: relative to the lower
// region; storedInFill and storedInNext: dwords stored from the stop position of the fill
// region and from the start of the next region.
struct InFlushCase {
    const char *name;
    ULONG regionBytes, mwtc;
    unsigned fifoDwords;
    bool nextIsHigher;
    ULONG expectedPosition;
    unsigned storedInFill, storedInNext;
};

constexpr unsigned kEndless = 0xFFFF;
constexpr ULONG kRegionGap = 0x100; // the next region lies this far above or below

const InFlushCase kInFlushCases[] = {
    {"full region continues in the higher next", 64, 0, 3, true, kRegionGap + 12, 0, 3},
    {"full region continues in the lower next", 64, 0, 3, false, 12, 0, 3},
    {"empty FIFO, higher next: stop position", 64, 16, 0, true, 48, 0, 0},
    {"empty FIFO, lower next: stop position", 64, 16, 0, false, kRegionGap + 48, 0, 0},
    {"empty FIFO at a full region: next start", 64, 0, 0, true, kRegionGap, 0, 0},
    {"two dwords after the stop", 64, 16, 2, true, 56, 2, 0},
    {"never empty stores exactly 12", 64, 56, kEndless, true, 8 + 48, 12, 0},
    {"never empty wraps into the next", 64, 8, kEndless, true, kRegionGap + 40, 2, 10},
};

class S5933InFlush : public S5933Test, public ::testing::WithParamInterface<InFlushCase> {};

TEST_P(S5933InFlush, StoresWhatTheFifoHoldsAndReturnsThePosition) {
    const InFlushCase &c = GetParam();
    alignas(4) static uint32_t memory[3 * kRegionGap / 4];
    std::fill(std::begin(memory), std::end(memory), 0xCCCCCCCCu);
    const ULONG low = reinterpret_cast<ULONG>(&memory[0]);
    const ULONG high = low + kRegionGap;
    const ULONG fill = c.nextIsHigher ? low : high;
    const ULONG next = c.nextIsHigher ? high : low;
    model.set_stored(S5933::kMwtc, c.mwtc);
    if (c.fifoDwords == kEndless)
        model.set_in_fifo_endless(0xD000);
    else
        for (unsigned i = 0; i < c.fifoDwords; ++i)
            model.push_in_fifo(0xD000 + i);

    EXPECT_EQ(S593_InFlushFIFO(kBase, c.regionBytes, fill, next), c.expectedPosition);

    auto at = [](ULONG address) { return *reinterpret_cast<const uint32_t *>(address); };
    uint32_t value = 0xD000;
    const ULONG stop = fill + c.regionBytes - c.mwtc;
    for (unsigned i = 0; i < c.storedInFill; ++i)
        EXPECT_EQ(at(stop + 4 * i), value++) << "fill dword " << i;
    EXPECT_EQ(at(stop + 4 * c.storedInFill), 0xCCCCCCCCu);
    for (unsigned i = 0; i < c.storedInNext; ++i)
        EXPECT_EQ(at(next + 4 * i), value++) << "next dword " << i;
    if (c.storedInNext == 0) {
        EXPECT_EQ(at(next), 0xCCCCCCCCu);
    }
    const unsigned stored = c.storedInFill + c.storedInNext;
    EXPECT_EQ(model.fifo_reads(), stored);
    // One MWTC read, then an MCSR read before each dword, and a last one that saw empty.
    const size_t mcsrReads = stored < 12 ? stored + 1 : 12;
    EXPECT_EQ(accesses().size(), 1 + mcsrReads + stored);
    EXPECT_EQ(accesses().front(), In(4, kMwtc, c.mwtc));
    for (const auto &a : accesses())
        EXPECT_FALSE(a.write);
}

INSTANTIATE_TEST_SUITE_P(Table, S5933InFlush, ::testing::ValuesIn(kInFlushCases),
                         RowName<::testing::TestParamInfo<InFlushCase>>);

} // namespace
