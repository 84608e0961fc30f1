// Validation of I/O-control requests against the request-length table, through IRPs built
// as the I/O manager builds them: lengths at their 16-bit edges, the list count of the
// transfer starts, codes that share a row's function but not its other bits, functions
// between and around the rows, and requests that come without a system buffer.

#include <algorithm>
#include <cstring>

#include "support/sim_fixture.h"
#include "ioctl_check.h"
#include "qor_platform.h"

namespace {

constexpr ULONG kDesp = 0xADC02040;
constexpr ULONG kStart = 0xADC021D4; // QorContRequest row, variable length
constexpr ULONG kPioRead = 0xADC02214;
constexpr ULONG kCounterSet = 0xADC02248; // function 0x892, 14 bytes in, 2 out
constexpr ULONG kStartOut = 0xADC021E8;
constexpr NTSTATUS kBad = STATUS_INVALID_PARAMETER;
// A direct-method request's system buffer holds only its input: no status is written there.
constexpr SHORT kUntouched = 0x5A5A;

// listCount: written at offset 16 when >= 0; noSystemBuffer: as the I/O manager sends
// METHOD_NEITHER or empty requests.
struct Case {
    const char *name;
    ULONG code, input, output;
    int listCount;
    BOOLEAN accepted;
    SHORT libraryStatus;
    NTSTATUS status;
    ULONG_PTR information;
    bool noSystemBuffer = false;
};

const Case kCases[] = {
    {"output of 0 has no room for a status", kDesp, 0, 0, -1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 1 has no room for a status", kPioRead, 12, 1, -1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 65536 counts as 0", kDesp, 0, 65536, -1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 65538 counts as 2", kPioRead, 12, 65538, -1, FALSE, QorErrOutputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"unknown code of the device type", 0xADC02000, 16, 16, -1, FALSE, QorErrUnknownRequest, STATUS_INVALID_PARAMETER, 2},
    {"known function under another device type", 0x00222040, 0, 298, -1, FALSE, QorErrUnknownRequest, STATUS_INVALID_PARAMETER, 2},
    {"description with 297 bytes of output", kDesp, 0, 297, -1, FALSE, QorErrOutputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"description with 298 bytes of output", kDesp, 0, 298, -1, TRUE, QorOk, STATUS_SUCCESS, 298},
    {"description with more output than needed", kDesp, 0, 4096, -1, TRUE, QorOk, STATUS_SUCCESS, 298},
    {"input one byte short", kPioRead, 11, 12, -1, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"input longer than the row needs", kPioRead, 40, 12, -1, TRUE, QorOk, STATUS_SUCCESS, 12},
    {"input of 65536+12 counts as 12", kPioRead, 65536 + 12, 12, -1, TRUE, QorOk, STATUS_SUCCESS, 12},
    {"short input reported before short output", kPioRead, 11, 2, -1, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with one list entry in 22 bytes", kStart, 22, 2, 1, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"start of 21 bytes fails before the count is read", kStart, 21, 2, 0, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start of 22 bytes with two entries", kStart, 22, 2, 2, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with three entries in 29 bytes", kStart, 29, 2, 3, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with three entries in 30 bytes", kStart, 30, 2, 3, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"start with list count 0", kStart, 1000, 2, 0, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with 65535 entries needs more than 16 bits hold", kStart, 65535, 2, 65535, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with a short list and no output", kStart, 22, 1, 1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 65537 counts as 1", kStartOut, 26, 1 + 65536, 2, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"16379 entries in 65534 bytes", kStartOut, 65534, 2, 16379, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"16380 entries need more than 16 bits hold", kStartOut, 65535, 2, 16380, FALSE, QorErrInputTooShort, kBad, 2},
    {"list count 1 with input 65536+22 counts as 22", kStartOut, 65536 + 22, 2, 1, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"row's function with METHOD_IN_DIRECT", kCounterSet | 1, 14, 2, -1, FALSE, kUntouched, kBad, 0},
    {"row's function with FILE_READ_ACCESS", kCounterSet | 0x4000, 14, 2, -1, FALSE, QorErrUnknownRequest, kBad, 2},
    {"row's function with a device type one higher", kCounterSet + 0x10000, 14, 2, -1, FALSE, QorErrUnknownRequest, kBad, 2},
    {"function just below the first row's", 0xADC0203C, 14, 2, -1, FALSE, QorErrUnknownRequest, kBad, 2},
    {"function just above the highest row's", 0xADC02510, 14, 2, -1, FALSE, QorErrUnknownRequest, kBad, 2},
    {"function between rows", 0xADC0224C - 0x10, 14, 2, -1, FALSE, QorErrUnknownRequest, kBad, 2},
    {"the highest row", 0xADC0250C, 10, 2, -1, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"row next to a gap", 0xADC02244, 14, 14, -1, TRUE, QorOk, STATUS_SUCCESS, 14},
    {"METHOD_NEITHER code", kDesp | 3, 0, 298, -1, FALSE, 0, kBad, 0, true},
    {"table code sent without buffers", kDesp, 0, 298, -1, FALSE, 0, kBad, 0, true},
    {"transfer start without buffers", kStartOut, 22, 2, -1, FALSE, 0, kBad, 0, true},
};

class IoctlCheck : public SimTest, public ::testing::WithParamInterface<Case> {};

TEST_P(IoctlCheck, DecidesAsTheTableSays) {
    const Case &c = GetParam();
    std::vector<uint8_t> input(std::max<ULONG>(c.input, 18), 0x5A); // 0x5A5A where the status goes
    if (c.listCount >= 0) {
        input[16] = static_cast<uint8_t>(c.listCount);
        input[17] = static_cast<uint8_t>(c.listCount >> 8);
    }
    qorsim::IoctlRequest request(c.code, c.noSystemBuffer ? nullptr : input.data(), c.input, c.output);
    if (c.noSystemBuffer) {
        request.irp()->AssociatedIrp.SystemBuffer = nullptr;
        request.irp()->IoStatus.Information = 0x77;
    } else if (request.buffer_size() >= 2 && c.input < 2) {
        std::memset(request.buffer(), 0x5A, 2);
    }

    EXPECT_EQ(QorIocCheckBufferLength(request.irp()), c.accepted);
    EXPECT_EQ(request.status(), c.status);
    EXPECT_EQ(request.information(), c.information);
    if (!c.noSystemBuffer && request.buffer_size() >= 2) {
        EXPECT_EQ(request.library_status(), c.libraryStatus);
    }
    EXPECT_FALSE(request.completed()) << "the client completes the request";
}

INSTANTIATE_TEST_SUITE_P(Table, IoctlCheck, ::testing::ValuesIn(kCases), RowName<::testing::TestParamInfo<Case>>);

// The request-length table as the cards' request interface documents it, typed in row by
// row (code, input bytes, output bytes): rows 24 to 27 are the variable-length starts.
struct Row { ULONG code; USHORT input, output; };
const Row kDocumentedRows[] = {
    {0xADC02040, 0, 298}, {0xADC02094, 16, 2}, {0xADC020A4, 16, 2}, {0xADC02098, 16, 2},
    {0xADC020A8, 16, 2}, {0xADC020AC, 16, 2}, {0xADC020C0, 16, 2}, {0xADC020D4, 0, 8},
    {0xADC020E4, 0, 8}, {0xADC020D8, 0, 8}, {0xADC020E8, 0, 8}, {0xADC02114, 0, 8},
    {0xADC02124, 0, 8}, {0xADC02118, 0, 8}, {0xADC02128, 0, 8}, {0xADC02154, 0, 8},
    {0xADC02164, 0, 8}, {0xADC02158, 0, 8}, {0xADC02168, 0, 8}, {0xADC02194, 8, 2},
    {0xADC021A4, 8, 2}, {0xADC02198, 8, 2}, {0xADC021A8, 8, 2}, {0xADC021D4, 22, 2},
    {0xADC021E4, 22, 2}, {0xADC021D8, 22, 2}, {0xADC021E8, 22, 2}, {0xADC02468, 10, 2},
    {0xADC02460, 10, 2}, {0xADC02314, 0, 4}, {0xADC02324, 0, 4}, {0xADC02318, 0, 4},
    {0xADC02328, 0, 4}, {0xADC02214, 12, 12}, {0xADC02224, 12, 12}, {0xADC02218, 12, 2},
    {0xADC02228, 12, 2}, {0xADC02234, 12, 12}, {0xADC02248, 14, 2}, {0xADC0224C, 14, 2},
    {0xADC02244, 14, 14}, {0xADC02284, 10, 10}, {0xADC02288, 10, 2}, {0xADC022C4, 10, 2},
    {0xADC022C8, 0, 10}, {0xADC02484, 4, 2}, {0xADC024C4, 34, 34}, {0xADC024C8, 34, 2},
    {0xADC02088, 10, 2}, {0xADC02508, 10, 2}, {0xADC0250C, 10, 2}, {0xADC02504, 10, 10},
};

class IoctlCheckRows : public SimTest {};

// Every documented row accepts exactly its lengths, and one byte less of either is refused
// with the status of the length that fell short; the library's own table holds the same
// rows in the same order and ends with an all-zero row.
TEST_F(IoctlCheckRows, EveryDocumentedRowAcceptsItsLengthsAndNoLess) {
    ASSERT_EQ(sizeof(QorIoctlLength), 8u);
    ASSERT_EQ(std::size(kDocumentedRows), 52u);
    for (const Row &row : kDocumentedRows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.code);
        std::vector<uint8_t> input(row.input + 4, 0);
        if (input.size() >= 18)
            input[16] = 1; // one list entry for the transfer-start rows
        const struct { ULONG in, out; SHORT status; } tries[] = {
            {row.input, row.output, QorOk}, {row.input - 1u, row.output, QorErrInputTooShort},
            {row.input, row.output - 1u, QorErrOutputTooShort}};
        for (const auto &t : tries) {
            if ((t.status == QorErrInputTooShort && row.input == 0) || (t.status == QorErrOutputTooShort && row.output == 2))
                continue;
            qorsim::IoctlRequest r(row.code, input.data(), t.in, t.out);
            EXPECT_EQ(QorIocCheckBufferLength(r.irp()), t.status == QorOk);
            EXPECT_EQ(r.library_status(), t.status);
            EXPECT_EQ(r.information(), t.status == QorOk ? row.output : 2u);
        }
    }
    const QorIoctlLength *table = qor::kIoctlLengthTable;
    for (size_t i = 0; i < std::size(kDocumentedRows); ++i) {
        EXPECT_EQ(+table[i].Code, kDocumentedRows[i].code) << "row " << i + 1;
        EXPECT_EQ(+table[i].InputLength, kDocumentedRows[i].input) << "row " << i + 1;
        EXPECT_EQ(+table[i].OutputLength, kDocumentedRows[i].output) << "row " << i + 1;
    }
    EXPECT_EQ(table[52].Code | table[52].InputLength | table[52].OutputLength, 0u);
}

} // namespace
