// Validation of I/O-control requests against the request-length table, through IRPs built
// as the I/O manager builds them.
#include <gtest/gtest.h>

#include <cstring>

#include "support/sim_fixture.h"
#include "qor_platform.h"

namespace {

constexpr ULONG kDesp = 0xADC02040;
constexpr ULONG kStart = 0xADC021D4; // QorContRequest row, variable length
constexpr ULONG kPioRead = 0xADC02214;

struct Case {
    const char *name;
    ULONG code;
    ULONG input;
    ULONG output;
    int listCount; // written at offset 16 when >= 0
    BOOLEAN accepted;
    SHORT libraryStatus;
    NTSTATUS status;
    ULONG_PTR information;
};

const Case kCases[] = {
    {"output of 0 has no room for a status", kDesp, 0, 0, -1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 1 has no room for a status", kPioRead, 12, 1, -1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 65536 counts as 0", kDesp, 0, 65536, -1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 65538 counts as 2", kPioRead, 12, 65538, -1, FALSE, QorErrOutputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"code 0 matches no row", 0, 16, 16, -1, FALSE, QorErrUnknownRequest, STATUS_INVALID_PARAMETER, 2},
    {"unknown code of the device type", 0xADC02000, 16, 16, -1, FALSE, QorErrUnknownRequest, STATUS_INVALID_PARAMETER, 2},
    {"known function under another device type", 0x00222040, 0, 298, -1, FALSE, QorErrUnknownRequest, STATUS_INVALID_PARAMETER, 2},
    {"description with 297 bytes of output", kDesp, 0, 297, -1, FALSE, QorErrOutputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"description with 298 bytes of output", kDesp, 0, 298, -1, TRUE, QorOk, STATUS_SUCCESS, 298},
    {"description with more output than needed", kDesp, 0, 4096, -1, TRUE, QorOk, STATUS_SUCCESS, 298},
    {"input one byte short", kPioRead, 11, 12, -1, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"input longer than the row needs", kPioRead, 40, 12, -1, TRUE, QorOk, STATUS_SUCCESS, 12},
    {"input of 65536+12 counts as 12", kPioRead, 65536 + 12, 12, -1, TRUE, QorOk, STATUS_SUCCESS, 12},
    {"input of 65536+11 counts as 11", kPioRead, 65536 + 11, 12, -1, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"short input reported before short output", kPioRead, 11, 2, -1, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with one list entry in 22 bytes", kStart, 22, 2, 1, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"start of 21 bytes fails before the count is read", kStart, 21, 2, 0, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with three entries in 29 bytes", kStart, 29, 2, 3, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with three entries in 30 bytes", kStart, 30, 2, 3, TRUE, QorOk, STATUS_SUCCESS, 2},
    {"start with list count 0", kStart, 1000, 2, 0, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with 65535 entries needs more than 16 bits hold", kStart, 65535, 2, 65535, FALSE, QorErrInputTooShort, STATUS_INVALID_PARAMETER, 2},
    {"start with a short list and no output", kStart, 22, 1, 1, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
    {"output of 65537 counts as 1", 0xADC021E8, 26, 1 + 65536, 2, FALSE, 0x5A5A, STATUS_INVALID_PARAMETER, 0},
};

class IoctlCheck : public SimTest, public ::testing::WithParamInterface<Case> {};

TEST_P(IoctlCheck, DecidesAsTheTableSays)
{
    const Case &c = GetParam();
    std::vector<uint8_t> input(c.input, 0);
    if (input.size() >= 2) {
        input[0] = 0x5A; // the caller's bytes where the status goes
        input[1] = 0x5A;
    }
    if (c.listCount >= 0 && input.size() >= 18) {
        input[16] = static_cast<uint8_t>(c.listCount);
        input[17] = static_cast<uint8_t>(c.listCount >> 8);
    }
    qorsim::IoctlRequest request(c.code, input.data(), c.input, c.output);
    if (request.buffer_size() >= 2 && c.input < 2)
        std::memset(request.buffer(), 0x5A, 2);

    EXPECT_EQ(QorIocCheckBufferLength(request.irp()), c.accepted);
    EXPECT_EQ(request.status(), c.status);
    EXPECT_EQ(request.information(), c.information);
    if (request.buffer_size() >= 2) {
        EXPECT_EQ(request.library_status(), c.libraryStatus);
    }
    EXPECT_FALSE(request.completed()) << "the client completes the request";
}

INSTANTIATE_TEST_SUITE_P(Table, IoctlCheck, ::testing::ValuesIn(kCases), RowName<::testing::TestParamInfo<Case>>);

class IoctlCheckRows : public SimTest {};

// Every row accepts exactly its own lengths and rejects one byte less of either.
TEST_F(IoctlCheckRows, EveryRowAcceptsItsLengthsAndNoLess)
{
#define QOR_CHECK_ROW(function, in, out) {QOR_IOCTL_CODE(function), in, out},
    const QorIoctlLength rows[] = {QOR_IOCTL_TABLE(QOR_CHECK_ROW)};
#undef QOR_CHECK_ROW
    for (const QorIoctlLength &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.Code);
        std::vector<uint8_t> input(row.InputLength + 4, 0);
        if (input.size() >= 18)
            input[16] = 1; // one list entry for the transfer-start rows
        {
            qorsim::IoctlRequest ok(row.Code, input.data(), row.InputLength, row.OutputLength);
            EXPECT_TRUE(QorIocCheckBufferLength(ok.irp()));
            EXPECT_EQ(ok.information(), row.OutputLength);
        }
        if (row.InputLength > 0) {
            qorsim::IoctlRequest shortIn(row.Code, input.data(), row.InputLength - 1, row.OutputLength);
            EXPECT_FALSE(QorIocCheckBufferLength(shortIn.irp()));
            EXPECT_EQ(shortIn.library_status(), QorErrInputTooShort);
        }
        if (row.OutputLength > 2) {
            qorsim::IoctlRequest shortOut(row.Code, input.data(), row.InputLength, row.OutputLength - 1);
            EXPECT_FALSE(QorIocCheckBufferLength(shortOut.irp()));
            EXPECT_EQ(shortOut.library_status(), QorErrOutputTooShort);
        }
    }
}

} // namespace
