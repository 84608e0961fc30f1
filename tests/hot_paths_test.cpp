// The request lookup by function number and the descriptor pass of the scatter-gather
// chain, at the edges their shapes bring: codes that share a row's function but not its
// other bits, functions between and around the rows, the list count's 16-bit arithmetic,
// requests without a system buffer; chains with an odd or even number of whole pages, with
// and without a first or last partial page, and nothing written past the chain's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "plx9080_chain.h"
#include "qor_platform.h"
#include "support/sim_fixture.h"

namespace {

// ---- request lookup ----------------------------------------------------------------------------
constexpr ULONG kCounterSet = 0xADC02248; // function 0x892, 14 bytes in, 2 out
constexpr ULONG kStart = 0xADC021E8;      // function 0x87A, a transfer start

struct LookupCase {
    const char *name;
    ULONG code;
    ULONG input, output;
    int listCount; // written at offset 16 when >= 0
    SHORT libraryStatus;
};

const LookupCase kLookups[] = {
    {"row's function with METHOD_IN_DIRECT", kCounterSet | 1, 14, 2, -1, QorErrUnknownRequest},
    {"row's function with METHOD_OUT_DIRECT", kCounterSet | 2, 14, 2, -1, QorErrUnknownRequest},
    {"row's function with FILE_READ_ACCESS", kCounterSet | 0x4000, 14, 2, -1, QorErrUnknownRequest},
    {"row's function with a device type one higher", kCounterSet + 0x10000, 14, 2, -1, QorErrUnknownRequest},
    {"function just below the first row's", 0xADC0203C, 14, 2, -1, QorErrUnknownRequest},
    {"function just above the highest row's", 0xADC02510, 14, 2, -1, QorErrUnknownRequest},
    {"highest function of the device type", 0xADC03FFC, 14, 2, -1, QorErrUnknownRequest},
    {"function between rows", 0xADC0224C - 0x10, 14, 2, -1, QorErrUnknownRequest},
    {"the lowest row", 0xADC02040, 0, 298, -1, QorOk},
    {"the highest row", 0xADC0250C, 10, 2, -1, QorOk},
    {"row next to a gap", 0xADC02244, 14, 14, -1, QorOk},
    {"16379 entries in 65534 bytes", kStart, 65534, 2, 16379, QorOk},
    {"16379 entries in 65533 bytes", kStart, 65533, 2, 16379, QorErrInputTooShort},
    {"16380 entries need more than 16 bits hold", kStart, 65535, 2, 16380, QorErrInputTooShort},
    {"list count 1 with input 65536+22 counts as 22", kStart, 65536 + 22, 2, 1, QorOk},
};

class HotPathLookup : public SimTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(HotPathLookup, FindsOnlyTheRowWithTheWholeCode)
{
    const LookupCase &c = GetParam();
    std::vector<uint8_t> input(c.input < 18 ? 18 : c.input, 0x5A);
    if (c.listCount >= 0) {
        input[16] = static_cast<uint8_t>(c.listCount);
        input[17] = static_cast<uint8_t>(c.listCount >> 8);
    }
    qorsim::IoctlRequest request(c.code, input.data(), c.input, c.output);
    const BOOLEAN accepted = QorIocCheckBufferLength(request.irp());
    EXPECT_EQ(request.library_status(), c.libraryStatus);
    EXPECT_EQ(accepted, c.libraryStatus == QorOk ? TRUE : FALSE);
    EXPECT_EQ(request.status(), c.libraryStatus == QorOk ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Table, HotPathLookup, ::testing::ValuesIn(kLookups),
                         RowName<::testing::TestParamInfo<LookupCase>>);

struct NoBufferCase {
    const char *name;
    ULONG code;
    ULONG input, output;
};

const NoBufferCase kNoBuffers[] = {
    {"METHOD_NEITHER code", 0xADC02040 | 3, 0, 298},
    {"table code sent without buffers", 0xADC02040, 0, 298},
    {"transfer start without buffers", kStart, 22, 2},
};

class HotPathNoSystemBuffer : public SimTest, public ::testing::WithParamInterface<NoBufferCase> {};

TEST_P(HotPathNoSystemBuffer, IsRejectedWithNothingWritten)
{
    const NoBufferCase &c = GetParam();
    qorsim::IoctlRequest request(c.code, nullptr, c.input, c.output);
    request.irp()->AssociatedIrp.SystemBuffer = nullptr; // as the I/O manager leaves it
    request.irp()->IoStatus.Information = 0x77;
    EXPECT_FALSE(QorIocCheckBufferLength(request.irp()));
    EXPECT_EQ(request.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.information(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, HotPathNoSystemBuffer, ::testing::ValuesIn(kNoBuffers),
                         RowName<::testing::TestParamInfo<NoBufferCase>>);

// ---- descriptor pass -----------------------------------------------------------------------------
namespace chain = qor::chain;
using Backing = qorsim::Process::Backing;
constexpr uint32_t kPage = 4096;
constexpr ULONG kLocal = 0x80;
constexpr uint8_t kUntouched = 0xA5;

struct PassCase {
    const char *name;
    ULONG offset, bytes;
    bool output;
    size_t descriptors;
};

const PassCase kPasses[] = {
    {"4 bytes", 0x100, 4, false, 1},
    {"first piece ends its page exactly", 0xF00, 0x100, true, 1},
    {"two whole pages", 0, 2 * kPage, false, 2},
    {"three whole pages", 0, 3 * kPage, true, 3},
    {"partial, four whole pages, no tail", 0x10, 5 * kPage - 0x10, false, 5},
    {"partial, five whole pages, tail", 0x10, 6 * kPage, true, 7},
    {"partial, no whole page, tail", 0x800, kPage, false, 2},
    {"whole pages then a tail", 0, 2 * kPage + 8, true, 3},
};

class HotPathDescriptorPass : public SimTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(HotPathDescriptorPass, CoversTheBufferAndWritesNothingPastItsEnd)
{
    const PassCase &c = GetParam();
    qorsim::Process &process = sim().processes.create("acqapp");
    const uintptr_t buffer = process.allocate_private(c.offset + c.bytes + kPage, Backing::Mapped);
    ASSERT_NE(buffer, 0u);
    constexpr ULONG kSlots = 16;
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = 0xFFFFFFFF;
    PVOID area = MmAllocateContiguousMemory(kSlots * 16, highest);
    ASSERT_NE(area, nullptr);
    std::memset(area, kUntouched, kSlots * 16);
    QorDbx dbx{};
    dbx.Size = kSlots * 16;
    dbx.Whole.KernelAddr = area;
    dbx.Whole.PhysAddr = static_cast<ULONG>(MmGetPhysicalAddress(area).QuadPart);
    dbx.Flags = c.output ? DbxOutput : 0;
    chain::SetLocalAddress(&dbx, kLocal);
    chain::SetUserBuffer(&dbx, static_cast<ULONG>(buffer + c.offset));
    chain::SetUserBytes(&dbx, c.bytes);
    {
        qorsim::InProcess in(process);
        ASSERT_TRUE(P9080_BuildDmaDscr(&dbx));
    }

    const auto *words = static_cast<const uint32_t *>(area);
    const uint32_t link = c.output ? 0x1 : 0x9;
    ULONG done = 0;
    for (size_t i = 0; i < c.descriptors; ++i) {
        const uint32_t *d = words + 4 * i;
        const uintptr_t user = buffer + c.offset + done;
        uint32_t page = 0;
        ASSERT_TRUE(process.translate(user, &page));
        const ULONG expectedSize = std::min<ULONG>(kPage - user % kPage, c.bytes - done);
        EXPECT_EQ(d[0], page * kPage + user % kPage) << i;
        EXPECT_EQ(d[1], kLocal) << i;
        EXPECT_EQ(d[2], expectedSize) << i;
        done += expectedSize;
        const uint32_t next = i + 1 < c.descriptors ? (dbx.Whole.PhysAddr + 16 * (i + 1)) | link : link | 0x2;
        EXPECT_EQ(d[3], next) << i;
    }
    EXPECT_EQ(done, c.bytes);
    const auto *bytes = static_cast<const uint8_t *>(area);
    for (size_t b = c.descriptors * 16; b < kSlots * 16; ++b)
        ASSERT_EQ(bytes[b], kUntouched) << "byte " << b << " past the chain";
    P9080_ClearDmaDscr(&dbx);
    MmFreeContiguousMemory(area);
}

INSTANTIATE_TEST_SUITE_P(Table, HotPathDescriptorPass, ::testing::ValuesIn(kPasses),
                         RowName<::testing::TestParamInfo<PassCase>>);

} // namespace
