// The I/O manager's buffering by transfer method, its copy back to the caller at
// completion, and validation of requests that come without a system buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "support/sim_fixture.h"
#include "qorpelk.h"

namespace {

// A code of the cards' device type that is in no row of the table, with a given method.
constexpr ULONG UnknownCode(ULONG method) { return CTL_CODE(0xADC0, 0x7F0, method, FILE_ANY_ACCESS); }

class StrictIo : public SimTest {};

// systemBuffer: bytes, 0 where SystemBuffer is null; outputMdl: IRP.MdlAddress describes
// the caller's output; userPointers: Type3InputBuffer and UserBuffer carry the caller's
// addresses.
struct BufferingRow { const char *name; ULONG method, input, output; size_t systemBuffer; bool outputMdl, userPointers; };

class StrictIoBuffering : public StrictIo, public ::testing::WithParamInterface<BufferingRow> {};

TEST_P(StrictIoBuffering, SystemBufferFollowsTheTransferMethod)
{
    const BufferingRow &row = GetParam();
    uint8_t in[64] = {0x11, 0x22, 0x33};
    qorsim::IoctlRequest request(UnknownCode(row.method), in, row.input, row.output);
    PIRP irp = request.irp();
    const auto &params = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer != nullptr, row.systemBuffer != 0);
    EXPECT_EQ(request.buffer_size(), row.systemBuffer);
    if (row.systemBuffer != 0 && row.input != 0) {
        EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, in, row.input), 0);
    }
    EXPECT_EQ(irp->MdlAddress != nullptr, row.outputMdl);
    if (row.outputMdl) {
        EXPECT_EQ(irp->MdlAddress->ByteCount, row.output);
    }
    EXPECT_EQ(params.Type3InputBuffer == in, row.userPointers);
    EXPECT_EQ(irp->UserBuffer != nullptr && irp->UserBuffer == request.output(), row.userPointers);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, StrictIoBuffering,
    ::testing::Values(BufferingRow{"buffered_input_larger", METHOD_BUFFERED, 16, 4, 16, false, false},
                      BufferingRow{"buffered_output_larger", METHOD_BUFFERED, 4, 40, 40, false, false},
                      BufferingRow{"buffered_nothing", METHOD_BUFFERED, 0, 0, 0, false, false},
                      BufferingRow{"in_direct", METHOD_IN_DIRECT, 12, 300, 12, true, false},
                      BufferingRow{"out_direct_without_input", METHOD_OUT_DIRECT, 0, 8, 0, true, false},
                      BufferingRow{"neither", METHOD_NEITHER, 16, 16, 0, false, true}),
    RowName<::testing::TestParamInfo<BufferingRow>>);

// copied: bytes of the system buffer that reach the caller.
struct CopyBackRow { const char *name; ULONG method; NTSTATUS status; ULONG information; size_t copied; };

class StrictIoCopyBack : public StrictIo, public ::testing::WithParamInterface<CopyBackRow> {};

TEST_P(StrictIoCopyBack, OnlySuccessAndWarningGoBackAndNeverPastTheOutput)
{
    const CopyBackRow &row = GetParam();
    constexpr ULONG kOutput = 8;
    uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    qorsim::IoctlRequest request(UnknownCode(row.method), nullptr, 0, kOutput, out);
    if (request.buffer() != nullptr)
        std::memset(request.buffer(), 0x5A, request.buffer_size());
    request.irp()->IoStatus.Status = row.status;
    request.irp()->IoStatus.Information = row.information;
    IofCompleteRequest(request.irp(), IO_NO_INCREMENT);
    EXPECT_EQ(request.copied_back(), row.copied);
    for (size_t i = 0; i < sizeof out; ++i)
        EXPECT_EQ(out[i], i < row.copied ? 0x5A : 0xEE) << "byte " << i;
    if (row.information > kOutput && row.copied != 0) {
        EXPECT_EQ(sim().verifier.violations().size(), 1u);
        sim().verifier.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Completion, StrictIoCopyBack,
    ::testing::Values(CopyBackRow{"success", METHOD_BUFFERED, STATUS_SUCCESS, 6, 6},
                      CopyBackRow{"warning", METHOD_BUFFERED, STATUS_BUFFER_OVERFLOW, 8, 8},
                      CopyBackRow{"error", METHOD_BUFFERED, STATUS_INVALID_PARAMETER, 2, 0},
                      CopyBackRow{"information_past_output", METHOD_BUFFERED, STATUS_SUCCESS, 12, 8},
                      CopyBackRow{"direct_has_nothing_to_copy", METHOD_OUT_DIRECT, STATUS_SUCCESS, 8, 0}),
    RowName<::testing::TestParamInfo<CopyBackRow>>);

// A code outside the table may carry any method. Validation must not write its status
// where the I/O manager put no buffer for it: through a null SystemBuffer, or past a
// direct request's input-only buffer.
struct NoBufferRow { const char *name; ULONG method, input; };

class StrictIoValidation : public StrictIo, public ::testing::WithParamInterface<NoBufferRow> {};

TEST_P(StrictIoValidation, RejectsWithoutWritingWhereNoBufferIs)
{
    const NoBufferRow &row = GetParam();
    const uint8_t in[4] = {0x7E, 0x7F, 0x80, 0x81};
    qorsim::IoctlRequest request(UnknownCode(row.method), in, row.input, 16);
    EXPECT_FALSE(QorIocCheckBufferLength(request.irp()));
    EXPECT_EQ(request.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.information(), 0u);
    if (request.buffer() != nullptr) {
        EXPECT_EQ(std::memcmp(request.buffer(), in, row.input), 0) << "input buffer written";
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, StrictIoValidation,
                         ::testing::Values(NoBufferRow{"neither", METHOD_NEITHER, 4},
                                           NoBufferRow{"in_direct_no_input", METHOD_IN_DIRECT, 0},
                                           NoBufferRow{"out_direct_one_byte_input", METHOD_OUT_DIRECT, 1},
                                           NoBufferRow{"out_direct_input", METHOD_OUT_DIRECT, 4}),
                         RowName<::testing::TestParamInfo<NoBufferRow>>);

} // namespace
