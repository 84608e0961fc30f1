// The registry readers against the simulated registry: defaults, values, the per-card
// value, values of the wrong type, the cut of a long key path and every allocation failure.

#include <string>

#include "support/fault_sweep.h"
#include "support/sim_fixture.h"
#include "registry.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acqdrv";
const std::u16string kParameters = kService + u"\\Parameters";
constexpr ULONG kOptionalAbsolute = RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL;
constexpr ULONG kUntouched = 0xDEADBEEF;

class Registry : public SimTest {
protected:
    std::u16string pathText = kService;
    UNICODE_STRING path{};
    QorDevExt ext{};
    QorFindRecord record{};

    void SetUp() override {
        SimTest::SetUp();
        UsePath(kService);
        ext.EnumParam = kUntouched;
        record.DevExt = &ext;
        record.CardCount = 1;
    }
    void UsePath(const std::u16string &text) {
        pathText = text;
        path.Buffer = pathText.data();
        path.Length = path.MaximumLength = static_cast<USHORT>(pathText.size() * 2);
        record.RegistryPath = &path;
    }
    std::u16string ReadFpgaName() {
        record.FpgaFileName = nullptr;
        EXPECT_TRUE(QorReadFileReg(&record));
        if (record.FpgaFileName == nullptr)
            return u"<none>";
        EXPECT_EQ(record.FpgaFileName->MaximumLength, 256);
        std::u16string name = qorsim::from_ucs(record.FpgaFileName);
        QorDeleteUcs(record.FpgaFileName);
        record.FpgaFileName = nullptr;
        return name;
    }
};

// A missing key, or a key without the values, reads as the defaults; the key is queried
// optional and absolute, straight below the service key.
TEST_F(Registry, DefaultsWithoutKeyOrValues) {
    for (bool withKey : {false, true}) {
        SCOPED_TRACE(withKey ? "key without values" : "no Parameters key");
        sim().registry.reset();
        if (withKey)
            sim().registry.add_key(kParameters);
        for (ULONG kind = 0; kind < 4; ++kind)
            EXPECT_EQ(QorReadParameterReg(&path, kind), 0u);
        EXPECT_EQ(ReadFpgaName(), u"");
        ext.EnumParam = kUntouched;
        EXPECT_TRUE(QorReadEnumReg(&record));
        EXPECT_EQ(+ext.EnumParam, 0u);

        const auto queries = sim().registry.queries();
        ASSERT_EQ(queries.size(), 6u);
        const char16_t *names[] = {u"AI", u"AO", u"DI", u"DO", u"FPGA", u"0"};
        for (size_t i = 0; i < queries.size(); ++i) {
            EXPECT_EQ(queries[i].relative_to, kOptionalAbsolute);
            EXPECT_EQ(queries[i].names, std::vector<std::u16string>{names[i]});
            EXPECT_EQ(queries[i].path, i == 4 ? kParameters + u"\\" : kParameters);
            EXPECT_EQ(queries[i].status, STATUS_SUCCESS);
        }
    }
}

TEST_F(Registry, BufferKindSettings) {
    sim().registry.set_dword(kParameters, u"AI", 64);
    EXPECT_EQ(QorReadParameterReg(&path, 0), 64u);
    EXPECT_EQ(QorReadParameterReg(&path, 1), 0u);
    EXPECT_EQ(QorReadParameterReg(&path, 2), 0u);
    EXPECT_EQ(QorReadParameterReg(&path, 3), 0u);

    // Every kind has its own name; key and value names are case-insensitive.
    sim().registry.set_dword(kParameters, u"ao", 1);
    sim().registry.set_dword(kParameters, u"Di", 2);
    sim().registry.set_dword(u"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\ACQDRV\\parameters",
                             u"DO", 0xA0000003);
    EXPECT_EQ(QorReadParameterReg(&path, 1), 1u);
    EXPECT_EQ(QorReadParameterReg(&path, 2), 2u);
    EXPECT_EQ(QorReadParameterReg(&path, 3), 0xA0000003u) << "all four bytes of the value";
    const size_t queries = sim().registry.queries().size();
    EXPECT_EQ(QorReadParameterReg(&path, 4), 0u) << "a kind outside the table";
    EXPECT_EQ(sim().registry.queries().size(), queries);
}

TEST_F(Registry, FpgaFileName) {
    sim().registry.set_string(kParameters, u"FPGA", u"board12.bit");
    EXPECT_EQ(ReadFpgaName(), u"board12.bit");

    // The 256-byte string holds 127 characters and the NUL. A longer name is not cut to
    // another file's name: it cannot be read, and the name stays empty.
    const struct { size_t chars; bool fits; } rows[] = {{127, true}, {128, false}, {200, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.chars);
        sim().registry.set_string(kParameters, u"FPGA", std::u16string(row.chars, u'n'));
        EXPECT_EQ(ReadFpgaName(), row.fits ? std::u16string(row.chars, u'n') : u"");
    }
}

TEST_F(Registry, EachCardReadsItsOwnIndex) {
    for (ULONG i = 0; i < 10; ++i)
        sim().registry.set_dword(kParameters, std::u16string(1, u'0' + i), 100 + i);
    QorDevExt cards[10]{};
    for (USHORT n = 1; n <= 10; ++n) { // after the nth QorEnumDevice
        record.CardCount = n;
        record.DevExt = &cards[n - 1];
        EXPECT_TRUE(QorReadEnumReg(&record));
    }
    for (ULONG i = 0; i < 10; ++i)
        EXPECT_EQ(+cards[i].EnumParam, 100 + i);
    // No card yet, or an eleventh: no value name, so no query and EnumParam stays.
    record.DevExt = &ext;
    const size_t queries = sim().registry.queries().size();
    for (USHORT count : {0, 11, 0xFFFF}) {
        record.CardCount = count;
        EXPECT_FALSE(QorReadEnumReg(&record)) << count;
        EXPECT_EQ(+ext.EnumParam, kUntouched);
    }
    EXPECT_EQ(sim().registry.queries().size(), queries);
}

TEST_F(Registry, FailedQuery) {
    sim().registry.set_dword(kParameters, u"AI", 64);
    sim().registry.set_dword(kParameters, u"0", 5);
    sim().registry.set_string(kParameters, u"FPGA", u"x.bit");
    sim().registry.fail_queries(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QorReadParameterReg(&path, 0), 0u);
    EXPECT_EQ(ReadFpgaName(), u""); // the name string is still made, empty
    EXPECT_FALSE(QorReadEnumReg(&record));
    EXPECT_EQ(+ext.EnumParam, kUntouched);
}

// The readers query each value through a routine that checks its type: a value of another
// type reads as absent, and the verifier sees no write past a target (a direct query of a
// string into a 4-byte target would overwrite the stack behind it).
TEST_F(Registry, ValueOfTheWrongTypeReadsAsAbsent) {
    struct { const char16_t *value; bool asString; } rows[] = {{u"AI", true}, {u"0", true}, {u"FPGA", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(qorsim::to_ascii(row.value));
        sim().registry.reset();
        if (row.asString)
            sim().registry.set_string(kParameters, row.value, u"Card.bin");
        else
            sim().registry.set_dword(kParameters, row.value, 7);
        EXPECT_EQ(QorReadParameterReg(&path, 0), 0u);
        ext.EnumParam = kUntouched;
        ASSERT_TRUE(QorReadEnumReg(&record));
        EXPECT_EQ(+ext.EnumParam, 0u);
        EXPECT_EQ(ReadFpgaName(), u"");
    }
}

// The key path holds at most 127 characters: a longer one is cut and the cut path is
// what the kernel is asked for.
// serviceChars: the registry path's length; "\Parameters" adds 11
struct PathCase { const char *name; size_t serviceChars; bool cut; };

const PathCase kPathCases[] = {
    {"116 plus suffix is 127, whole", 116, false},
    {"117 plus suffix is cut to 127", 117, true},
    {"200 is cut within the registry path", 200, true},
};

class RegistryPath : public Registry, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RegistryPath, LongKeyPathIsCutTo127Characters) {
    const PathCase &c = GetParam();
    std::u16string service = u"\\Registry\\Machine\\S";
    service += std::u16string(c.serviceChars - service.size(), u'k');
    UsePath(service);
    const std::u16string full = service + u"\\Parameters";
    const std::u16string queried = full.substr(0, 127);
    EXPECT_EQ(queried == full, !c.cut);
    sim().registry.set_dword(queried, u"AI", 7);
    sim().registry.set_dword(queried, u"0", 9);

    EXPECT_EQ(QorReadParameterReg(&path, 0), 7u);
    EXPECT_TRUE(QorReadEnumReg(&record));
    EXPECT_EQ(+ext.EnumParam, 9u);
    for (const auto &q : sim().registry.queries())
        EXPECT_EQ(q.path, queried);
}

INSTANTIATE_TEST_SUITE_P(Table, RegistryPath, ::testing::ValuesIn(kPathCases),
                         RowName<::testing::TestParamInfo<PathCase>>);

TEST_F(Registry, EveryAllocationFailureIsReportedAndLeavesNothing) {
    sim().registry.set_dword(kParameters, u"AI", 64);
    sim().registry.set_dword(kParameters, u"0", 5);
    sim().registry.set_string(kParameters, u"FPGA", u"x.bit");

    EXPECT_EQ(SweepAllocationFailures([&] { return QorReadParameterReg(&path, 0) == 64; }), 3u);

    PUNICODE_STRING earlier = QorDupWcsToUcs(u"old.bit");
    EXPECT_EQ(SweepAllocationFailures([&] {
                  record.FpgaFileName = earlier;
                  const BOOLEAN ok = QorReadFileReg(&record);
                  if (!ok)
                      return record.FpgaFileName != earlier; // untouched on failure
                  // The earlier string is replaced, not freed: it is freed below.
                  const bool named = record.FpgaFileName != earlier &&
                                     qorsim::from_ucs(record.FpgaFileName) == u"x.bit";
                  QorDeleteUcs(record.FpgaFileName);
                  return named;
              }),
              5u);
    QorDeleteUcs(earlier);

    EXPECT_EQ(SweepAllocationFailures([&] {
                  ext.EnumParam = kUntouched;
                  const BOOLEAN ok = QorReadEnumReg(&record);
                  EXPECT_EQ(+ext.EnumParam, ok ? 5u : kUntouched);
                  return ok != FALSE;
              }),
              3u);
}

} // namespace
