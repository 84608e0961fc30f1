// Registry values of the wrong type: what a direct query does with them on NT, and the
// readers, which take such a value for an absent one.
#include <gtest/gtest.h>

#include <string>

#include "support/sim_fixture.h"
#include "qorpelk.h"
#include "registry.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acqdrv";
const std::u16string kParameters = kService + u"\\Parameters";

class RegistryTypes : public SimTest {
protected:
    std::u16string pathText = kService;
    UNICODE_STRING path{};
    QorDevExt ext{};
    QorFindRecord record{};

    void SetUp() override
    {
        SimTest::SetUp();
        path.Buffer = pathText.data();
        path.Length = path.MaximumLength = static_cast<USHORT>(pathText.size() * 2);
        record.RegistryPath = &path;
        record.DevExt = &ext;
        record.CardCount = 1;
        ext.EnumParam = 0xDEADBEEF;
    }

    // One direct entry of the given default type into target.
    NTSTATUS QueryDirect(const char16_t *name, PVOID target, ULONG defaultType)
    {
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        static const ULONG zero = 0;
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = const_cast<PWSTR>(name);
        table[0].EntryContext = target;
        table[0].DefaultType = defaultType;
        table[0].DefaultData = const_cast<ULONG *>(&zero);
        table[0].DefaultLength = defaultType == REG_DWORD ? sizeof zero : 0;
        const std::u16string key = kParameters;
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr);
    }
};

TEST_F(RegistryTypes, DirectDwordIsWrittenOverACountedStringHeader)
{
    sim().registry.set_dword(kParameters, u"FPGA", 0x00420005);
    WCHAR text[8] = {};
    UNICODE_STRING target{0, sizeof text, text};
    EXPECT_EQ(QueryDirect(u"FPGA", &target, REG_SZ), STATUS_SUCCESS);
    EXPECT_EQ(target.Length, 5) << "odd and above MaximumLength: a corrupt counted string";
    EXPECT_EQ(target.MaximumLength, 0x42);
    EXPECT_EQ(target.Buffer, text);
    EXPECT_TRUE(sim().verifier.violations().empty()) << "within the target: NT reports nothing";
}

TEST_F(RegistryTypes, DirectStringIntoAFourByteTargetIsReported)
{
    sim().registry.set_string(kParameters, u"0", u"twelve");
    ULONG target[2] = {0, 0x5A5A5A5A}; // the word behind the variable stands for the stack
    EXPECT_EQ(QueryDirect(u"0", &target[0], REG_DWORD), STATUS_SUCCESS);
    ASSERT_EQ(sim().verifier.violations().size(), 1u);
    EXPECT_NE(sim().verifier.violations()[0].find("4-byte target"), std::string::npos);
    EXPECT_EQ(target[1], 0x5A5A5A5Au) << "the simulator writes only what fits";
    sim().verifier.reset();
}

struct WrongTypeRow {
    const char *name;
    const char16_t *value;
    bool asString; // stored as REG_SZ (else REG_DWORD 7)
};

class RegistryTypesReaders : public RegistryTypes, public ::testing::WithParamInterface<WrongTypeRow> {};

// The readers query each value through a routine that checks its type: a value of another
// type reads as absent, and the verifier sees no write past a target.
TEST_P(RegistryTypesReaders, WrongTypeReadsAsAbsent)
{
    const WrongTypeRow &row = GetParam();
    if (row.asString)
        sim().registry.set_string(kParameters, row.value, u"Card.bin");
    else
        sim().registry.set_dword(kParameters, row.value, 7);

    EXPECT_EQ(QorReadParameterReg(&path, 0), 0u);
    ASSERT_TRUE(QorReadEnumReg(&record));
    EXPECT_EQ(ext.EnumParam, 0u);
    record.FpgaFileName = nullptr;
    ASSERT_TRUE(QorReadFileReg(&record));
    ASSERT_NE(record.FpgaFileName, nullptr);
    EXPECT_EQ(record.FpgaFileName->Length, 0);
    EXPECT_EQ(record.FpgaFileName->MaximumLength, 256);
    EXPECT_EQ(record.FpgaFileName->Buffer[0], 0);
    QorDeleteUcs(record.FpgaFileName);
}

INSTANTIATE_TEST_SUITE_P(Values, RegistryTypesReaders,
                         ::testing::Values(WrongTypeRow{"string_under_AI", u"AI", true},
                                           WrongTypeRow{"string_under_card_0", u"0", true},
                                           WrongTypeRow{"dword_under_FPGA", u"FPGA", false}),
                         RowName<::testing::TestParamInfo<WrongTypeRow>>);

TEST_F(RegistryTypes, RightTypesStillRead)
{
    sim().registry.set_dword(kParameters, u"AI", 64);
    sim().registry.set_dword(kParameters, u"0", 9);
    sim().registry.set_string(kParameters, u"FPGA", u"Card.bin");
    EXPECT_EQ(QorReadParameterReg(&path, 0), 64u);
    ASSERT_TRUE(QorReadEnumReg(&record));
    EXPECT_EQ(ext.EnumParam, 9u);
    ASSERT_TRUE(QorReadFileReg(&record));
    EXPECT_EQ(qorsim::from_ucs(record.FpgaFileName), u"Card.bin");
    QorDeleteUcs(record.FpgaFileName);
}

} // namespace
