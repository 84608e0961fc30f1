// The simulator's own strictness, which no library test would notice were it lost:
// handles that belong to one process, files only in the drivers' directory, the
// registry's direct string query as NT writes it, the verifier's rules, and the machine's
// threads on one host core.

#include "support/sim_fixture.h"
#include "host_core.h"
#include "qorpelk.h"

#include <sched.h>

#include <thread>

namespace {

using Sim = SimTest;

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
    KfReleaseSpinLock(&lock, old); // not held: a violation, and one more for the IRQL
    qorsim::Process &p = sim().processes.create("app");
    {
        qorsim::InProcess in(p);
        PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(0x10000000), 4096, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        MmProbeAndLockPages(mdl, UserMode, IoModifyAccess); // raises; nobody takes it
        IoFreeMdl(mdl);
    }
    const auto v = sim().verifier.violations();
    ASSERT_EQ(v.size(), 5u);
    EXPECT_NE(v[4].find("not caught"), std::string::npos) << v[4];
    sim().verifier.reset();
}

// The one host core holds the thread that asked and every thread started after it, even
// by a thread it started; the threads that were already running keep their cores.
TEST_F(Sim, OneHostCoreHoldsTheThreadsStartedAfter) {
    auto cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
    };
    const int before = cores();
    ASSERT_GE(before, 1);
    // A host that refuses to pin threads at all (some sandboxes) leaves nothing to test.
    bool hostPins = false;
    std::thread([&] {
        cpu_set_t set;
        CPU_ZERO(&set);
        hostPins = sched_getaffinity(0, sizeof set, &set) == 0 && sched_setaffinity(0, sizeof set, &set) == 0;
    }).join();
    if (!hostPins)
        GTEST_SKIP() << "this host refuses sched_setaffinity";
    bool placed = false;
    std::string why;
    int asker = -1, child = -1, grandchild = -1;
    std::thread machine([&] {
        placed = qorsim::share_one_host_core(&why);
        asker = cores();
        std::thread started([&] {
            child = cores();
            std::thread([&] { grandchild = cores(); }).join();
        });
        started.join();
    });
    machine.join();
    ASSERT_TRUE(placed) << why;
    EXPECT_EQ(asker, 1);
    EXPECT_EQ(child, 1);
    EXPECT_EQ(grandchild, 1);
    EXPECT_EQ(cores(), before) << "the test's own thread keeps its cores";
}

} // namespace
