// Counted strings, zero-filled nonpaged blocks and the millisecond sleep.

#include <string>

#include "support/sim_fixture.h"
#include "qor_platform.h"

namespace {

std::u16string Text(PCUNICODE_STRING s) { return qorsim::from_ucs(s); }

bool AllZero(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

using Util = SimTest;

TEST_F(Util, NewStringAndBlockAreZeroFilledAndTagged) {
    PUNICODE_STRING s = QorNewUcs(16);
    void *p = QorNewNpp(100);
    ASSERT_NE(s, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(s->Length, 0);
    EXPECT_EQ(s->MaximumLength, 16);
    EXPECT_TRUE(AllZero(s->Buffer, 16)); // the pool hands out 0xCD bytes
    EXPECT_TRUE(AllZero(p, 100));
    const auto blocks = sim().pool.live_blocks(); // the string's header and text, and the block
    ASSERT_EQ(blocks.size(), 3u);
    for (const auto &b : blocks)
        EXPECT_EQ(b.tag, QOR_POOL_TAG);
    QorDeleteUcs(s);
    QorDeleteUcs(nullptr);
    QorDeleteNpp(p);
    QorDeleteNpp(nullptr);
    EXPECT_TRUE(sim().pool.live_blocks().empty());
}

TEST_F(Util, SizeofWcsCountsBytesBeforeTheNul) {
    EXPECT_EQ(QorSizeofWcs(u""), 0u);
    EXPECT_EQ(QorSizeofWcs(u"abc"), 6u);
    EXPECT_EQ(QorSizeofWcs(u"ab\0cd"), 4u);
}

// Appends into a fresh string of the given capacity, prefilled by a first append.
enum class Cat { Wcs, Ucs };
// expected: the whole string afterwards.
struct CatCase { const char *name; USHORT capacity; std::u16string prefix, source; Cat op; std::u16string expected; };

const CatCase kCatCases[] = {
    {"fits with room for a NUL", 16, u"ab", u"cde", Cat::Wcs, u"abcde"},
    {"150 characters into 256 bytes keep 128", 256, u"", std::u16string(150, u'x'), Cat::Wcs,
     std::u16string(128, u'x')},
    {"empty source changes nothing", 16, u"ab", u"", Cat::Wcs, u"ab"},
    {"cut at the last whole character", 10, u"abc", u"defg", Cat::Wcs, u"abcde"},
    {"40 bytes after 240 keep 16", 256, std::u16string(120, u'p'), std::u16string(20, u's'),
     Cat::Ucs, std::u16string(120, u'p') + std::u16string(8, u's')},
    {"counted source fits exactly", 10, u"ab", u"cde", Cat::Ucs, u"abcde"},
    {"counted source into a full string", 4, u"ab", u"c", Cat::Ucs, u"ab"},
};

class Appends : public SimTest, public ::testing::WithParamInterface<CatCase> {};

TEST_P(Appends, CutSilentlyAndReportWhatTheyWrote) {
    const CatCase &c = GetParam();
    PUNICODE_STRING d = QorNewUcs(c.capacity);
    ASSERT_NE(d, nullptr);
    QorCatWcs(d, c.prefix.c_str());
    const USHORT before = d->Length;
    UNICODE_STRING source{static_cast<USHORT>(c.source.size() * 2),
                          static_cast<USHORT>(c.source.size() * 2),
                          const_cast<PWSTR>(c.source.data())};
    if (c.op == Cat::Wcs) {
        PWCH end = QorCatWcs(d, c.source.c_str());
        EXPECT_EQ(end, d->Buffer + d->Length / 2);
    } else {
        const ULONG appended = QorCatUcs(d, &source);
        EXPECT_EQ(appended, static_cast<ULONG>(d->Length - before));
    }
    EXPECT_EQ(Text(d), c.expected);
    EXPECT_EQ(d->MaximumLength, c.capacity);
    // Nothing is written past Length: a string with room left stays NUL-terminated.
    EXPECT_TRUE(AllZero(reinterpret_cast<UCHAR *>(d->Buffer) + d->Length, c.capacity - d->Length));
    QorDeleteUcs(d);
}

INSTANTIATE_TEST_SUITE_P(Table, Appends, ::testing::ValuesIn(kCatCases),
                         RowName<::testing::TestParamInfo<CatCase>>);

TEST_F(Util, DuplicatesHaveCapacityEqualToLengthAndCannotGrow) {
    PUNICODE_STRING original = QorNewUcs(256);
    QorCatWcs(original, u"abcde");
    PUNICODE_STRING fromUcs = QorDupUcsToUcs(original);
    PUNICODE_STRING fromWcs = QorDupWcsToUcs(u"Hello");
    for (PUNICODE_STRING copy : {fromUcs, fromWcs}) {
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->Length, 10);
        EXPECT_EQ(copy->MaximumLength, 10);
        EXPECT_EQ(QorCatWcs(copy, u"more"), copy->Buffer + 5);
        EXPECT_EQ(QorCatUcs(copy, original), 0u);
        EXPECT_EQ(copy->Length, 10);
    }
    EXPECT_EQ(Text(fromUcs), u"abcde");
    EXPECT_EQ(Text(fromWcs), u"Hello");
    EXPECT_NE(fromUcs->Buffer, original->Buffer);
    for (PUNICODE_STRING s : {original, fromUcs, fromWcs})
        QorDeleteUcs(s);
}

TEST_F(Util, ClearZeroesTheWholeCapacity) {
    PUNICODE_STRING s = QorNewUcs(256);
    QorCatWcs(s, u"0123456789");
    ASSERT_EQ(s->Length, 20);
    QorClearUcs(s);
    EXPECT_EQ(s->Length, 0);
    EXPECT_EQ(s->MaximumLength, 256);
    EXPECT_TRUE(AllZero(s->Buffer, 256));
    QorDeleteUcs(s);
    char16_t text[5] = {u'a', u'b', u'c', u'd', u'#'}; // a capacity of 8 bytes and a guard behind it
    UNICODE_STRING t{6, 8, text};
    QorClearUcs(&t);
    EXPECT_EQ(std::u16string(text, 5), (std::u16string{0, 0, 0, 0, u'#'}));
}

struct SleepCase { const char *name; LONG milliseconds; LONGLONG interval; uint64_t advancedNs; };

const SleepCase kSleepCases[] = {
    {"one millisecond", 1, -10000, 1000000},
    {"zero", 0, 0, 0},
    {"two and a half seconds", 2500, -25000000, 2500000000ull},
    {"longest positive count", 0x7FFFFFFF, -21474836470000ll, 2147483647000000ull},
};

class Sleep : public SimTest, public ::testing::WithParamInterface<SleepCase> {};

TEST_P(Sleep, WaitsRelativeOnTheVirtualClock) {
    const SleepCase &c = GetParam();
    EXPECT_EQ(QorSleep(c.milliseconds), STATUS_SUCCESS);
    EXPECT_EQ(sim().clock.delays(), std::vector<LONGLONG>{c.interval});
    EXPECT_EQ(sim().clock.now_ns(), c.advancedNs);
}

INSTANTIATE_TEST_SUITE_P(Table, Sleep, ::testing::ValuesIn(kSleepCases),
                         RowName<::testing::TestParamInfo<SleepCase>>);

} // namespace
