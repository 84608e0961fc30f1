// NT 4's address space as programs and drivers meet it: the I/O manager refuses buffers
// outside a program's user memory before any driver sees the request, the same scenario
// gets the same addresses on every host and run, and no view of a card's buffers
// survives its process's hold on the card.
#include <gtest/gtest.h>

#include <cstring>

#include "support/sample_machine_fixture.h"
#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "qorsim_raise.h"

namespace {

constexpr DWORD kNoAccess = 998; // ERROR_NOACCESS: STATUS_ACCESS_VIOLATION as a program sees it

// A driver whose device-control routine only counts what reaches it.
int g_calls = 0;
NTSTATUS NTAPI CountingControl(PDEVICE_OBJECT, PIRP irp)
{
    ++g_calls;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI CountingOpenClose(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
VOID NTAPI CountingUnload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Probe");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}
NTSTATUS NTAPI CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Probe");
    RtlInitUnicodeString(&link, u"\\DosDevices\\Probe");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    IoCreateSymbolicLink(&link, &name);
    driver->MajorFunction[IRP_MJ_CREATE] = CountingOpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CountingOpenClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CountingControl;
    driver->DriverUnload = CountingUnload;
    return STATUS_SUCCESS;
}

class AddressSpace : public SimTest {};

// Which buffers the I/O manager accepts from a program, by transfer method: every method
// but METHOD_NEITHER has its buffers probed, and a refusal reaches no driver.
TEST_F(AddressSpace, TheIoManagerAcceptsOnlyAProgramsOwnUserMemory)
{
    qorsim::LoadedDriver driver("probe", CountingEntry, "");
    ASSERT_EQ(driver.load(), STATUS_SUCCESS);
    qorsim::Process &program = sim().processes.create("program");
    qorsim::InProcess in(program);
    uint8_t local[64] = {};                      // the program's stack: user space
    void *pool = ExAllocatePoolWithTag(NonPagedPool, 64, 0x74736554); // system space
    ASSERT_GE(reinterpret_cast<uintptr_t>(pool), qorsim::kSystemRangeStart);
    auto *ram = sim().memory.kernel_base(); // the physical-memory window: system space
    auto *unmapped = reinterpret_cast<uint8_t *>(qorsim::kUserProbeAddress - 0x10000); // user space, no memory
    auto *straddling = reinterpret_cast<uint8_t *>(qorsim::kUserProbeAddress - 16);

    struct Row {
        const char *name;
        ULONG method;
        void *in;
        ULONG inLength;
        void *out;
        ULONG outLength;
        bool reaches;
    };
    const Row rows[] = {
        {"stack buffers", METHOD_BUFFERED, local, 22, local, 32, true},
        {"no buffers at all", METHOD_BUFFERED, nullptr, 0, nullptr, 0, true},
        {"input in pool", METHOD_BUFFERED, pool, 22, local, 2, false},
        {"output in the RAM window", METHOD_BUFFERED, local, 2, ram, 298, false},
        {"NULL input with a length", METHOD_BUFFERED, nullptr, 22, local, 2, false},
        {"NULL output with a length", METHOD_BUFFERED, nullptr, 0, nullptr, 298, false},
        {"unmapped user page", METHOD_BUFFERED, unmapped, 4, local, 2, false},
        {"output across the end of user space", METHOD_BUFFERED, local, 2, straddling, 32, false},
        {"direct output in pool", METHOD_OUT_DIRECT, local, 2, pool, 16, false},
        {"direct input buffer in pool", METHOD_IN_DIRECT, pool, 8, local, 16, false},
        {"neither: the driver probes", METHOD_NEITHER, pool, 8, pool, 8, true},
    };
    HANDLE h = CreateFileA("\\\\.\\Probe", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        g_calls = 0;
        DWORD n = 0;
        const ULONG code = CTL_CODE(0x8000, 0x800, row.method, FILE_ANY_ACCESS);
        const int ok = DeviceIoControl(h, code, row.in, row.inLength, row.out, row.outLength, &n, nullptr);
        EXPECT_EQ(ok != 0, row.reaches);
        EXPECT_EQ(g_calls, row.reaches ? 1 : 0);
        if (!row.reaches) {
            EXPECT_EQ(GetLastError(), kNoAccess);
        }
    }
    EXPECT_TRUE(CloseHandle(h));
    ExFreePool(pool);

    // A user-mode probe of system memory raises, as NT's does.
    PMDL mdl = IoAllocateMdl(ram + 0x200000, 4096, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    EXPECT_EQ(QorSimTakeRaisedStatus(), STATUS_ACCESS_VIOLATION);
    IoFreeMdl(mdl);
}

class AddressSpaceScenario : public SampleMachineTest {
protected:
    qorsim::Process *first = nullptr, *second = nullptr;
    void SetUp() override
    {
        SampleMachineTest::SetUp();
        first = &CreateProgram("first");
        second = &CreateProgram("second");
    }
    static HANDLE Open() { return SampleMachineTest::Open("\\\\.\\AcqA0"); }
    static QorDesp Describe(HANDLE h)
    {
        QorDesp d{};
        DWORD n = 0;
        EXPECT_TRUE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &d, sizeof d, &n, nullptr));
        return d;
    }
};

// The same scenario gives the same addresses and the same register traffic on every host
// and every run, natively or under qemu-i386: the values are fixed here.
TEST_F(AddressSpaceScenario, OneScenarioHasFixedAddressesAndTrace)
{
    sim().ports.clear_trace();
    QorDesp d{};
    {
        qorsim::InProcess in(*first);
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        d = Describe(h);
        EXPECT_TRUE(CloseHandle(h));
    }
    // FNV-1a over the card's own port accesses (direction, width, port, value).
    uint32_t hash = 2166136261u;
    size_t count = 0;
    for (const qorsim::PortAccess &a : accesses()) {
        if (a.port < 0xE000 || a.port >= 0xE070)
            continue;
        ++count;
        for (uint32_t v : {uint32_t(a.write), uint32_t(a.width), a.port, a.value})
            for (int b = 0; b < 4; ++b)
                hash = (hash ^ ((v >> (8 * b)) & 0xFF)) * 16777619u;
    }
    const uint32_t addresses[] = {d.Buffers[0].UserAddress0, d.Buffers[1].UserAddress0, d.Buffers[2].UserAddress0,
                                  d.Buffers[3].UserAddress0};
    for (uint32_t a : addresses) {
        EXPECT_GE(a, qorsim::kLowestUserAddress);
        EXPECT_LT(a, qorsim::kUserProbeAddress);
    }
    const uint32_t expected[] = {0x61010000u, 0x61020000u, 0x61034000u, 0x61046000u};
    EXPECT_EQ(std::memcmp(addresses, expected, sizeof expected), 0)
        << std::hex << addresses[0] << " " << addresses[1] << " " << addresses[2] << " " << addresses[3];
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(hash, 0x7D3D435Du) << std::hex << hash;
}

// A second opener's description views go with its handle; the first opener's go at the
// last close, so that no program keeps a view of pages the kernel frees at unload.
TEST_F(AddressSpaceScenario, ViewsGoWhenTheirProcessLetsGoOfTheCard)
{
    qorsim::InProcess a(*first);
    HANDLE kept = Open();
    ASSERT_NE(kept, INVALID_HANDLE_VALUE);
    const QorDesp mine = Describe(kept);
    const size_t firstViews = first->views().size();
    EXPECT_GT(firstViews, 0u);
    {
        qorsim::InProcess b(*second);
        for (int round = 0; round < 100; ++round) {
            HANDLE h = Open();
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            const QorDesp theirs = Describe(h);
            ASSERT_NE(theirs.Buffers[0].UserAddress0, mine.Buffers[0].UserAddress0);
            ASSERT_GT(second->views().size(), 0u);
            ASSERT_TRUE(CloseHandle(h));
            ASSERT_EQ(second->views().size(), 0u) << "round " << round;
        }
    }
    EXPECT_EQ(first->views().size(), firstViews);
    const uintptr_t kernelView = mine.Buffers[0].UserAddress0;
    EXPECT_TRUE(qorsim::user_space_accessible(kernelView, 4096));
    EXPECT_TRUE(CloseHandle(kept));
    EXPECT_EQ(first->views().size(), 0u);
    // The program lives on past the unload; its old view addresses map nothing.
    driver.reset();
    library.reset();
    EXPECT_FALSE(qorsim::user_space_accessible(kernelView, 4096));
    EXPECT_TRUE(sim().verifier.violations().empty());
}

// The first opener leaving while another program holds the card: its views go at once,
// and the buffers keep no user address of a process that no longer maps them; the other
// program's description still gives it views of its own.
TEST_F(AddressSpaceScenario, TheFirstOpenerLeavingFirstTakesItsViewsAndAddresses)
{
    HANDLE mineHandle = INVALID_HANDLE_VALUE;
    QorDesp mine{};
    {
        qorsim::InProcess a(*first);
        mineHandle = Open();
        ASSERT_NE(mineHandle, INVALID_HANDLE_VALUE);
        mine = Describe(mineHandle);
    }
    qorsim::InProcess b(*second);
    HANDLE theirsHandle = Open();
    ASSERT_NE(theirsHandle, INVALID_HANDLE_VALUE);
    {
        qorsim::InProcess a(*first);
        EXPECT_TRUE(CloseHandle(mineHandle));
    }
    EXPECT_EQ(first->views().size(), 0u);
    EXPECT_FALSE(qorsim::user_space_accessible(mine.Buffers[0].UserAddress0, 4096));
    const auto *ext = static_cast<const QorDevExt *>(sim().objects.resolve(u"\\DosDevices\\AcqA0")->DeviceExtension);
    for (const QorDbx *dbx : ext->Buffers) {
        if (dbx == nullptr)
            continue;
        EXPECT_EQ(+dbx->UserAddress0, 0u);
        EXPECT_EQ(+dbx->UserAddress1, 0u);
    }
    const QorDesp theirs = Describe(theirsHandle);
    EXPECT_TRUE(second->contains(theirs.Buffers[0].UserAddress0, theirs.Buffers[0].BufferSize));
    EXPECT_TRUE(CloseHandle(theirsHandle));
    EXPECT_EQ(second->views().size(), 0u);
    EXPECT_TRUE(sim().verifier.violations().empty());
}

// The simulator itself names a view left over pages the kernel frees.
TEST_F(AddressSpace, FreeingPagesAViewStillMapsIsAViolation)
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = 0x7FFFFFFF;
    void *block = MmAllocateContiguousMemory(0x10000, highest);
    ASSERT_NE(block, nullptr);
    qorsim::Process &program = sim().processes.create("keeper");
    uint32_t phys = 0;
    ASSERT_TRUE(sim().memory.kernel_to_phys(block, &phys));
    ASSERT_NE(program.add_view(phys, 0x10000), 0u);
    MmFreeContiguousMemory(block);
    const auto v = sim().verifier.violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("keeper"), std::string::npos) << v[0];
    sim().verifier.reset();
    sim().processes.end(program);
}

} // namespace
