// Mistakes driver writers make, planted one at a time in a small client driver on the
// default machine's first S5933 card (0:03.0): the verifier must name each one and the
// routine that made it. Then the I/O manager's side: an IRP outlives a sender that stops
// waiting, an unload waits for the last handle, an exclusive device takes one open, a
// process that ends with pages locked is caught, oversized pool requests fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "support/sim_fixture.h"
#include "culprit.h"
#include "default_machine.h"
#include "leaks.h"
#include "qorwin32.h"

namespace {

enum class Mistake {
    None,
    CompleteTwice,
    PendingUnmarked,
    MarkedNotPending,
    NeitherCompletedNorPended,
    StatusMismatch,
    CancelRoutineLeft,
    CompleteFromInterrupt,
    HeldAtUnload,
    ReturnAtDispatch,
    OtherCardsRegister,
    UndecodedPort,
    PastTheRange,
    OwnRegister,
    PoolLeaked,
    FreedTwice,
    MdlLeaked,
    Asserted,
    DpcKeepsLock,
    DpcDelays,
    InterruptTouchesOtherCard,
    ContiguousLeaked,
    UnloadForgets,
};

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kS5933 = 0xE000;              // card 0:03.0, BAR0 of 0x40 bytes
constexpr ULONG kPlx9050IntCsr = 0xD000 + 0x4C; // card 2:04.0
constexpr ULONG kSlot = 3, kLine = 10;

Mistake g_mistake = Mistake::None;
bool g_exclusive = false;
std::atomic<bool> g_hold_create{false}, g_in_create{false};
PIRP g_held = nullptr;
KSPIN_LOCK g_lock = 0;

struct Ext {
    KDPC dpc;
    PKINTERRUPT interrupt;
};

VOID NTAPI MistakeCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

VOID NTAPI MistakeDpc(PKDPC, PVOID, PVOID, PVOID)
{
    if (g_mistake == Mistake::DpcKeepsLock) {
        KIRQL old;
        KeAcquireSpinLock(&g_lock, &old);
    }
    if (g_mistake == Mistake::DpcDelays) {
        LARGE_INTEGER interval;
        interval.QuadPart = -10;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

BOOLEAN NTAPI MistakeIsr(PKINTERRUPT, PVOID)
{
    if (g_mistake == Mistake::CompleteFromInterrupt && g_held != nullptr) {
        PIRP irp = g_held;
        g_held = nullptr;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    if (g_mistake == Mistake::InterruptTouchesOtherCard)
        READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(kPlx9050IntCsr));
    return TRUE;
}

NTSTATUS NTAPI MistakeCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE && g_hold_create) {
        g_in_create = true;
        while (g_hold_create)
            std::this_thread::yield();
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void RaiseCardInterrupt() { qorsim::machine().pci.find(0, kSlot)->raise_interrupt(); }

NTSTATUS NTAPI MistakeDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<Ext *>(device->DeviceExtension);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    switch (g_mistake) {
    case Mistake::CompleteTwice:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break; // and once more below
    case Mistake::PendingUnmarked:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case Mistake::MarkedNotPending:
        IoMarkIrpPending(irp);
        break;
    case Mistake::NeitherCompletedNorPended:
        return STATUS_SUCCESS;
    case Mistake::StatusMismatch:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    case Mistake::CancelRoutineLeft:
        (void)IoSetCancelRoutine(irp, MistakeCancel);
        break;
    case Mistake::CompleteFromInterrupt:
        IoMarkIrpPending(irp);
        g_held = irp;
        RaiseCardInterrupt(); // the card interrupts the dispatch routine
        return STATUS_PENDING;
    case Mistake::HeldAtUnload:
        IoMarkIrpPending(irp);
        g_held = irp;
        return STATUS_PENDING;
    case Mistake::ReturnAtDispatch:
        KfReleaseSpinLock(&g_lock, KfAcquireSpinLock(&g_lock) + DISPATCH_LEVEL);
        break;
    case Mistake::OtherCardsRegister: READ_PORT_ULONG(reinterpret_cast<PULONG>(kPlx9050IntCsr)); break;
    case Mistake::UndecodedPort: READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x378)); break;
    case Mistake::PastTheRange: READ_PORT_ULONG(reinterpret_cast<PULONG>(kS5933 + 0x3E)); break;
    case Mistake::OwnRegister: READ_PORT_ULONG(reinterpret_cast<PULONG>(kS5933 + 0x38)); break;
    case Mistake::PoolLeaked: ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C /* Leak */); break;
    case Mistake::FreedTwice: {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 24, 0x65657246 /* Free */);
        ExFreePool(p);
        ExFreePool(p);
        break;
    }
    case Mistake::MdlLeaked: IoAllocateMdl(irp->AssociatedIrp.SystemBuffer, 8, FALSE, FALSE, nullptr); break;
    case Mistake::Asserted: ASSERT(irp->IoStatus.Information == 1); break;
    case Mistake::DpcKeepsLock:
    case Mistake::DpcDelays: KeInsertQueueDpc(&ext->dpc, nullptr, nullptr); break;
    case Mistake::InterruptTouchesOtherCard: RaiseCardInterrupt(); break;
    case Mistake::ContiguousLeaked: {
        PHYSICAL_ADDRESS highest;
        highest.QuadPart = 0xFFFFFFFF;
        MmAllocateContiguousMemory(4096, highest);
        break;
    }
    case Mistake::UnloadForgets:
    case Mistake::None: break;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

UNICODE_STRING Ucs(const char16_t *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(text));
    return s;
}

VOID NTAPI MistakeUnload(PDRIVER_OBJECT driver)
{
    if (g_mistake == Mistake::UnloadForgets)
        return;
    PDEVICE_OBJECT device = driver->DeviceObject;
    auto *ext = static_cast<Ext *>(device->DeviceExtension);
    if (ext->interrupt != nullptr)
        IoDisconnectInterrupt(ext->interrupt);
    IoAssignResources(nullptr, nullptr, driver, device, nullptr, nullptr);
    UNICODE_STRING link = Ucs(u"\\DosDevices\\Mistake0");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
}

NTSTATUS NTAPI MistakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING name = Ucs(u"\\Device\\Mistake0"), link = Ucs(u"\\DosDevices\\Mistake0");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), &name, FILE_DEVICE_UNKNOWN, 0, g_exclusive, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = static_cast<Ext *>(device->DeviceExtension);
    std::memset(ext, 0, sizeof *ext);
    KeInitializeDpc(&ext->dpc, MistakeDpc, device);
    IoCreateSymbolicLink(&link, &name);
    PCM_RESOURCE_LIST resources = nullptr;
    HalAssignSlotResources(registryPath, nullptr, driver, device, PCIBus, 0, kSlot, &resources);
    ExFreePool(resources);
    KIRQL irql;
    KAFFINITY affinity;
    const ULONG vector = HalGetInterruptVector(PCIBus, 0, kLine, kLine, &irql, &affinity);
    IoConnectInterrupt(&ext->interrupt, MistakeIsr, device, nullptr, vector, irql, irql, LevelSensitive, TRUE,
                       affinity, FALSE);
    driver->MajorFunction[IRP_MJ_CREATE] = MistakeCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = MistakeCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MistakeDeviceControl;
    driver->DriverUnload = MistakeUnload;
    return STATUS_SUCCESS;
}

class MistakeMachine : public SimTest {
protected:
    std::unique_ptr<qorsim::DefaultMachine> board;
    std::unique_ptr<qorsim::LoadedDriver> driver;

    void SetUp() override
    {
        SimTest::SetUp();
        g_mistake = Mistake::None;
        g_held = nullptr;
        KeInitializeSpinLock(&g_lock);
        board = std::make_unique<qorsim::DefaultMachine>();
        driver = std::make_unique<qorsim::LoadedDriver>("mistake", MistakeEntry, "\\Registry\\Machine\\mistake");
        ASSERT_EQ(driver->load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        driver.reset();
        board.reset();
        g_exclusive = false;
        SimTest::TearDown();
    }
    PDEVICE_OBJECT Device() { return sim().objects.device(u"\\Device\\Mistake0"); }

    // Sends one I/O-control request as the I/O manager does and lets go of it.
    void Send(void *output = nullptr)
    {
        uint8_t input[8] = {};
        auto request = std::make_unique<qorsim::IoctlRequest>(kCode, input, 8, 8, output);
        IoGetCurrentIrpStackLocation(request->irp())->DeviceObject = Device();
        qorsim::call_dispatch(Device(), request->irp());
        sim().irps.release(std::move(request));
    }
};

struct MistakeRow {
    const char *name;
    Mistake mistake;
    const char *what;    // in the violation or leak line; null: nothing is reported
    const char *routine; // in the same line
};

class PlantedMistakes : public MistakeMachine, public ::testing::WithParamInterface<MistakeRow> {};

TEST_P(PlantedMistakes, AreReportedNamingTheRoutine)
{
    const MistakeRow &row = GetParam();
    g_mistake = row.mistake;
    Send();
    sim().dpcs.drain();
    driver->unload();
    std::string report;
    for (const std::string &v : sim().verifier.violations())
        report += v + "\n";
    report += qorsim::leak_report();
    if (row.what == nullptr) {
        EXPECT_EQ(report, "");
        return;
    }
    const size_t at = report.find(row.what);
    ASSERT_NE(at, std::string::npos) << report;
    const size_t begin = report.rfind('\n', at) == std::string::npos ? 0 : report.rfind('\n', at) + 1;
    const std::string line = report.substr(begin, report.find('\n', at) - begin);
    EXPECT_NE(line.find(row.routine), std::string::npos) << line;
    // What the mistake left goes with the machine.
    driver.reset();
    board.reset();
    sim().reset();
}

const MistakeRow kMistakes[] = {
    {"correct_driver", Mistake::None, nullptr, nullptr},
    {"own_register", Mistake::OwnRegister, nullptr, nullptr},
    {"completed_twice", Mistake::CompleteTwice, "MULTIPLE_IRP_COMPLETE_REQUESTS", "by (anonymous namespace)::MistakeDeviceControl+0x"},
    {"pending_not_marked", Mistake::PendingUnmarked, "returned STATUS_PENDING for an IRP_MJ_DEVICE_CONTROL request (code 0x00222000) without marking it pending", "MistakeDeviceControl"},
    {"marked_not_pending", Mistake::MarkedNotPending, "but returned 0x00000000, not STATUS_PENDING", "MistakeDeviceControl"},
    {"neither_completed_nor_pended", Mistake::NeitherCompletedNorPended, "without completing it or marking it pending", "MistakeDeviceControl"},
    {"returned_other_status", Mistake::StatusMismatch, "returned 0xC000000D for an IRP_MJ_DEVICE_CONTROL request (code 0x00222000) that it completed with 0x00000000", "MistakeDeviceControl"},
    {"cancel_routine_left", Mistake::CancelRoutineLeft, "with a cancel routine still set", "by (anonymous namespace)::MistakeDeviceControl+0x"},
    {"completed_in_interrupt", Mistake::CompleteFromInterrupt, "IofCompleteRequest above DISPATCH_LEVEL", "in the interrupt routine (anonymous namespace)::MistakeIsr"},
    {"held_at_unload", Mistake::HeldAtUnload, "is still held by the driver at its unload", "sent to (anonymous namespace)::MistakeDeviceControl"},
    {"returned_at_dispatch", Mistake::ReturnAtDispatch, "returned at DISPATCH_LEVEL, having been called at PASSIVE_LEVEL", "MistakeDeviceControl"},
    {"other_cards_register", Mistake::OtherCardsRegister, "port 0xD04C, INTCSR of the plx9050 range (BAR1) of card 2:04.0, which is no register of card 0:03.0", "by (anonymous namespace)::MistakeDeviceControl+0x"},
    {"undecoded_port", Mistake::UndecodedPort, "READ_PORT_UCHAR of port 0x0378, which no card decodes", "MistakeDeviceControl"},
    {"past_the_range", Mistake::PastTheRange, "READ_PORT_ULONG of port 0xE03E (4 bytes)", "by (anonymous namespace)::MistakeDeviceControl+0x"},
    {"pool_leaked", Mistake::PoolLeaked, "24 bytes, tag 'Leak', allocated by (anonymous namespace)::MistakeDeviceControl", "in the dispatch routine"},
    {"pool_freed_twice", Mistake::FreedTwice, "freed already: a block of 24 bytes, tag 'Free', allocated by (anonymous namespace)::MistakeDeviceControl", "by (anonymous namespace)::MistakeDeviceControl"},
    {"mdl_leaked", Mistake::MdlLeaked, "MDL not freed", "made by (anonymous namespace)::MistakeDeviceControl"},
    {"assert_failed", Mistake::Asserted, "ASSERT failed: irp->IoStatus.Information == 1, ", "verifier_culprit_test.cpp:"},
    {"dpc_keeps_its_lock", Mistake::DpcKeepsLock, "a DPC routine returned holding a spin lock", "in the DPC routine (anonymous namespace)::MistakeDpc+0x0 (qor_tests) for \\Device\\Mistake0, card 0:03.0; DISPATCH_LEVEL"},
    {"dpc_delays", Mistake::DpcDelays, "KeDelayExecutionThread above PASSIVE_LEVEL", "by (anonymous namespace)::MistakeDpc+0x"},
    {"contiguous_leaked", Mistake::ContiguousLeaked, "contiguous block not freed: 4096 bytes", "made by (anonymous namespace)::MistakeDeviceControl"},
    {"device_left", Mistake::UnloadForgets, "device not deleted: \\Device\\Mistake0", "made by (anonymous namespace)::MistakeEntry"},
    {"link_left", Mistake::UnloadForgets, "symbolic link not deleted", "-> \\Device\\Mistake0"},
    {"interrupt_left", Mistake::UnloadForgets, "interrupt still connected", "routine (anonymous namespace)::MistakeIsr+0x0 (qor_tests) for \\Device\\Mistake0, connected by (anonymous namespace)::MistakeEntry"},
    {"interrupt_reads_other_card", Mistake::InterruptTouchesOtherCard, "INTCSR of the plx9050 range", "in the interrupt routine (anonymous namespace)::MistakeIsr"},
};

INSTANTIATE_TEST_SUITE_P(Rows, PlantedMistakes, ::testing::ValuesIn(kMistakes), RowName<::testing::TestParamInfo<MistakeRow>>);

// A sender that stops waiting lets go of a pending IRP, but the IRP stays until the driver
// completes it, and the late completion writes to the request's own buffer, not to the
// sender's memory.
TEST_F(MistakeMachine, AnIrpLivesUntilTheDriverCompletesIt)
{
    g_mistake = Mistake::HeldAtUnload;
    uint8_t output[8];
    std::memset(output, 0xEE, sizeof output);
    Send(output);
    ASSERT_NE(g_held, nullptr);
    ASSERT_EQ(sim().irps.held().size(), 1u);
    EXPECT_NE(sim().irps.leak_report().find("was never completed"), std::string::npos);
    std::memset(g_held->AssociatedIrp.SystemBuffer, 0x5A, 8);
    g_held->IoStatus.Status = STATUS_SUCCESS;
    g_held->IoStatus.Information = 8;
    IoCompleteRequest(g_held, IO_NO_INCREMENT);
    EXPECT_TRUE(sim().irps.held().empty());
    for (uint8_t b : output)
        EXPECT_EQ(b, 0xEE);
}

// A program that receives no completion receives no data either.
TEST_F(MistakeMachine, AProgramGetsNoDataFromARequestThatWasNeverCompleted)
{
    g_mistake = Mistake::NeitherCompletedNorPended;
    qorsim::Process &program = sim().processes.create("program");
    {
        qorsim::InProcess in(program);
        HANDLE h = CreateFileA("\\\\.\\Mistake0", 0, 0, nullptr, 0, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        uint8_t input[8] = {1}, out[8];
        std::memset(out, 0xEE, sizeof out);
        DWORD returned = 0x1234;
        EXPECT_FALSE(DeviceIoControl(h, kCode, input, 8, out, 8, &returned, nullptr));
        EXPECT_EQ(returned, 0x1234u);
        for (uint8_t b : out)
            EXPECT_EQ(b, 0xEE);
        EXPECT_TRUE(CloseHandle(h));
    }
    sim().processes.end(program);
    ASSERT_EQ(sim().verifier.violations().size(), 1u);
    EXPECT_NE(sim().verifier.violations()[0].find("without completing it"), std::string::npos);
    driver.reset();
    sim().reset();
}

// NT unloads a driver only when the last handle to its devices is closed.
TEST_F(MistakeMachine, UnloadWaitsForTheLastHandle)
{
    qorsim::Process &program = sim().processes.create("program");
    HANDLE h;
    {
        qorsim::InProcess in(program);
        h = CreateFileA("\\\\.\\Mistake0", 0, 0, nullptr, 0, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    driver->unload();
    EXPECT_TRUE(driver->unload_pending());
    EXPECT_NE(Device(), nullptr);
    {
        qorsim::InProcess in(program);
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_FALSE(driver->unload_pending());
    EXPECT_FALSE(driver->loaded());
    EXPECT_EQ(Device(), nullptr);
    EXPECT_TRUE(sim().objects.link_names().empty());
    sim().processes.end(program);
}

// Two opens of an exclusive device at once: the second is refused while the first is still
// in the driver's create routine, without reaching the driver.
TEST_F(MistakeMachine, AnExclusiveDeviceTakesOneOpenEvenWhenTwoComeAtOnce)
{
    driver.reset();
    g_exclusive = true;
    driver = std::make_unique<qorsim::LoadedDriver>("mistake", MistakeEntry, "\\Registry\\Machine\\mistake");
    ASSERT_EQ(driver->load(), STATUS_SUCCESS);
    qorsim::Process &program = sim().processes.create("program");
    g_hold_create = true;
    g_in_create = false;
    HANDLE first = INVALID_HANDLE_VALUE;
    std::thread opener([&] {
        qorsim::InProcess in(program);
        first = CreateFileA("\\\\.\\Mistake0", 0, 0, nullptr, 0, 0, nullptr);
    });
    while (!g_in_create)
        std::this_thread::yield();
    {
        qorsim::InProcess in(program);
        EXPECT_EQ(CreateFileA("\\\\.\\Mistake0", 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), 5u); // ERROR_ACCESS_DENIED
    }
    g_hold_create = false;
    opener.join();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    {
        qorsim::InProcess in(program);
        EXPECT_TRUE(CloseHandle(first));
        HANDLE again = CreateFileA("\\\\.\\Mistake0", 0, 0, nullptr, 0, 0, nullptr);
        EXPECT_NE(again, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(CloseHandle(again));
    }
    sim().processes.end(program);
}

// A process that ends while an MDL still locks its pages stops NT; the MDL's report later
// does not read the ended process.
TEST_F(MistakeMachine, AProcessEndingWithLockedPagesIsCaught)
{
    qorsim::Process &program = sim().processes.create("program");
    PMDL mdl;
    {
        qorsim::InProcess in(program);
        const uintptr_t user = program.allocate_private(2 * qorsim::kPageSize);
        mdl = IoAllocateMdl(reinterpret_cast<PVOID>(user), 2 * qorsim::kPageSize, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    }
    sim().processes.end(program);
    const auto violations = sim().verifier.violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].find("PROCESS_HAS_LOCKED_PAGES: process"), std::string::npos) << violations[0];
    EXPECT_NE(violations[0].find("ended with 2 pages"), std::string::npos) << violations[0];
    EXPECT_NE(violations[0].find("AProcessEndingWithLockedPagesIsCaught"), std::string::npos) << violations[0];
    EXPECT_NE(sim().mdls.leak_report().find("of an ended process, 2 pages still locked"), std::string::npos);
    driver.reset();
    sim().reset();
}

// Requests no machine's memory could hold fail with null, even where the size would wrap
// with the pool's guard bytes.
TEST_F(MistakeMachine, OversizedPoolRequestsFail)
{
    struct {
        ULONG bytes;
        bool granted;
    } rows[] = {{0xFFFFFFF0u, false}, {0x7FFFFFF0u, false}, {0x10000u, true}, {0, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bytes);
        const uint64_t failuresBefore = sim().pool.failures();
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, row.bytes, 0x74736554);
        EXPECT_EQ(p != nullptr, row.granted);
        EXPECT_EQ(sim().pool.failures() - failuresBefore, row.granted ? 0u : 1u);
        if (p != nullptr)
            ExFreePool(p);
    }
}

void NamedFunction() {}

TEST(CodeNames, NameTheSymbolAndLetOtherResolversGoFirst)
{
    const void *address = reinterpret_cast<const void *>(&NamedFunction);
    EXPECT_NE(qorsim::name_code_address(address).find("(anonymous namespace)::NamedFunction+0x0 (qor_tests)"),
              std::string::npos)
        << qorsim::name_code_address(address);
    qorsim::add_code_namer([address](const void *a, std::string *name) {
        if (a != address)
            return false;
        *name = "mydrv.sys+0x1234";
        return true;
    });
    EXPECT_EQ(qorsim::name_code_address(address), "mydrv.sys+0x1234");
    qorsim::clear_code_namers();
}

// DbgPrint and KdPrint write to standard error with the virtual time.
TEST_F(MistakeMachine, DbgPrintWritesWithTheVirtualTime)
{
    ::testing::internal::CaptureStderr();
    DbgPrint("card %d ready", 3);
    KdPrint(("half %u done\n", 7u));
    const std::string text = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find(" ms  card 3 ready\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" ms  half 7 done\n"), std::string::npos) << text;
}

} // namespace
