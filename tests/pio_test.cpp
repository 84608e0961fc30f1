// Digital I/O masking and merging, and port I/O against the recorded port accesses.

#include "support/sim_fixture.h"
#include "pio.h"

namespace {

enum class Op { Read, Write };

struct PioCase {
    const char *name;
    Op op;
    USHORT width;
    USHORT byteCount;
    USHORT bitIndex;
    ULONG value;
    ULONG current; // write only
    BOOLEAN result;
    SHORT status;
    ULONG valueAfter;
};

const PioCase kPioCases[] = {
    {"read low byte of a 2-byte port", Op::Read, 2, 1, 0, 0xABCD, 0, TRUE, QorOk, 0xCD},
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
    {"write 3 bytes keeps the top byte", Op::Write, 4, 3, 0, 0xFF112233, 0xAABBCCDD, TRUE, QorOk, 0xAA112233},
    {"write whole port ignores current", Op::Write, 4, 4, 0, 0x12345678, 0xFFFFFFFF, TRUE, QorOk, 0x12345678},
    {"write bit 0 from a value with bit 0 clear", Op::Write, 1, 0, 0, 2, 0xFF, TRUE, QorOk, 0xFE},
    {"write bit 5 set", Op::Write, 1, 0, 5, 1, 0x00, TRUE, QorOk, 0x20},
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

// Port I/O at PortBase[1] + Offset on a card register block.
class PortIo : public SimTest {
protected:
    static constexpr uint32_t kBase = 0xE000;
    qorsim::RegisterFile card{0x100};
    QorDevExt ext{};

    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kBase, 0x100, &card, "card"));
        ext.PortBase[0] = 0xD000;
        ext.PortBase[1] = kBase;
        ext.PortCount = 2;
    }
    void TearDown() override {
        sim().ports.release(&card);
        SimTest::TearDown();
    }
};

TEST_F(PortIo, EachWidthMakesOneAccessOfThatWidth) {
    card.poke(0x10, 4, 0x89ABCDEF);
    struct {
        USHORT width;
        ULONG readBack;
    } cases[] = {{1, 0xEF}, {2, 0xCDEF}, {4, 0x89ABCDEF}};
    for (const auto &c : cases) {
        sim().ports.clear_trace();
        QorPortIoRequest r{};
        r.Offset = 0x10;
        r.Width = c.width;
        r.Value = 0xFFFFFFFF; // the read zero-extends
        QorIocPortIoRead(&ext, c.width, &r);
        EXPECT_EQ(+r.Status, QorOk);
        EXPECT_EQ(+r.Value, c.readBack);
        EXPECT_EQ(accesses(), (std::vector{In(c.width, kBase + 0x10, c.readBack)}));
    }

    sim().ports.clear_trace();
    for (USHORT width : {1, 2, 4}) {
        QorPortIoRequest w{};
        w.Offset = 0x20;
        w.Width = width;
        w.Value = 0x11223344;
        QorIocPortIoWrite(&ext, width, &w);
        EXPECT_EQ(+w.Status, QorOk);
    }
    EXPECT_EQ(accesses(), (std::vector{Out(1, kBase + 0x20, 0x44), Out(2, kBase + 0x20, 0x3344),
                                       Out(4, kBase + 0x20, 0x11223344)}));
    EXPECT_EQ(card.peek(0x20, 4), 0x11223344u);
}

TEST_F(PortIo, WidthMismatchIsReportedButTheRequestWidthIsUsed) {
    QorPortIoRequest w{};
    w.Offset = 4;
    w.Width = 4;
    w.Value = 0xCAFEF00D;
    QorIocPortIoWrite(&ext, 1, &w);
    EXPECT_EQ(+w.Status, QorErrPortWidth);
    EXPECT_EQ(accesses(), (std::vector{Out(4, kBase + 4, 0xCAFEF00D)}));

    sim().ports.clear_trace();
    QorPortIoRequest r{};
    r.Offset = 4;
    r.Width = 2;
    QorIocPortIoRead(&ext, 4, &r);
    EXPECT_EQ(+r.Status, QorErrPortWidth);
    EXPECT_EQ(+r.Value, 0xF00Du);
    EXPECT_EQ(accesses(), (std::vector{In(2, kBase + 4, 0xF00D)}));
}

TEST_F(PortIo, UnsupportedWidthMakesNoAccess) {
    QorPortIoRequest r{};
    r.Offset = 8;
    r.Width = 3;
    r.Value = 0x12345678;
    QorIocPortIoRead(&ext, 1, &r);
    EXPECT_EQ(+r.Status, QorErrPortWidth);
    EXPECT_EQ(+r.Value, 0x12345678u);
    QorPortIoRequest w = r;
    w.Status = QorOk;
    QorIocPortIoWrite(&ext, 3, &w); // matching width 3: no access and no complaint
    EXPECT_EQ(+w.Status, QorOk);
    EXPECT_TRUE(accesses().empty());
}

TEST_F(PortIo, OffsetIsAddedToTheSecondPortBaseIn32Bits) {
    ext.PortBase[1] = 0xFFFF0000; // the sum is 32-bit, not 16-bit
    QorPortIoRequest w{};
    w.Offset = 0xFFFF;
    w.Width = 1;
    w.Value = 0xA5;
    QorIocPortIoWrite(&ext, 1, &w);
    EXPECT_EQ(accesses(), (std::vector{Out(1, 0xFFFFFFFF, 0xA5)}));
}

} // namespace
