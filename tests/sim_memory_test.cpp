// Simulated memory, processes and their views, named events and DPCs: the ground the
// buffer objects and transfers stand on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "support/sim_fixture.h"
#include "qorpelk.h"

namespace {

class SimMemory : public SimTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.leak_report(), "");
        SimTest::TearDown();
    }
    static PHYSICAL_ADDRESS Below(uint32_t bound)
    {
        PHYSICAL_ADDRESS p;
        p.QuadPart = bound - 1;
        return p;
    }
    // Maps [kernel, kernel + bytes) into the current process as the library does.
    static uint8_t *MapIntoCurrentProcess(void *kernel, ULONG bytes)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\PhysicalMemory");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE section;
        EXPECT_EQ(ZwOpenSection(&section, SECTION_ALL_ACCESS, &attributes), STATUS_SUCCESS);
        LARGE_INTEGER offset = MmGetPhysicalAddress(kernel);
        const LONGLONG physical = offset.QuadPart;
        PVOID base = nullptr;
        ULONG size = bytes;
        EXPECT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, bytes, &offset, &size, ViewShare, 0,
                                     PAGE_READWRITE | PAGE_NOCACHE),
                  STATUS_SUCCESS);
        ZwClose(section);
        EXPECT_EQ(offset.QuadPart % qorsim::kAllocationGranularity, 0);
        EXPECT_GE(size, bytes + (physical - offset.QuadPart));
        return static_cast<uint8_t *>(base) + (physical - offset.QuadPart);
    }
};

TEST_F(SimMemory, ContiguousBlocksArePageAlignedBelowTheBoundAndNotZeroed)
{
    void *a = MmAllocateContiguousMemory(4096, Below(0x08000000));
    void *b = MmAllocateContiguousMemory(45056, Below(0x08000000));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const uint32_t pa = uint32_t(MmGetPhysicalAddress(a).QuadPart);
    const uint32_t pb = uint32_t(MmGetPhysicalAddress(b).QuadPart);
    EXPECT_EQ(pa % 4096, 0u);
    EXPECT_EQ(pb % 4096, 0u);
    EXPECT_LT(pb + 45056, 0x08000000u);
    EXPECT_TRUE(pb >= pa + 4096 || pb + 45056 <= pa) << "blocks overlap";
    EXPECT_EQ(static_cast<uint8_t *>(a)[0], 0xCD);
    EXPECT_EQ(MmAllocateContiguousMemory(4096, Below(0x1000)), nullptr) << "nothing below 4 KB";

    sim().memory.set_contiguous_limit(20480);
    EXPECT_EQ(MmAllocateContiguousMemory(24576, Below(0x08000000)), nullptr);
    void *c = MmAllocateContiguousMemory(20480, Below(0x08000000));
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(sim().memory.contiguous_requests(), (std::vector<uint32_t>{4096, 45056, 4096, 24576, 20480}));
    MmFreeContiguousMemory(a);
    MmFreeContiguousMemory(b);
    MmFreeContiguousMemory(c);
}

TEST_F(SimMemory, TwoProcessesSeeOneBufferAtTheirOwnAddresses)
{
    auto *kernel = static_cast<uint8_t *>(MmAllocateContiguousMemory(3 * 4096, Below(0x08000000)));
    ASSERT_NE(kernel, nullptr);
    qorsim::Process &p1 = sim().processes.create("reader");
    qorsim::Process &p2 = sim().processes.create("second");
    uint8_t *view1, *view2;
    {
        qorsim::InProcess in(p1);
        view1 = MapIntoCurrentProcess(kernel + 4096, 8192);
    }
    {
        qorsim::InProcess in(p2);
        view2 = MapIntoCurrentProcess(kernel + 4096, 8192);
    }
    EXPECT_NE(view1, view2);
    EXPECT_TRUE(p1.contains(reinterpret_cast<uintptr_t>(view1), 8192));
    EXPECT_FALSE(p1.contains(reinterpret_cast<uintptr_t>(view2), 8192));

    std::memcpy(view1 + 100, "sample", 6);
    EXPECT_EQ(std::memcmp(view2 + 100, "sample", 6), 0);
    EXPECT_EQ(std::memcmp(kernel + 4096 + 100, "sample", 6), 0);
    const uint32_t word = 0xA5A5F00D;
    ASSERT_TRUE(sim().memory.dma_write(uint32_t(MmGetPhysicalAddress(kernel + 8192).QuadPart), &word, 4));
    uint32_t seen;
    std::memcpy(&seen, view2 + 4096, 4);
    EXPECT_EQ(seen, word);

    sim().processes.end(p1); // a process takes its views with it
    {
        qorsim::InProcess in(p2);
        EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view1), STATUS_NOT_MAPPED_VIEW);
        ASSERT_EQ(p2.views().size(), 1u);
        EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), view2), STATUS_SUCCESS) << "any address in the view";
        EXPECT_TRUE(p2.views().empty());
    }
    MmFreeContiguousMemory(kernel);
}

TEST_F(SimMemory, SectionFaultsFailTheOpenAndTheMapping)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\PhysicalMemory");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE section;
    sim().faults.fail_nth(qorsim::Fault::OpenSection, 1);
    EXPECT_NE(ZwOpenSection(&section, SECTION_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(sim().handles.open_count(), 0u);
    ASSERT_EQ(ZwOpenSection(&section, SECTION_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    sim().faults.fail_nth(qorsim::Fault::MapView, 1);
    LARGE_INTEGER offset;
    offset.QuadPart = 0x200000;
    PVOID base = nullptr;
    ULONG size = 4096;
    EXPECT_NE(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 4096, &offset, &size, ViewShare, 0,
                                 PAGE_READWRITE | PAGE_NOCACHE),
              STATUS_SUCCESS);
    EXPECT_TRUE(sim().processes.system().views().empty());
    EXPECT_EQ(ZwClose(section), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(section), STATUS_INVALID_HANDLE);
    ASSERT_EQ(sim().verifier.violations().size(), 1u);
    sim().verifier.reset();
}

class SimEvents : public SimTest {};

TEST_F(SimEvents, NamedEventIsCreatedSignalledOpenedByNameAndFreedWithItsLastReference)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\BaseNamedObjects\\Acq05");
    HANDLE h1, h2;
    PKEVENT e1 = IoCreateNotificationEvent(&name, &h1);
    ASSERT_NE(e1, nullptr);
    EXPECT_TRUE(qorsim::event_signalled(e1));
    KeClearEvent(e1);
    PKEVENT e2 = IoCreateNotificationEvent(&name, &h2);
    EXPECT_EQ(e2, e1);
    EXPECT_FALSE(qorsim::event_signalled(e2)) << "opening leaves the state alone";
    EXPECT_NE(h1, h2);
    PKEVENT user = sim().events.open_user(u"acq05");
    EXPECT_EQ(user, e1);
    ZwClose(h1);
    ZwClose(h2);
    EXPECT_EQ(sim().events.count(), 1u) << "the user still holds it";
    sim().events.release(user);
    EXPECT_EQ(sim().events.count(), 0u);
}

TEST_F(SimEvents, PulseReleasesExactlyTheThreadsWaitingAtThatMoment)
{
    KEVENT event;
    qorsim::initialize_event(&event);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { released += qorsim::wait_event_for(&event, 10000) ? 1 : 0; });
    while (qorsim::event_waiters(&event) != 3)
        std::this_thread::yield();
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(released, 3);
    EXPECT_FALSE(qorsim::event_signalled(&event));
    EXPECT_FALSE(qorsim::wait_event_for(&event, 1)) << "a later waiter is not released by a past pulse";
    EXPECT_EQ(qorsim::event_set_count(&event), 1u);
}

class SimDpc : public SimTest {};

struct DpcContext {
    std::atomic<int> runs{0};
    KIRQL irql = 0;
    std::thread::id thread;
    PVOID argument = nullptr;
};

VOID NTAPI RecordDpc(PKDPC, PVOID c, PVOID a1, PVOID)
{
    auto *ctx = static_cast<DpcContext *>(c);
    ctx->irql = KeGetCurrentIrql();
    ctx->thread = std::this_thread::get_id();
    ctx->argument = a1;
    ++ctx->runs;
}

TEST_F(SimDpc, QueuedDpcRunsOnceAtDispatchLevelOnAnotherThread)
{
    DpcContext context;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &context);
    int marker = 0;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &marker, nullptr));
    sim().dpcs.drain();
    EXPECT_EQ(context.runs, 1);
    EXPECT_EQ(context.irql, DISPATCH_LEVEL);
    EXPECT_NE(context.thread, std::this_thread::get_id());
    EXPECT_EQ(context.argument, &marker);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

} // namespace
