// 8254 counter requests for the three register spacings, against recorded accesses and
// against the counter model; the pacer split.

#include <bit>

#include "models/i8254.h"
#include "support/model_fixture.h"

namespace {

using qorsim::models::I8254;

enum class Layout { L, W, B };

struct LayoutInfo {
    BOOLEAN(QORCALL *set)(ULONG, QorCounterRequest *);
    BOOLEAN(QORCALL *get)(ULONG, QorCounterRequest *);
    uint32_t spacing;
    unsigned width;
};

LayoutInfo Info(Layout layout) {
    switch (layout) {
    case Layout::L: return {I8254L_IocCtrSet, I8254L_IocCtrGet, 4, 4};
    case Layout::W: return {I8254W_IocCtrSet, I8254W_IocCtrGet, 2, 2};
    default: return {I8254B_IocCtrSet, I8254B_IocCtrGet, 1, 1};
    }
}

// Counter blocks on ports where nothing answers: the trace alone is checked.
constexpr uint32_t kBase = 0x300;

class CounterTraceTest : public SimTest {
protected:
    OpenBus bus;
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kBase, 0x40, &bus, "open bus"));
    }
};

QorCounterRequest Request(USHORT counter, USHORT mode, USHORT bcd, ULONG count) {
    QorCounterRequest r{};
    r.Status = 0x777;
    r.Counter = counter;
    r.Mode = mode;
    r.Reserved = 0xBEEF;
    r.Bcd = bcd;
    r.Count = count;
    return r;
}

struct SetCase { const char *name; Layout layout; USHORT counter, mode, bcd; ULONG count; Accesses expected; };

const SetCase kSetCases[] = {
    {"B counter 2 mode 3 count 1000", Layout::B, 2, 3, 0, 1000,
     {Out(1, kBase + 3, 0xB6), Out(1, kBase + 2, 0xE8), Out(1, kBase + 2, 0x03)}},
    {"L counter 2 mode 3 count 1000", Layout::L, 2, 3, 0, 1000,
     {Out(4, kBase + 12, 0xB6), Out(4, kBase + 8, 0xE8), Out(4, kBase + 8, 0x03)}},
    {"W counter 0 mode 0 BCD", Layout::W, 0, 0, 1, 0x1234,
     {Out(2, kBase + 6, 0x31), Out(2, kBase + 0, 0x34), Out(2, kBase + 0, 0x12)}},
    {"B counter 1 mode 5 loads the low 16 bits", Layout::B, 1, 5, 1, 0xABCD5678,
     {Out(1, kBase + 3, 0x7B), Out(1, kBase + 1, 0x78), Out(1, kBase + 1, 0x56)}},
    {"count 0x00010001 loads 1", Layout::B, 0, 2, 0, 0x00010001,
     {Out(1, kBase + 3, 0x34), Out(1, kBase + 0, 0x01), Out(1, kBase + 0, 0x00)}},
    {"count 0 loads 0", Layout::W, 1, 2, 0, 0, {Out(2, kBase + 6, 0x74), Out(2, kBase + 2, 0), Out(2, kBase + 2, 0)}},
    {"count 2 passes", Layout::L, 0, 4, 0, 2, {Out(4, kBase + 12, 0x38), Out(4, kBase + 0, 2), Out(4, kBase + 0, 0)}},
    // Counters 3 to 12 put their number above bit 5: a wide layout writes it whole, the
    // byte layout its low byte.
    {"W counter 12 writes the whole control word", Layout::W, 12, 5, 1, 0x0102,
     {Out(2, kBase + 6, 0x33B), Out(2, kBase + 24, 0x02), Out(2, kBase + 24, 0x01)}},
    {"L counter 5", Layout::L, 5, 1, 0, 0xFFFF,
     {Out(4, kBase + 12, 0x172), Out(4, kBase + 20, 0xFF), Out(4, kBase + 20, 0xFF)}},
    {"B counter 12 writes the low byte", Layout::B, 12, 0, 0, 0x0300,
     {Out(1, kBase + 3, 0x30), Out(1, kBase + 12, 0x00), Out(1, kBase + 12, 0x03)}},
};

class CounterSet : public CounterTraceTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(CounterSet, WritesControlThenLowThenHighByte) {
    const SetCase &c = GetParam();
    QorCounterRequest r = Request(c.counter, c.mode, c.bcd, c.count);
    EXPECT_EQ(Info(c.layout).set(kBase, &r), TRUE);
    EXPECT_EQ(+r.Status, QorOk);
    EXPECT_EQ(+r.Count, c.count);
    EXPECT_EQ(+r.Reserved, 0xBEEF);
    EXPECT_EQ(accesses(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, CounterSet, ::testing::ValuesIn(kSetCases), RowName<::testing::TestParamInfo<SetCase>>);

// Rejected requests touch no port and leave Count alone; the first failing check counts.
struct RejectCase { const char *name; bool get; USHORT counter, mode, bcd; ULONG count; SHORT status; };

const RejectCase kRejectCases[] = {
    {"set counter 13", false, 13, 0, 0, 100, QorErrCounterNumber},
    {"get counter 13", true, 13, 0, 0, 100, QorErrCounterNumber},
    {"set count 1", false, 0, 2, 0, 1, QorErrCounterNumber},
    {"set count 1 in mode 0", false, 2, 0, 1, 1, QorErrCounterNumber},
    {"set mode 6", false, 0, 6, 0, 100, QorErrCounterMode},
    {"set BCD 2", false, 0, 0, 2, 100, QorErrCounterMode},
    {"counter before mode", false, 13, 6, 2, 100, QorErrCounterNumber},
    {"count before mode", false, 0, 9, 0, 1, QorErrCounterNumber},
};

class CounterReject : public SimTest, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(CounterReject, ReportsAndTouchesNothing) {
    const RejectCase &c = GetParam();
    for (const Layout layout : {Layout::L, Layout::W, Layout::B}) {
        QorCounterRequest r = Request(c.counter, c.mode, c.bcd, c.count);
        EXPECT_EQ((c.get ? Info(layout).get : Info(layout).set)(kBase, &r), FALSE);
        EXPECT_EQ(+r.Status, c.status);
        EXPECT_EQ(+r.Count, c.count);
        EXPECT_TRUE(accesses().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CounterReject, ::testing::ValuesIn(kRejectCases),
                         RowName<::testing::TestParamInfo<RejectCase>>);

class CounterTrace : public CounterTraceTest {};

TEST_F(CounterTrace, GetLatchesThenReadsTwoBytesWhateverModeAndBcdSay) {
    struct { Layout layout; USHORT counter; Accesses expected; } cases[] = {
        {Layout::W, 1, {Out(2, kBase + 6, 0x40), In(1, kBase + 2, 0xFF), In(1, kBase + 2, 0xFF)}},
        {Layout::B, 2, {Out(1, kBase + 3, 0x80), In(1, kBase + 2, 0xFF), In(1, kBase + 2, 0xFF)}},
        {Layout::L, 12, {Out(4, kBase + 12, 0x300), In(1, kBase + 48, 0xFF), In(1, kBase + 48, 0xFF)}},
        {Layout::B, 12, {Out(1, kBase + 3, 0x00), In(1, kBase + 12, 0xFF), In(1, kBase + 12, 0xFF)}},
    };
    for (const auto &c : cases) {
        sim().ports.clear_trace();
        QorCounterRequest r = Request(c.counter, 9, 7, 0x12345678);
        EXPECT_EQ(Info(c.layout).get(kBase, &r), TRUE);
        EXPECT_EQ(+r.Status, QorOk);
        EXPECT_EQ(+r.Count, 0xFFFFu); // unclaimed ports float high
        EXPECT_EQ(accesses(), c.expected);
    }
}

// The three layouts each on its own counter model.
class CounterModel : public SimTest {
protected:
    I8254 chips[3] = {I8254(4), I8254(2), I8254(1)};
    static constexpr uint32_t kBases[3] = {0x400, 0x500, 0x600};

    void SetUp() override {
        SimTest::SetUp();
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(sim().ports.claim(kBases[i], chips[i].length(), &chips[i], "8254"));
    }
    void TearDown() override {
        for (auto &chip : chips)
            sim().ports.release(&chip);
        SimTest::TearDown();
    }
};

TEST_F(CounterModel, SetThenGetReadsTheCountAsItCountsDown) {
    for (int i = 0; i < 3; ++i) {
        const LayoutInfo info = Info(static_cast<Layout>(i));
        for (USHORT counter = 0; counter < 3; ++counter) {
            QorCounterRequest set = Request(counter, 2, 0, 50000 + counter), get = Request(counter, 0, 0, 0);
            ASSERT_TRUE(info.set(kBases[i], &set));
            chips[i].clock(counter, 1234);
            ASSERT_TRUE(info.get(kBases[i], &get));
            EXPECT_EQ(+get.Count, 50000u + counter - 1234);
            EXPECT_EQ(chips[i].counter(counter).latched, false); // both bytes read
        }
        EXPECT_EQ(chips[i].latch_commands(), 3u);
    }
}

struct PacerCase { const char *name; ULONG divisor; ULONG packed; };

const PacerCase kPacerCases[] = {
    {"0", 0, 0x00020002},
    {"3", 3, 0x00020002},
    {"4", 4, 0x00020002},
    {"5", 5, 0x00020002},
    {"100000", 100000, 0xC3500002},
    {"131071", 131071, 0xFFFF0002},
    {"131072", 131072, 0x80000004},
    {"1000000", 1000000, 0xF4240010},
    {"0x7FFFFFFF", 0x7FFFFFFF, 0xFFFF8000},
    // From 0x80000000 up the second count 65536 is packed as 0.
    {"0x80000000", 0x80000000, 0x80000000},
    {"0x8001FFFF", 0x8001FFFF, 0x80010000},
    {"0xFFFFFFFF", 0xFFFFFFFF, 0xFFFF0000},
};

class PacerSplit : public ::testing::TestWithParam<PacerCase> {};

TEST_P(PacerSplit, PacksFirstAndSecondCount) {
    EXPECT_EQ(QorSplitePacer(GetParam().divisor), GetParam().packed) << std::hex << QorSplitePacer(GetParam().divisor);
}

INSTANTIATE_TEST_SUITE_P(Table, PacerSplit, ::testing::ValuesIn(kPacerCases),
                         RowName<::testing::TestParamInfo<PacerCase>>);

TEST(PacerSplitRule, ProductIsTheDivisorWithTheFewestLowBitsCleared) {
    for (uint64_t d = 4; d <= 0xFFFFFFFFu; d = d * 3 + 7) {
        const ULONG packed = QorSplitePacer(static_cast<ULONG>(d));
        const uint64_t first = packed >> 16;
        const uint64_t second = (packed & 0xFFFF) == 0 ? 0x10000 : (packed & 0xFFFF);
        ASSERT_TRUE(std::has_single_bit(second) && second >= 2) << d;
        const uint64_t k = std::countr_zero(second);
        EXPECT_EQ(first * second, d & ~(second - 1)) << d;
        if (k > 1) { // k - 1 would not have fitted
            EXPECT_GE(d >> (k - 1), 0x10000u) << "k is not the smallest for " << d;
        }
        EXPECT_LT(first, 0x10000u);
    }
}

} // namespace
