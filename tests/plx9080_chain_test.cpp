// PLX 9080 scatter-gather chains over locked user buffers: the refusals, the descriptor
// layout against the pages the simulated process really has, chunk boundaries, failures
// with what they leave for the clear, and whole transfers walked by the chip model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "models/plx9080.h"
#include "plx9080_chain.h"
#include "support/model_fixture.h"

namespace {

using qorsim::models::Plx9080;
using Backing = qorsim::Process::Backing;
namespace chain = qor::chain;

constexpr uint32_t kBase = 0xC000;
constexpr ULONG kChunk = 0x3C00000;
constexpr ULONG kLocal = 0x40; // the card's FIFO on the local bus
constexpr uint32_t kPage = 4096;

// The local bus: an input reads a counting sequence of dwords, an output is collected.
class CountingBus : public Plx9080::LocalBus {
public:
    uint32_t next = 0;
    std::vector<uint8_t> sunk;
    std::vector<uint32_t> addresses; // distinct local addresses seen

    void read(uint32_t address, uint8_t *data, uint32_t bytes) override
    {
        note(address);
        for (uint32_t i = 0; i + 4 <= bytes; i += 4, ++next)
            std::memcpy(data + i, &next, 4);
    }
    void write(uint32_t address, const uint8_t *data, uint32_t bytes) override
    {
        note(address);
        sunk.insert(sunk.end(), data, data + bytes);
    }

private:
    void note(uint32_t address)
    {
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(address);
    }
};

struct Descriptor {
    uint32_t pci, local, size, next;
};

class ScatterGatherTest : public ModelTest<Plx9080> {
protected:
    qorsim::Process *process = nullptr;
    QorDbx dbx{};
    PVOID area = nullptr;
    uintptr_t buffer = 0;

    void SetUp() override
    {
        ModelTest::SetUp();
        process = &sim().processes.create("acqapp");
    }
    void TearDown() override
    {
        if (area != nullptr)
            MmFreeContiguousMemory(area);
        ModelTest::TearDown();
    }

    // The descriptor area: `slots` descriptors of contiguous memory.
    void Area(ULONG slots)
    {
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
    void UserBuffer(ULONG offset, ULONG bytes, Backing backing, bool output = false)
    {
        buffer = process->allocate_private(offset + bytes + kPage, backing);
        ASSERT_NE(buffer, 0u);
        chain::SetUserBuffer(&dbx, static_cast<ULONG>(buffer + offset));
        chain::SetUserBytes(&dbx, bytes);
        chain::SetLocalAddress(&dbx, kLocal);
        dbx.Flags = output ? DbxOutput : 0;
    }
    BOOLEAN Build()
    {
        qorsim::InProcess in(*process);
        return P9080_BuildDmaDscr(&dbx);
    }
    Descriptor Slot(size_t i) const
    {
        Descriptor d;
        std::memcpy(&d, static_cast<const uint8_t *>(area) + i * 16, 16);
        return d;
    }
    uint32_t SlotPhys(size_t i) const { return dbx.Whole.PhysAddr + uint32_t(i) * 16; }
    uint32_t PhysOf(uintptr_t user) const
    {
        uint32_t page = 0;
        EXPECT_TRUE(process->translate(user, &page));
        return page * kPage + uint32_t(user % kPage);
    }
    static uint32_t Link(bool output) { return output ? 0x1 : 0x9; }
    static uint32_t End(bool output) { return output ? 0x3 : 0xB; }

    // Walks the written chain: every piece lies in one page and one chunk, at the
    // physical address of the user bytes it covers, in order, and links to the next
    // slot up to the last one, which ends the chain. Returns the descriptor count.
    size_t CheckChain(bool output)
    {
        const uintptr_t start = chain::UserBuffer(&dbx);
        const ULONG bytes = chain::UserBytes(&dbx);
        ULONG done = 0;
        size_t i = 0;
        for (; done < bytes; ++i) {
            const Descriptor d = Slot(i);
            const uintptr_t user = start + done;
            const ULONG chunkLeft = kChunk - done % kChunk;
            if (d.pci != PhysOf(user) || d.local != kLocal || d.size == 0 || user % kPage + d.size > kPage ||
                d.size > chunkLeft) {
                ADD_FAILURE() << "descriptor " << i << " at user offset " << done;
                return i;
            }
            done += d.size;
            const uint32_t next = done < bytes ? (SlotPhys(i + 1) | Link(output)) : End(output);
            if (d.next != next) {
                ADD_FAILURE() << "descriptor " << i << " next 0x" << std::hex << d.next;
                return i;
            }
        }
        EXPECT_EQ(done, bytes);
        return i;
    }
    size_t ChunksOnChain() const
    {
        size_t n = 0;
        for (const QorLockedChunk *c = chain::ChunkChain(&dbx); c != nullptr; c = c->Next)
            ++n;
        return n;
    }
};

// ---- refusals ------------------------------------------------------------------------------
struct RefusalCase {
    const char *name;
    ULONG offset, bytes, slots;
};

const RefusalCase kRefusals[] = {
    {"no bytes", 0, 0, 4},
    {"6 bytes", 0, 6, 4},
    {"4098 bytes", 0, 4098, 4},
    {"buffer 2 past a multiple of 4", 0x102, 4096, 4},
    {"3 pages in 2 slots", 0, 3 * kPage, 2},
    {"chunk boundary inside a page, one slot short", 4, kChunk + kPage, 15362},
};

class ScatterGatherRefusal : public ScatterGatherTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ScatterGatherRefusal, ReturnsZeroBeforeAnythingIsLocked)
{
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

// ---- descriptor layout ------------------------------------------------------------------------
struct Piece {
    ULONG userOffset; // from the buffer's start
    ULONG size;
};

struct LayoutCase {
    const char *name;
    ULONG offset, bytes, slots;
    bool output;
    std::vector<Piece> pieces;
};

const LayoutCase kLayouts[] = {
    {"one page, output", 0, kPage, 1, true, {{0, kPage}}},
    {"one page, input", 0, kPage, 1, false, {{0, kPage}}},
    {"8 bytes at page offset 0xFFC, input", 0xFFC, 8, 2, false, {{0, 4}, {4, 4}}},
    {"8 bytes at page offset 0xFFC, output", 0xFFC, 8, 2, true, {{0, 4}, {4, 4}}},
    {"3 pages in exactly 3 slots", 0, 3 * kPage, 3, false, {{0, kPage}, {kPage, kPage}, {2 * kPage, kPage}}},
    {"5 pages at offset 0x800", 0x800, 4 * kPage, 5, true,
     {{0, 0x800}, {0x800, kPage}, {0x1800, kPage}, {0x2800, kPage}, {0x3800, 0x800}}},
};

class ScatterGatherLayout : public ScatterGatherTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(ScatterGatherLayout, OneDescriptorPerPiece)
{
    const LayoutCase &c = GetParam();
    Area(c.slots);
    UserBuffer(c.offset, c.bytes, Backing::Mapped, c.output);
    ASSERT_TRUE(Build());
    EXPECT_EQ(+dbx.TransferBytes, c.bytes);
    EXPECT_EQ(+dbx.DoneBytes, 0u);
    ASSERT_EQ(ChunksOnChain(), 1u);
    EXPECT_EQ(+chain::ChunkChain(&dbx)->Length, c.bytes);
    const uintptr_t start = buffer + c.offset;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        const Descriptor d = Slot(i);
        EXPECT_EQ(d.pci, PhysOf(start + c.pieces[i].userOffset)) << i;
        EXPECT_EQ(d.local, kLocal) << i;
        EXPECT_EQ(d.size, c.pieces[i].size) << i;
        EXPECT_EQ(d.next, i + 1 < c.pieces.size() ? (SlotPhys(i + 1) | Link(c.output)) : End(c.output)) << i;
    }
    EXPECT_EQ(sim().mdls.locked_pages(), c.pieces.size());
    P9080_ClearDmaDscr(&dbx);
    EXPECT_EQ(chain::ChunkChain(&dbx), nullptr);
    EXPECT_EQ(chain::UserBytes(&dbx), 0u);
    EXPECT_EQ(+dbx.TransferBytes, c.bytes); // left for the client
    EXPECT_EQ(sim().mdls.locked_pages(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherLayout, ::testing::ValuesIn(kLayouts), RowName<::testing::TestParamInfo<LayoutCase>>);

TEST_F(ScatterGatherTest, UserPagesAreScatteredInRam)
{
    Area(4);
    UserBuffer(0xFFC, 8, Backing::Mapped);
    EXPECT_NE(PhysOf(buffer + kPage), PhysOf(buffer) + kPage);
}

// ---- chunk boundaries -------------------------------------------------------------------------
struct ChunkCase {
    const char *name;
    ULONG offset, bytes, slots;
    size_t descriptors;
};

const ChunkCase kChunkCases[] = {
    {"page-aligned, one page past a chunk", 0, kChunk + kPage, 15361, 15361},
    {"offset 4, boundary inside a page", 4, kChunk + kPage, 15363, 15363},
    {"offset 0x10, three chunks", 0x10, 2 * kChunk + 3 * kPage, 2 * 15360 + 4 + 2, 2 * 15360 + 4 + 2},
};

class ScatterGatherChunks : public ScatterGatherTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ScatterGatherChunks, LastPieceOfAChunkLinksToTheFirstOfTheNext)
{
    const ChunkCase &c = GetParam();
    Area(c.slots);
    UserBuffer(c.offset, c.bytes, Backing::PageNumbersOnly);
    ASSERT_TRUE(Build());
    EXPECT_EQ(CheckChain(false), c.descriptors);
    const size_t chunks = (c.bytes - 1) / kChunk + 1;
    EXPECT_EQ(ChunksOnChain(), chunks);
    for (const QorLockedChunk *k = chain::ChunkChain(&dbx); k != nullptr; k = k->Next) {
        EXPECT_EQ(+k->Length, k->Next != nullptr ? kChunk : c.bytes - (chunks - 1) * kChunk);
    }
    // The first chunk's last descriptor: a whole page (aligned) or the 4 bytes left of a
    // page the next chunk continues in.
    const Descriptor last = Slot(15360 - (c.offset == 0 ? 1 : 0));
    EXPECT_EQ(last.size, c.offset == 0 ? kPage : c.offset);
    EXPECT_EQ(last.next, SlotPhys(15361 - (c.offset == 0 ? 1 : 0)) | 0x9);
    P9080_ClearDmaDscr(&dbx);
    EXPECT_EQ(sim().mdls.live(), 0u);
    EXPECT_EQ(sim().mdls.locked_pages(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherChunks, ::testing::ValuesIn(kChunkCases), RowName<::testing::TestParamInfo<ChunkCase>>);

// ---- failures ---------------------------------------------------------------------------------
enum class Failing { Mdl, Probe, Node, Unmapped };

struct FailureCase {
    const char *name;
    Failing what;
    unsigned chunk; // 1 or 2
};

const FailureCase kFailures[] = {
    {"MDL of the first chunk", Failing::Mdl, 1},     {"probe of the first chunk", Failing::Probe, 1},
    {"node of the first chunk", Failing::Node, 1},   {"MDL of the second chunk", Failing::Mdl, 2},
    {"probe of the second chunk", Failing::Probe, 2}, {"node of the second chunk", Failing::Node, 2},
    {"second chunk not mapped", Failing::Unmapped, 2},
};

class ScatterGatherFailure : public ScatterGatherTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ScatterGatherFailure, KeepsOnlyWholeChunksForTheClear)
{
    const FailureCase &c = GetParam();
    const ULONG bytes = kChunk + kPage;
    Area(15361);
    if (c.what == Failing::Unmapped) {
        // The process has the first chunk and nothing behind it.
        buffer = process->allocate_private(kChunk, Backing::PageNumbersOnly);
        ASSERT_NE(buffer, 0u);
        chain::SetUserBuffer(&dbx, static_cast<ULONG>(buffer));
        chain::SetUserBytes(&dbx, bytes);
    } else {
        UserBuffer(0, bytes, Backing::PageNumbersOnly);
    }
    switch (c.what) {
    case Failing::Mdl: sim().faults.fail_nth(qorsim::Fault::AllocateMdl, c.chunk); break;
    case Failing::Probe: sim().faults.fail_nth(qorsim::Fault::ProbeAndLock, c.chunk); break;
    case Failing::Node: sim().pool.fail_nth(c.chunk); break;
    case Failing::Unmapped: break;
    }
    const QorDbx before = dbx;
    EXPECT_FALSE(Build());
    sim().faults.clear();
    sim().pool.clear_faults();
    if (c.chunk == 1) {
        EXPECT_EQ(std::memcmp(&before, &dbx, sizeof dbx), 0);
        EXPECT_EQ(sim().mdls.live(), 0u);
    } else {
        ASSERT_EQ(ChunksOnChain(), 1u);
        EXPECT_EQ(+chain::ChunkChain(&dbx)->Length, kChunk);
        EXPECT_EQ(+dbx.TransferBytes, bytes);
        EXPECT_EQ(+dbx.DoneBytes, 0u);
        EXPECT_EQ(sim().mdls.live(), 1u);
        EXPECT_EQ(sim().mdls.locked_pages(), kChunk / kPage);
    }
    P9080_ClearDmaDscr(&dbx);
    EXPECT_EQ(chain::ChunkChain(&dbx), nullptr);
    EXPECT_EQ(chain::UserBytes(&dbx), 0u);
    EXPECT_EQ(sim().mdls.live(), 0u);
    EXPECT_EQ(sim().mdls.locked_pages(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherFailure, ::testing::ValuesIn(kFailures), RowName<::testing::TestParamInfo<FailureCase>>);

TEST_F(ScatterGatherTest, AChainLeftBuiltIsReportedAsLockedPages)
{
    Area(2);
    UserBuffer(0, 2 * kPage, Backing::Mapped);
    ASSERT_TRUE(Build());
    EXPECT_NE(sim().mdls.leak_report().find("2 pages still locked"), std::string::npos) << sim().mdls.leak_report();
    P9080_ClearDmaDscr(&dbx);
    EXPECT_EQ(sim().mdls.leak_report(), "");
}

// ---- whole transfers ----------------------------------------------------------------------------
struct TransferCase {
    const char *name;
    ULONG offset, bytes;
    bool output;
    unsigned channel;
};

const TransferCase kTransfers[] = {
    {"8 MB page-aligned into memory on channel 0", 0, 8u << 20, false, 0},
    {"3 MB and 12 bytes at offset 0x124 into memory on channel 1", 0x124, (3u << 20) + 12, false, 1},
    {"2 MB at offset 0xFFC out of memory", 0xFFC, 2u << 20, true, 0},
    {"a chunk and 2 pages at offset 0x10 into memory", 0x10, kChunk + 2 * kPage, false, 1},
};

class ScatterGatherTransfer : public ScatterGatherTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(ScatterGatherTransfer, TheUserSeesEveryByteInOrder)
{
    const TransferCase &c = GetParam();
    const ULONG pages = (c.offset + c.bytes + kPage - 1) / kPage;
    Area(pages + 1);
    UserBuffer(c.offset, c.bytes, Backing::Mapped, c.output);
    auto *user = reinterpret_cast<uint8_t *>(buffer);
    const size_t whole = c.offset + c.bytes + kPage;
    std::memset(user, 0xEE, whole); // poison: RAM keeps what earlier tests left in it
    const auto *first = reinterpret_cast<uint32_t *>(user + c.offset);
    if (c.output) {
        for (uint32_t i = 0; i < c.bytes / 4; ++i)
            std::memcpy(user + c.offset + 4 * i, &i, 4);
    }
    CountingBus bus;
    model.attach_local_bus(&bus);
    P9080_ClearController(kBase);
    ASSERT_TRUE(Build());
    ASSERT_TRUE(P9080_StartDMA(kBase, c.channel, &dbx));

    const Plx9080::Walk &walk = model.last_walk(c.channel);
    EXPECT_EQ(walk.error, "");
    EXPECT_EQ(walk.bytes, c.bytes);
    EXPECT_TRUE(model.done(c.channel));
    EXPECT_TRUE(model.interrupt_pending(c.channel));
    EXPECT_EQ(bus.addresses, std::vector<uint32_t>{kLocal});
    if (c.output) {
        ASSERT_EQ(bus.sunk.size(), c.bytes);
        EXPECT_EQ(std::memcmp(bus.sunk.data(), user + c.offset, c.bytes), 0);
    } else {
        uint32_t wrong = 0;
        for (uint32_t i = 0; i < c.bytes / 4; ++i)
            wrong += first[i] != i;
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(std::count(user, user + c.offset, 0xEE), std::ptrdiff_t(c.offset)); // nothing before
        EXPECT_EQ(std::count(user + c.offset + c.bytes, user + whole, 0xEE),
                  std::ptrdiff_t(whole - c.offset - c.bytes)); // nothing after
    }

    EXPECT_TRUE(P9080_StopDMA(kBase, c.channel));
    EXPECT_FALSE(model.interrupt_pending(c.channel));
    P9080_ClearDmaDscr(&dbx);
    EXPECT_EQ(sim().mdls.live(), 0u);
    EXPECT_EQ(sim().mdls.locked_pages(), 0u);
    EXPECT_TRUE(process->free_private(buffer));
    model.attach_local_bus(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, ScatterGatherTransfer, ::testing::ValuesIn(kTransfers), RowName<::testing::TestParamInfo<TransferCase>>);

// ---- the simulated kernel's MDLs ------------------------------------------------------------------
class ScatterGatherMdl : public SimTest {};

TEST_F(ScatterGatherMdl, LaidOutAsOnI386WithThePagesOfTheProcess)
{
    qorsim::Process &p = sim().processes.create("app");
    const uintptr_t base = p.allocate_private(4 * kPage);
    ASSERT_NE(base, 0u);
    qorsim::InProcess in(p);
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(base + 0x123), 2 * kPage, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(static_cast<USHORT>(mdl->Size), 28u + 3 * 4);
    EXPECT_EQ(+mdl->ByteOffset, 0x123u);
    EXPECT_EQ(+mdl->ByteCount, 2 * kPage);
    ASSERT_TRUE(QorProbeAndLock(mdl));
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    for (uint32_t i = 0; i < 3; ++i) {
        uint32_t page = 0;
        ASSERT_TRUE(p.translate(base + i * kPage, &page));
        EXPECT_EQ(MmGetMdlPfnArray(mdl)[i], page) << i;
    }
    EXPECT_EQ(sim().mdls.locked_pages(), 3u);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(ScatterGatherMdl, ProbeOfUnmappedPagesFailsThroughTheBoundary)
{
    qorsim::Process &p = sim().processes.create("app");
    const uintptr_t base = p.allocate_private(kPage);
    ASSERT_NE(base, 0u);
    qorsim::InProcess in(p);
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(base), 2 * kPage, FALSE, FALSE, nullptr); // one page too many
    ASSERT_NE(mdl, nullptr);
    EXPECT_FALSE(QorProbeAndLock(mdl));
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(sim().mdls.locked_pages(), 0u);
    IoFreeMdl(mdl);
}

TEST_F(ScatterGatherMdl, AnUncaughtProbeExceptionIsAViolation)
{
    qorsim::Process &p = sim().processes.create("app");
    qorsim::InProcess in(p);
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(0x10000000), kPage, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess); // raises; nobody takes it
    IoFreeMdl(mdl);
    ASSERT_EQ(sim().verifier.violations().size(), 1u);
    EXPECT_NE(sim().verifier.violations()[0].find("not caught"), std::string::npos);
    sim().verifier.reset();
}

TEST_F(ScatterGatherMdl, NoMdlSpansMoreThanItsSizeFieldHolds)
{
    // 0xFFFF bytes of MDL: the header and 16,376 page numbers.
    EXPECT_EQ(IoAllocateMdl(reinterpret_cast<PVOID>(0x10000000), 16377 * kPage, FALSE, FALSE, nullptr), nullptr);
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(0x10000000), 16376 * kPage, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    IoFreeMdl(mdl);
}

} // namespace
