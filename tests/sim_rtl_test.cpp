// The simulated kernel's registry query, string conversions and delay, where their NT
// results go beyond what the library's readers exercise.
#include <gtest/gtest.h>

#include <string>

#include "support/sim_fixture.h"

namespace {

const std::u16string kKey = u"\\Registry\\Machine\\Software\\Test";

using SimRtl = SimTest;

// A query table of one direct entry into target and its terminator, against kKey.
struct DirectQuery {
    RTL_QUERY_REGISTRY_TABLE table[2]{};
    DirectQuery(const char16_t *name, PVOID target)
    {
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = const_cast<PWSTR>(name);
        table[0].EntryContext = target;
    }
    NTSTATUS Run(ULONG relativeTo = RTL_REGISTRY_ABSOLUTE)
    {
        return RtlQueryRegistryValues(relativeTo, kKey.c_str(), table, nullptr, nullptr);
    }
};

TEST_F(SimRtl, QueryRegistryMissingKeyAndValue)
{
    ULONG value = 77;
    DirectQuery query(u"Missing", &value);
    // A missing key fails unless optional; optional, nothing is stored.
    EXPECT_EQ(query.Run(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query.Run(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL), STATUS_SUCCESS);
    EXPECT_EQ(value, 77u);
    // A missing value without a default is skipped, with a default stores it.
    sim().registry.add_key(kKey + u"\\");
    EXPECT_EQ(query.Run(), STATUS_SUCCESS);
    EXPECT_EQ(value, 77u);
    ULONG fallback = 5;
    query.table[0].DefaultType = REG_DWORD;
    query.table[0].DefaultData = &fallback;
    query.table[0].DefaultLength = sizeof fallback;
    EXPECT_EQ(query.Run(), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
}

struct SzCase {
    const char *name;
    std::u16string stored;
    USHORT capacity;
    std::u16string read;
    bool terminated;
};

const SzCase kSzCases[] = {
    {"fits with its NUL", u"abc", 8, u"abc", true},
    {"fits without its NUL", u"abcd", 8, u"abcd", false},
    {"cut to the capacity", u"abcdef", 8, u"abcd", false},
    {"empty", u"", 8, u"", true},
};

class SimRegistryString : public SimTest, public ::testing::WithParamInterface<SzCase> {};

TEST_P(SimRegistryString, DirectIntoTheCallersBuffer)
{
    const SzCase &c = GetParam();
    sim().registry.set_string(kKey, u"Name", c.stored);
    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    ASSERT_LT(c.capacity / sizeof(char16_t), std::size(buffer));
    UNICODE_STRING target{0, c.capacity, buffer};
    EXPECT_EQ(DirectQuery(u"NAME", &target).Run(), STATUS_SUCCESS);
    EXPECT_EQ(qorsim::from_ucs(&target), c.read);
    const size_t room = c.capacity / sizeof(char16_t);
    EXPECT_EQ(c.read.size() < room && buffer[c.read.size()] == 0, c.terminated);
    EXPECT_EQ(buffer[room], u'#'); // nothing past the capacity
}

INSTANTIATE_TEST_SUITE_P(Table, SimRegistryString, ::testing::ValuesIn(kSzCases),
                         RowName<::testing::TestParamInfo<SzCase>>);

TEST_F(SimRtl, IntegerToUnicodeString)
{
    struct {
        ULONG value, base;
        USHORT capacity;
        NTSTATUS status;
        std::u16string text;
    } cases[] = {
        {0, 10, 4, STATUS_SUCCESS, u"0"},
        {1234, 0, 10, STATUS_SUCCESS, u"1234"},
        {1234, 10, 8, STATUS_BUFFER_OVERFLOW, u"keep"}, // four digits and a NUL need 10
        {0xBEEF, 16, 16, STATUS_SUCCESS, u"BEEF"},
        {5, 2, 16, STATUS_SUCCESS, u"101"},
        {5, 7, 16, STATUS_INVALID_PARAMETER, u"keep"},
    };
    for (const auto &c : cases) {
        char16_t buffer[8] = u"keep";
        UNICODE_STRING s{8, c.capacity, buffer};
        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), c.status) << c.value;
        EXPECT_EQ(qorsim::from_ucs(&s), c.text) << c.value;
    }
}

TEST_F(SimRtl, AppendIsAllOrNothing)
{
    char16_t buffer[6] = {u'a', u'b', u'#', u'#', u'#', u'#'};
    UNICODE_STRING d{4, 12, buffer};
    UNICODE_STRING tooLong{10, 10, const_cast<PWSTR>(u"cdefg")};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &tooLong), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(qorsim::from_ucs(&d), u"ab");
    UNICODE_STRING three{6, 6, const_cast<PWSTR>(u"cde")};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &three), STATUS_SUCCESS);
    EXPECT_EQ(qorsim::from_ucs(&d), u"abcde");
    EXPECT_EQ(buffer[5], 0); // room left: terminated
    UNICODE_STRING one{2, 2, const_cast<PWSTR>(u"f")};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &one), STATUS_SUCCESS);
    EXPECT_EQ(qorsim::from_ucs(&d), u"abcdef");
}

TEST_F(SimRtl, UnicodeToAnsiCutsAndTerminates)
{
    UNICODE_STRING source{10, 10, const_cast<PWSTR>(u"Ev\u00e9nt")};
    char buffer[8];
    struct {
        USHORT capacity;
        NTSTATUS status;
        std::string text;
    } cases[] = {{8, STATUS_SUCCESS, "Ev?nt"}, {6, STATUS_SUCCESS, "Ev?nt"},
                 {4, STATUS_BUFFER_OVERFLOW, "Ev?"}, {0, STATUS_BUFFER_OVERFLOW, "#"}};
    for (const auto &c : cases) {
        std::fill(std::begin(buffer), std::end(buffer), '#');
        ANSI_STRING d{0, c.capacity, buffer};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&d, &source, FALSE), c.status) << c.capacity;
        EXPECT_EQ(std::string(buffer, c.capacity ? d.Length + 0u : 1u), c.text) << c.capacity;
        if (c.capacity) {
            EXPECT_EQ(buffer[d.Length], 0);
        }
    }
}

} // namespace
