// PLX 9080 scatter-gather chains over locked user buffers: the refusals, the descriptor
// layout against the pages the simulated process really has and nothing written past the
// chain's end, chunk boundaries, and failures with what they leave for the clear.

#include <algorithm>
#include <cstring>

#include "models/plx9080.h"
#include "plx9080_chain.h"
#include "support/model_fixture.h"

namespace {

using qorsim::models::Plx9080;
using Backing = qorsim::Process::Backing;
namespace chain = qor::chain;

constexpr ULONG kChunk = 0x3C00000;
constexpr ULONG kLocal = 0x40; // the card's FIFO on the local bus
constexpr uint32_t kPage = 4096;

struct Descriptor { uint32_t pci, local, size, next; };

class ScatterGatherTest : public ModelTest<Plx9080> {
protected:
    qorsim::Process *process = nullptr;
    QorDbx dbx{};
    PVOID area = nullptr;
    uintptr_t buffer = 0;

    void SetUp() override {
        ModelTest::SetUp();
        process = &sim().processes.create("acqapp");
    }
    void TearDown() override {
        if (area != nullptr) MmFreeContiguousMemory(area);
        ModelTest::TearDown();
    }
    // The descriptor area: `slots` descriptors of contiguous memory.
    void Area(ULONG slots) {
        PHYSICAL_ADDRESS highest;
        highest.QuadPart = 0xFFFFFFFF;
        area = MmAllocateContiguousMemory(std::max<ULONG>(slots * 16, 16), highest);
        ASSERT_NE(area, nullptr);
        dbx.Size = slots * 16;
        dbx.Whole.KernelAddr = area;
        dbx.Whole.PhysAddr = static_cast<ULONG>(MmGetPhysicalAddress(area).QuadPart);
    }
    // A user buffer of `bytes` at `offset` into a private allocation of the process, with
    // a page to spare behind it.
    void UserBuffer(ULONG offset, ULONG bytes, Backing backing, bool output = false) {
        buffer = process->allocate_private(offset + bytes + kPage, backing);
        ASSERT_NE(buffer, 0u);
        chain::SetUserBuffer(&dbx, static_cast<ULONG>(buffer + offset));
        chain::SetUserBytes(&dbx, bytes);
        chain::SetLocalAddress(&dbx, kLocal);
        dbx.Flags = output ? DbxOutput : 0;
    }
    BOOLEAN Build() {
        qorsim::InProcess in(*process);
        return P9080_BuildDmaDscr(&dbx);
    }
    Descriptor Slot(size_t i) const {
        Descriptor d;
        std::memcpy(&d, static_cast<const uint8_t *>(area) + i * 16, 16);
        return d;
    }
    uint32_t SlotPhys(size_t i) const { return dbx.Whole.PhysAddr + uint32_t(i) * 16; }
    uint32_t PhysOf(uintptr_t user) const {
        uint32_t page = 0;
        EXPECT_TRUE(process->translate(user, &page));
        return page * kPage + uint32_t(user % kPage);
    }
    // The next-descriptor word: PCI-side chain (bit 0), direction local to PCI for an
    // input (bit 3), end of chain (bit 1).
    static uint32_t Link(bool output) { return output ? 0x1 : 0x9; }
    static uint32_t End(bool output) { return output ? 0x3 : 0xB; }

    // Walks the written chain: every piece lies in one page and one chunk, at the
    // physical address of the user bytes it covers, in order, and links to the next
    // slot up to the last one, which ends the chain. Returns the descriptor count.
    size_t CheckChain(bool output) {
        const uintptr_t start = chain::UserBuffer(&dbx);
        const ULONG bytes = chain::UserBytes(&dbx);
        ULONG done = 0;
        size_t i = 0;
        for (; done < bytes; ++i) {
            const Descriptor d = Slot(i);
            const uintptr_t user = start + done;
            if (d.pci != PhysOf(user) || d.local != kLocal || d.size == 0 || user % kPage + d.size > kPage ||
                d.size > kChunk - done % kChunk) {
                ADD_FAILURE() << "descriptor " << i << " at user offset " << done;
                return i;
            }
            done += d.size;
            if (d.next != (done < bytes ? (SlotPhys(i + 1) | Link(output)) : End(output))) {
                ADD_FAILURE() << "descriptor " << i << " next 0x" << std::hex << d.next;
                return i;
            }
        }
        return i;
    }
    std::vector<ULONG> ChunkLengths() const {
        std::vector<ULONG> out;
        for (const QorLockedChunk *c = chain::ChunkChain(&dbx); c != nullptr; c = c->Next) out.push_back(c->Length);
        return out;
    }
    // The clear unlocks and frees every chunk and forgets the user buffer, and leaves the
    // transfer's byte count to the client.
    void ClearAndCheck(ULONG transferBytes) {
        P9080_ClearDmaDscr(&dbx);
        EXPECT_EQ(chain::ChunkChain(&dbx), nullptr);
        EXPECT_EQ(chain::UserBytes(&dbx), 0u);
        EXPECT_EQ(+dbx.TransferBytes, transferBytes);
        EXPECT_EQ(sim().mdls.live(), 0u);
        EXPECT_EQ(sim().mdls.locked_pages(), 0u);
    }
};

// ---- refusals: nothing locked, the buffer object untouched ----
struct RefusalCase { const char *name; ULONG offset, bytes, slots; };
const RefusalCase kRefusals[] = {
    {"no bytes", 0, 0, 4},
    {"6 bytes", 0, 6, 4},
    {"4098 bytes", 0, 4098, 4},
    {"buffer 2 past a multiple of 4", 0x102, 4096, 4},
    {"3 pages in 2 slots", 0, 3 * kPage, 2},
    {"chunk boundary inside a page, one slot short", 4, kChunk + kPage, 15362},
};
class ScatterGatherRefusal : public ScatterGatherTest, public ::testing::WithParamInterface<RefusalCase> {};
TEST_P(ScatterGatherRefusal, ReturnsZeroBeforeAnythingIsLocked) {
    const RefusalCase &c = GetParam();
    Area(c.slots);
    UserBuffer(c.offset, c.bytes, Backing::PageNumbersOnly);
    dbx.TransferBytes = 0x1234;
    const QorDbx before = dbx;
    EXPECT_FALSE(Build());
    EXPECT_EQ(std::memcmp(&before, &dbx, sizeof dbx), 0);
    EXPECT_EQ(sim().mdls.allocations(), 0u);
    EXPECT_EQ(sim().mdls.probes(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherRefusal, ::testing::ValuesIn(kRefusals), RowName<::testing::TestParamInfo<RefusalCase>>);

// ---- descriptor layout: odd and even numbers of whole pages, with and without a first or
// last partial page; `spare` slots behind the chain must stay as they were ----
struct LayoutCase { const char *name; ULONG offset, bytes; bool output; size_t descriptors, spare; };
const LayoutCase kLayouts[] = {
    {"4 bytes", 0x100, 4, false, 1, 2},
    {"one page, output", 0, kPage, true, 1, 2},
    {"first piece ends its page exactly", 0xF00, 0x100, true, 1, 2},
    {"8 bytes at page offset 0xFFC", 0xFFC, 8, false, 2, 2},
    {"two whole pages", 0, 2 * kPage, false, 2, 2},
    {"3 pages in exactly 3 slots", 0, 3 * kPage, false, 3, 0},
    {"three whole pages, output", 0, 3 * kPage, true, 3, 2},
    {"whole pages then a tail", 0, 2 * kPage + 8, true, 3, 2},
    {"partial, no whole page, tail", 0x800, kPage, false, 2, 2},
    {"partial, four whole pages, no tail", 0x10, 5 * kPage - 0x10, false, 5, 2},
    {"partial, 3 whole pages, tail in exactly 5 slots", 0x800, 4 * kPage, true, 5, 0},
    {"partial, five whole pages, tail", 0x10, 6 * kPage, true, 7, 2},
};
class ScatterGatherLayout : public ScatterGatherTest, public ::testing::WithParamInterface<LayoutCase> {};
TEST_P(ScatterGatherLayout, OneDescriptorPerPieceAndNothingPastTheChain) {
    const LayoutCase &c = GetParam();
    Area(static_cast<ULONG>(c.descriptors + c.spare));
    std::memset(area, 0xA5, (c.descriptors + c.spare) * 16);
    UserBuffer(c.offset, c.bytes, Backing::Mapped, c.output);
    ASSERT_TRUE(Build());
    EXPECT_EQ(+dbx.TransferBytes, c.bytes);
    EXPECT_EQ(+dbx.DoneBytes, 0u);
    EXPECT_EQ(ChunkLengths(), std::vector<ULONG>{c.bytes});
    EXPECT_EQ(CheckChain(c.output), c.descriptors);
    const auto *bytes = static_cast<const uint8_t *>(area);
    EXPECT_EQ(std::count(bytes + c.descriptors * 16, bytes + (c.descriptors + c.spare) * 16, 0xA5), ptrdiff_t(c.spare * 16));
    EXPECT_EQ(sim().mdls.locked_pages(), c.descriptors);
    ClearAndCheck(c.bytes);
}
INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherLayout, ::testing::ValuesIn(kLayouts), RowName<::testing::TestParamInfo<LayoutCase>>);

// ---- chunk boundaries: one MDL per 0x3C00000 bytes ----
struct ChunkCase { const char *name; ULONG offset, bytes, slots; };
const ChunkCase kChunkCases[] = {
    {"page-aligned, one page past a chunk", 0, kChunk + kPage, 15361},
    {"offset 4, boundary inside a page", 4, kChunk + kPage, 15363},
    {"offset 0x10, three chunks", 0x10, 2 * kChunk + 3 * kPage, 2 * 15360 + 4 + 2},
    {"offset 4, exactly one chunk in exactly its slots", 4, kChunk, 15361},
};
class ScatterGatherChunks : public ScatterGatherTest, public ::testing::WithParamInterface<ChunkCase> {};
TEST_P(ScatterGatherChunks, LastPieceOfAChunkLinksToTheFirstOfTheNext) {
    const ChunkCase &c = GetParam();
    Area(c.slots);
    UserBuffer(c.offset, c.bytes, Backing::PageNumbersOnly);
    ASSERT_TRUE(Build());
    EXPECT_EQ(CheckChain(false), c.slots) << "every slot used";
    std::vector<ULONG> lengths(c.bytes / kChunk, kChunk);
    if (c.bytes % kChunk != 0)
        lengths.push_back(c.bytes % kChunk);
    EXPECT_EQ(ChunkLengths(), lengths);
    // The first chunk's last descriptor: a whole page (aligned) or the 4 bytes left of a
    // page the next chunk continues in.
    const size_t last = 15360 - (c.offset == 0 ? 1 : 0);
    if (c.bytes > kChunk) {
        EXPECT_EQ(Slot(last).size, c.offset == 0 ? kPage : c.offset);
        EXPECT_EQ(Slot(last).next, SlotPhys(last + 1) | 0x9);
    }
    ClearAndCheck(c.bytes);
}
INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherChunks, ::testing::ValuesIn(kChunkCases), RowName<::testing::TestParamInfo<ChunkCase>>);

// ---- failures: a failing first chunk leaves nothing; a failing second chunk leaves the
// first, whole and locked, for the clear ----
enum class Failing { Mdl, Probe, Node, Unmapped };
struct FailureCase { const char *name; Failing what; unsigned chunk; };
const FailureCase kFailures[] = {
    {"MDL of the first chunk", Failing::Mdl, 1},     {"probe of the first chunk", Failing::Probe, 1},
    {"node of the first chunk", Failing::Node, 1},   {"MDL of the second chunk", Failing::Mdl, 2},
    {"probe of the second chunk", Failing::Probe, 2}, {"node of the second chunk", Failing::Node, 2},
    {"second chunk not mapped", Failing::Unmapped, 2},
};
class ScatterGatherFailure : public ScatterGatherTest, public ::testing::WithParamInterface<FailureCase> {};
TEST_P(ScatterGatherFailure, KeepsOnlyWholeChunksForTheClear) {
    const FailureCase &c = GetParam();
    const ULONG bytes = kChunk + kPage;
    Area(15361);
    if (c.what == Failing::Unmapped) { // the process has the first chunk and nothing behind it
        buffer = process->allocate_private(kChunk, Backing::PageNumbersOnly);
        ASSERT_NE(buffer, 0u);
        chain::SetUserBuffer(&dbx, static_cast<ULONG>(buffer));
        chain::SetUserBytes(&dbx, bytes);
    } else {
        UserBuffer(0, bytes, Backing::PageNumbersOnly);
    }
    if (c.what == Failing::Mdl) sim().faults.fail_nth(qorsim::Fault::AllocateMdl, c.chunk);
    if (c.what == Failing::Probe) sim().faults.fail_nth(qorsim::Fault::ProbeAndLock, c.chunk);
    if (c.what == Failing::Node) sim().pool.fail_nth(c.chunk);
    const QorDbx before = dbx;
    EXPECT_FALSE(Build());
    sim().faults.clear();
    sim().pool.clear_faults();
    if (c.chunk == 1) {
        EXPECT_EQ(std::memcmp(&before, &dbx, sizeof dbx), 0);
        EXPECT_EQ(sim().mdls.live(), 0u);
    } else {
        EXPECT_EQ(ChunkLengths(), std::vector<ULONG>{kChunk});
        EXPECT_EQ(+dbx.TransferBytes, bytes);
        EXPECT_EQ(+dbx.DoneBytes, 0u);
        EXPECT_EQ(sim().mdls.live(), 1u);
        EXPECT_EQ(sim().mdls.locked_pages(), kChunk / kPage);
    }
    ClearAndCheck(c.chunk == 1 ? 0 : bytes);
}
INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherFailure, ::testing::ValuesIn(kFailures), RowName<::testing::TestParamInfo<FailureCase>>);

} // namespace
