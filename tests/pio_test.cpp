// Digital I/O masking and merging, and port I/O against the recorded port accesses.

#include "support/model_fixture.h"
#include "pio.h"

namespace {

enum class Op { Read, Write };

// current: the port's value, for a write only.
struct PioCase {
    const char *name;
    Op op;
    USHORT width, byteCount, bitIndex;
    ULONG value, current;
    BOOLEAN result;
    SHORT status;
    ULONG valueAfter;
};

const PioCase kPioCases[] = {
    {"read low byte of a 2-byte port", Op::Read, 2, 1, 0, 0xABCD, 0, TRUE, QorOk, 0xCD},
    {"read two bytes of a 4-byte port", Op::Read, 4, 2, 0, 0x12345678, 0, TRUE, QorOk, 0x5678},
    {"read three bytes of a 4-byte port", Op::Read, 4, 3, 0, 0x12345678, 0, TRUE, QorOk, 0x345678},
    {"read whole 4-byte port", Op::Read, 4, 4, 0, 0xFFFFFFFF, 0, TRUE, QorOk, 0xFFFFFFFF},
    {"read bit 3 set", Op::Read, 1, 0, 3, 0x08, 0, TRUE, QorOk, 1},
    {"read bit 3 clear", Op::Read, 1, 0, 3, 0xF7, 0, TRUE, QorOk, 0},
    {"read bit 7, the highest of a byte port", Op::Read, 1, 0, 7, 0x80, 0, TRUE, QorOk, 1},
    {"read bit 8 of a byte port", Op::Read, 1, 0, 8, 0x1FF, 0, FALSE, QorErrBitIndex, 0x1FF},
    {"read bit 31 of a 4-byte port", Op::Read, 4, 0, 31, 0x80000000, 0, TRUE, QorOk, 1},
    {"read bit 32 of a 4-byte port", Op::Read, 4, 0, 32, 0x80000000, 0, FALSE, QorErrBitIndex, 0x80000000},
    {"read 3 bytes of a 2-byte port", Op::Read, 2, 3, 0, 0xABCD, 0, FALSE, QorErrByteCount, 0xABCD},
    {"byte count checked before bit index", Op::Read, 1, 2, 99, 0x55, 0, FALSE, QorErrByteCount, 0x55},
    {"bit index ignored with a byte count", Op::Read, 1, 1, 99, 0x1255, 0, TRUE, QorOk, 0x55},
    {"write low byte into a 2-byte port", Op::Write, 2, 1, 0, 0x1234, 0xABCD, TRUE, QorOk, 0xAB34},
    {"write 2 bytes keeps the top half", Op::Write, 4, 2, 0, 0xFF112232, 0xAABBCCDD, TRUE, QorOk, 0xAABB2232},
    {"write 3 bytes keeps the top byte", Op::Write, 4, 3, 0, 0xFF112233, 0xAABBCCDD, TRUE, QorOk, 0xAA112233},
    {"write whole port ignores current", Op::Write, 4, 4, 0, 0x12345678, 0xFFFFFFFF, TRUE, QorOk, 0x12345678},
    {"write bit 0 from a value with bit 0 clear", Op::Write, 1, 0, 0, 2, 0xFF, TRUE, QorOk, 0xFE},
    {"write bit 5 set", Op::Write, 1, 0, 5, 1, 0x00, TRUE, QorOk, 0x20},
    {"write bit 3 clear keeps the rest", Op::Write, 1, 0, 3, 0, 0xFF, TRUE, QorOk, 0xF7},
    {"write bit 31 set keeps the rest", Op::Write, 4, 0, 31, 0xFFFFFFFF, 0x0000ABCD, TRUE, QorOk, 0x8000ABCD},
    {"write bit 16 of a 2-byte port", Op::Write, 2, 0, 16, 1, 0x1234, FALSE, QorErrBitIndex, 1},
    {"write 2 bytes to a byte port", Op::Write, 1, 2, 0, 0x1234, 0xFF, FALSE, QorErrByteCount, 0x1234},
    // A port wider than the masks reach is served as a 4-byte port.
    {"port width 6 takes 4 bytes", Op::Read, 6, 4, 0, 0xDEADBEEF, 0, TRUE, QorOk, 0xDEADBEEF},
    {"port width 6 refuses 5 bytes", Op::Read, 6, 5, 0, 0x1, 0, FALSE, QorErrByteCount, 0x1},
    {"port width 6 refuses bit 32", Op::Write, 6, 0, 32, 1, 0, FALSE, QorErrBitIndex, 1},
};

class DigitalIo : public ::testing::TestWithParam<PioCase> {};

TEST_P(DigitalIo, MasksAndMerges) {
    const PioCase &c = GetParam();
    QorPioRequest r{};
    r.Status = 0x777;
    r.ClientField = 0xBEEF;
    r.ByteCount = c.byteCount;
    r.BitIndex = c.bitIndex;
    r.Value = c.value;
    const BOOLEAN result = c.op == Op::Read ? QorIocPioRead(c.width, &r) : QorIocPioWrite(c.width, &r, c.current);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(+r.Status, c.status);
    EXPECT_EQ(+r.Value, c.valueAfter) << std::hex << +r.Value;
    EXPECT_EQ(+r.ClientField, 0xBEEF);
    EXPECT_EQ(+r.BitIndex, c.bitIndex);
    EXPECT_EQ(+r.ByteCount, c.byteCount);
}

INSTANTIATE_TEST_SUITE_P(Table, DigitalIo, ::testing::ValuesIn(kPioCases), RowName<::testing::TestParamInfo<PioCase>>);

// Port I/O at PortBase[1] + Offset (a 32-bit sum) on a card register block holding
// 0x89ABCDEF at offset 0x10: one access of the request's width, whatever the card's
// width says; a width the card differs from is reported; width 3 makes no access.
struct PortCase {
    const char *name;
    bool write;
    USHORT cardWidth, width, offset;
    ULONG base1, value;
    SHORT status;
    ULONG valueAfter;
    Accesses expected;
};
constexpr uint32_t kCard = 0xE000;
constexpr SHORT kKept = 0x777; // success leaves the status that validation wrote
const PortCase kPortCases[] = {
    {"read 1 byte zero-extended", false, 1, 1, 0x10, kCard, 0xFFFFFFFF, kKept, 0xEF, {In(1, kCard + 0x10, 0xEF)}},
    {"read 2 bytes", false, 2, 2, 0x10, kCard, 0xFFFFFFFF, kKept, 0xCDEF, {In(2, kCard + 0x10, 0xCDEF)}},
    {"read 4 bytes", false, 4, 4, 0x10, kCard, 0, kKept, 0x89ABCDEF, {In(4, kCard + 0x10, 0x89ABCDEF)}},
    {"write 1 byte", true, 1, 1, 0x20, kCard, 0x11223344, kKept, 0x11223344, {Out(1, kCard + 0x20, 0x44)}},
    {"write 2 bytes", true, 2, 2, 0x20, kCard, 0x11223344, kKept, 0x11223344, {Out(2, kCard + 0x20, 0x3344)}},
    {"write 4 bytes", true, 4, 4, 0x20, kCard, 0x11223344, kKept, 0x11223344, {Out(4, kCard + 0x20, 0x11223344)}},
    {"write wider than the card", true, 1, 4, 4, kCard, 0xCAFEF00D, QorErrPortWidth, 0xCAFEF00D, {Out(4, kCard + 4, 0xCAFEF00D)}},
    {"read narrower than the card", false, 4, 2, 0x10, kCard, 0, QorErrPortWidth, 0xCDEF, {In(2, kCard + 0x10, 0xCDEF)}},
    {"read width 3", false, 1, 3, 8, kCard, 0x12345678, QorErrPortWidth, 0x12345678, {}},
    {"write width 3 on a width-3 card", true, 3, 3, 8, kCard, 0x12345678, kKept, 0x12345678, {}},
    {"offset added in 32 bits", true, 1, 1, 0xFFFF, 0xFFFF0000, 0xA5, kKept, 0xA5, {Out(1, 0xFFFFFFFF, 0xA5)}},
};

class PortIo : public SimTest, public ::testing::WithParamInterface<PortCase> {
protected:
    qorsim::RegisterFile card{0x100};
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kCard, 0x100, &card, "card"));
        card.poke(0x10, 4, 0x89ABCDEF);
    }
    void TearDown() override {
        sim().ports.release(&card);
        SimTest::TearDown();
    }
};

TEST_P(PortIo, OneAccessOfTheRequestsWidth) {
    const PortCase &c = GetParam();
    QorDevExt ext{};
    ext.PortBase[0] = 0xD000;
    ext.PortBase[1] = c.base1;
    ext.PortCount = 2;
    QorPortIoRequest r{};
    r.Status = kKept;
    r.Offset = c.offset;
    r.Width = c.width;
    r.Value = c.value;
    (c.write ? QorIocPortIoWrite : QorIocPortIoRead)(&ext, c.cardWidth, &r);
    EXPECT_EQ(+r.Status, c.status);
    EXPECT_EQ(+r.Value, c.valueAfter);
    EXPECT_EQ(accesses(), c.expected);
    // An offset that leaves the card reaches a port no card decodes: the verifier says so.
    const bool offCard = !c.expected.empty() && c.expected[0].port - kCard >= 0x100;
    const auto violations = sim().verifier.violations();
    EXPECT_EQ(violations.size(), offCard ? 1u : 0u);
    if (offCard && !violations.empty()) {
        EXPECT_NE(violations[0].find("which no card decodes"), std::string::npos) << violations[0];
        // The library's code is named (its port helper where the build keeps it apart).
        EXPECT_TRUE(violations[0].find("by QorIocPortIo") != std::string::npos ||
                    violations[0].find("by qor::PortWrite") != std::string::npos)
            << violations[0];
        sim().verifier.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PortIo, ::testing::ValuesIn(kPortCases), RowName<::testing::TestParamInfo<PortCase>>);

} // namespace
