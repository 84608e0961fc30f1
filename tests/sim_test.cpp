// The simulator's own guarantees that every library test leans on: pool accounting and
// fault injection, the port space and its trace, spin locks, memory shared between the
// kernel, the DMA engines and processes, event pulses, PCI bus data and shared
// interrupts, files, the registry's direct string query, and the verifier's rules.

#include <atomic>
#include <cstring>
#include <thread>

#include "support/sim_fixture.h"
#include "qorpelk.h"

namespace {

using Sim = SimTest;

TEST_F(Sim, PoolFaultInjectionFailsTheChosenAllocationsAndReportsLeaks) {
    struct { uint64_t nth, from; std::vector<bool> expected; } cases[] = {
        {0, 0, {true, true, true, true}}, {2, 0, {true, false, true, true}}, {1, 3, {false, true, false, false}}};
    for (const auto &c : cases) {
        sim().pool.fail_nth(c.nth);
        sim().pool.fail_from(c.from);
        std::vector<void *> blocks;
        for (bool ok : c.expected) {
            void *p = ExAllocatePoolWithTag(NonPagedPool, 33, QOR_POOL_TAG);
            EXPECT_EQ(p != nullptr, ok) << c.nth << "/" << c.from;
            if (p) blocks.push_back(p);
        }
        sim().pool.clear_faults();
        EXPECT_NE(sim().pool.leak_report().find("33 bytes, tag 'Ddk '"), std::string::npos);
        for (void *p : blocks) ExFreePool(p);
        EXPECT_EQ(sim().pool.leak_report(), "");
    }
}

TEST_F(Sim, PortClaimsDoNotOverlapUnclaimedPortsFloatHighAndEveryAccessIsTraced) {
    qorsim::RegisterFile a(0x10), b(0x10);
    EXPECT_TRUE(sim().ports.claim(0x300, 0x10, &a, "a"));
    EXPECT_FALSE(sim().ports.claim(0x30F, 0x10, &b, "b"));
    EXPECT_TRUE(sim().ports.claim(0x310, 0x10, &b, "b"));
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0x30C), 0x11223344);
    EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0x30E)), 0x1122);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x400)), 0xFF);
    EXPECT_EQ(sim().ports.owner(0x31F), "b");
    EXPECT_EQ(accesses(), (std::vector{Out(4, 0x30C, 0x11223344), In(2, 0x30E, 0x1122), In(1, 0x400, 0xFF)}));
    sim().ports.release(&a);
    sim().ports.release(&b);
}

TEST_F(Sim, SpinLockRaisesToDispatchExcludesOtherThreadsAndMisuseIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    std::atomic<bool> otherGotIt{false};
    std::thread other([&] {
        const KIRQL o = KfAcquireSpinLock(&lock);
        otherGotIt = true;
        KfReleaseSpinLock(&lock, o);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(otherGotIt);
    KfReleaseSpinLock(&lock, old);
    other.join();
    EXPECT_TRUE(otherGotIt);
    KfReleaseSpinLock(&lock, old); // not held: a violation, and one more for the IRQL
    EXPECT_EQ(sim().verifier.violations().size(), 2u);
    sim().verifier.reset();
}

TEST_F(Sim, ContiguousMemoryIsSharedByKernelDmaAndEveryProcessView) {
    PHYSICAL_ADDRESS below;
    below.QuadPart = 0x08000000 - 1;
    auto *kernel = static_cast<uint8_t *>(MmAllocateContiguousMemory(3 * 4096, below));
    ASSERT_NE(kernel, nullptr);
    const uint32_t phys = uint32_t(MmGetPhysicalAddress(kernel).QuadPart);
    EXPECT_EQ(phys % 4096, 0u);
    EXPECT_LT(phys + 3 * 4096, 0x08000000u);
    uint8_t *views[2];
    qorsim::Process *procs[2] = {&sim().processes.create("reader"), &sim().processes.create("second")};
    for (int i = 0; i < 2; ++i) {
        qorsim::InProcess in(*procs[i]);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\PhysicalMemory");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE section;
        ASSERT_EQ(ZwOpenSection(&section, SECTION_ALL_ACCESS, &attributes), STATUS_SUCCESS);
        LARGE_INTEGER offset;
        offset.QuadPart = phys + 4096;
        PVOID base = nullptr;
        ULONG size = 8192;
        ASSERT_EQ(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, 8192, &offset, &size, ViewShare, 0,
                                     PAGE_READWRITE | PAGE_NOCACHE), STATUS_SUCCESS);
        ZwClose(section);
        views[i] = static_cast<uint8_t *>(base) + (phys + 4096 - offset.QuadPart);
    }
    EXPECT_NE(views[0], views[1]);
    std::memcpy(views[0] + 100, "sample", 6);
    EXPECT_EQ(std::memcmp(views[1] + 100, "sample", 6), 0);
    EXPECT_EQ(std::memcmp(kernel + 4096 + 100, "sample", 6), 0);
    const uint32_t word = 0xA5A5F00D;
    ASSERT_TRUE(sim().memory.dma_write(phys + 8192, &word, 4));
    EXPECT_EQ(std::memcmp(views[1] + 4096, &word, 4), 0);
    sim().processes.end(*procs[0]); // a process takes its views with it
    {
        qorsim::InProcess in(*procs[1]);
        EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), views[0]), STATUS_NOT_MAPPED_VIEW);
        EXPECT_EQ(ZwUnmapViewOfSection(NtCurrentProcess(), views[1]), STATUS_SUCCESS);
    }
    MmFreeContiguousMemory(kernel);
    EXPECT_EQ(sim().handles.leak_report(), "");
}

TEST_F(Sim, KernelHandleIsValidOnlyInItsProcessAndEndsWithIt) {
    qorsim::Process &a = sim().processes.create("a"), &b = sim().processes.create("b");
    HANDLE h = nullptr;
    {
        qorsim::InProcess in(a);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\BaseNamedObjects\\Probe");
        ASSERT_NE(IoCreateNotificationEvent(&name, &h), nullptr);
    }
    {
        qorsim::InProcess in(b);
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    }
    ASSERT_EQ(sim().verifier.violations().size(), 1u) << "closing another process's handle";
    EXPECT_NE(sim().verifier.violations()[0].find("of a handle of process"), std::string::npos);
    sim().verifier.reset();
    EXPECT_EQ(sim().handles.open_count(&a), 1u) << "the owner's handle stays open";
    sim().processes.end(a); // the process's end closes it, and the event with it
    EXPECT_EQ(sim().handles.open_count(), 0u);
    EXPECT_EQ(sim().events.count(), 0u);
}

TEST_F(Sim, PulseReleasesExactlyTheThreadsWaitingAtThatMoment) {
    KEVENT event;
    qorsim::initialize_event(&event);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { released += qorsim::wait_event_for(&event, 10000) ? 1 : 0; });
    while (qorsim::event_waiters(&event) != 3) std::this_thread::yield();
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
    for (auto &t : waiters) t.join();
    EXPECT_EQ(released, 3);
    EXPECT_FALSE(qorsim::wait_event_for(&event, 1)) << "a later waiter is not released by a past pulse";
}

BOOLEAN NTAPI Claim(PKINTERRUPT, PVOID context) {
    *static_cast<KIRQL *>(context) = qorsim::current_irql();
    return TRUE;
}

TEST_F(Sim, PciBusDataAndSharedInterruptsAsTheHalGivesThem) {
    sim().pci.add_function(1, 2, 3, 0x1A2B, 0x0101).poke(8, 1, 0x07);
    uint8_t buffer[64];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, 0, buffer, 64), 0u) << "missing bus";
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, 2, buffer, 64), 2u) << "function 0 of device 2 is empty";
    EXPECT_EQ(buffer[0] & buffer[1], 0xFF);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, 2 | 3 << 5, buffer, 64), 64u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8 | buffer[8] << 16, 0x071A2B);
    KIRQL irql = 0, seenA = 0, seenB = 0;
    KAFFINITY affinity = 0;
    const ULONG vector = HalGetInterruptVector(PCIBus, 0, 5, 5, &irql, &affinity);
    PKINTERRUPT a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&a, Claim, &seenA, nullptr, vector, irql, irql, LevelSensitive, TRUE, affinity, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(IoConnectInterrupt(&b, Claim, &seenB, nullptr, vector, irql, irql, LevelSensitive, TRUE, affinity, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoConnectInterrupt(&c, Claim, &seenB, nullptr, vector, irql, irql, LevelSensitive, FALSE, affinity, FALSE),
              STATUS_INVALID_PARAMETER) << "an exclusive connection on a shared vector";
    EXPECT_EQ(sim().interrupts.raise(vector), 2u);
    EXPECT_EQ(seenA, irql);
    EXPECT_EQ(seenB, irql);
    EXPECT_GT(irql, DISPATCH_LEVEL);
    IoDisconnectInterrupt(a);
    IoDisconnectInterrupt(b);
    EXPECT_EQ(sim().interrupts.raise(vector), 0u);
}

TEST_F(Sim, FilesOpenOnlyInTheDriversDirectoryAndReadShortWhenToldTo) {
    sim().files.add(u"Card.Bit", {1, 2, 3, 4, 5});
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};
    auto open = [&](const char16_t *path) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwCreateFile(&handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    };
    EXPECT_EQ(open(u"\\SystemRoot\\system32\\drivers\\other.bit"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open(u"\\SystemRoot\\system32\\card.bit"), STATUS_OBJECT_PATH_NOT_FOUND);
    ASSERT_EQ(open(u"\\SYSTEMROOT\\System32\\Drivers\\card.bit"), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION info{};
    ASSERT_EQ(ZwQueryInformationFile(handle, &io, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 5);
    uint8_t buffer[8] = {};
    sim().files.limit_reads(2); // a short read first, then the rest from the file position
    ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 2u);
    sim().files.limit_reads(qorsim::FileStore::kNoReadLimit);
    ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer + 2, 6, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, 8, nullptr, nullptr), STATUS_END_OF_FILE);
    EXPECT_NE(sim().handles.leak_report().find("file"), std::string::npos);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim().handles.leak_report(), "");
}

TEST_F(Sim, DirectStringQueryWritesAsNtDoes) {
    const std::u16string key = u"\\Registry\\Machine\\Software\\Test";
    struct { std::u16string stored; USHORT capacity; std::u16string read; bool terminated; } cases[] = {
        {u"abc", 8, u"abc", true}, {u"abcd", 8, u"abcd", false}, {u"abcdef", 8, u"abcd", false}};
    for (const auto &c : cases) {
        sim().registry.set_string(key, u"Name", c.stored);
        char16_t buffer[8];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        UNICODE_STRING target{0, c.capacity, buffer};
        RTL_QUERY_REGISTRY_TABLE table[2]{};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = const_cast<PWSTR>(u"NAME");
        table[0].EntryContext = &target;
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(qorsim::from_ucs(&target), c.read);
        EXPECT_EQ(c.read.size() < 4 && buffer[c.read.size()] == 0, c.terminated);
        EXPECT_EQ(buffer[4], u'#') << "nothing past the capacity";
    }
    // A string into a 4-byte target overwrites what lies behind it on NT: reported, and the
    // simulator writes only what fits.
    ULONG target[2] = {0, 0x5A5A5A5A};
    RTL_QUERY_REGISTRY_TABLE table[2]{};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"Name");
    table[0].EntryContext = &target[0];
    table[0].DefaultType = REG_DWORD;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(sim().verifier.violations().size(), 1u);
    EXPECT_NE(sim().verifier.violations()[0].find("4-byte target"), std::string::npos);
    EXPECT_EQ(target[1], 0x5A5A5A5Au);
    sim().verifier.reset();
}

TEST_F(Sim, VerifierCatchesWhatNtWouldNotSurvive) {
    int local;
    ExFreePool(&local);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KfAcquireSpinLock(&lock);
    KfAcquireSpinLock(&lock); // recursive: a deadlock on NT
    KfReleaseSpinLock(&lock, old);
    qorsim::Process &p = sim().processes.create("app");
    {
        qorsim::InProcess in(p);
        PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(0x10000000), 4096, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        MmProbeAndLockPages(mdl, UserMode, IoModifyAccess); // raises; nobody takes it
        IoFreeMdl(mdl);
    }
    const auto v = sim().verifier.violations();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NE(v[2].find("not caught"), std::string::npos) << v[2];
    sim().verifier.reset();
}

} // namespace
