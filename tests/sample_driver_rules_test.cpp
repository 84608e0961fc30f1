// The rules a client driver must keep, tried on the sample driver as a program meets it:
// interrupts of a closed or masked card, rows the driver does not serve, starts it cannot
// run, and port requests aimed outside the card.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/sample_machine_fixture.h"
#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "control_device.h"
#include "default_machine.h"
#include "qor_plx9050.h"

namespace {

constexpr DWORD kInvalidFunction = 1;  // STATUS_INVALID_DEVICE_REQUEST as a program sees it
constexpr DWORD kInvalidParameter = 87; // STATUS_INVALID_PARAMETER
constexpr DWORD kOperationAborted = 995; // STATUS_CANCELLED

class SampleDriverRules : public SampleMachineTest {
protected:
    qorsim::Process *program = nullptr;

    void SetUp() override
    {
        SampleMachineTest::SetUp();
        program = &sim().processes.create("program");
    }
    void EndPrograms() override
    {
        if (program != nullptr)
            sim().processes.end(*program);
    }

    static HANDLE Open(const char *card)
    {
        return CreateFileA(card, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    static QorDevExt *Extension(const char16_t *link)
    {
        PDEVICE_OBJECT d = qorsim::machine().objects.resolve(link);
        return d ? static_cast<QorDevExt *>(d->DeviceExtension) : nullptr;
    }
    qorsim::PciFunction &Pci(const char *family)
    {
        for (const auto &card : board->cards())
            if (card.family == family)
                return *card.pci;
        throw std::runtime_error(family);
    }
};

// The PLX 9050's local inputs show their status whether or not they are enabled; the
// driver must claim the shared line only for an input that is active and enabled, and
// must not run its DPC for a card that is closed (its events are gone then).
TEST_F(SampleDriverRules, APlx9050InterruptIsClaimedOnlyWhenOpenActiveAndEnabled)
{
    struct Row {
        const char *name;
        bool open, enable, assert;
        unsigned claims, dpcs;
    };
    const Row rows[] = {
        {"closed card, input active", false, false, true, 0, 0},
        {"enabled, then closed, input active", false, true, true, 0, 0},
        {"open, input active but not enabled", true, false, true, 0, 0},
        {"open, enabled, input idle", true, true, false, 0, 0},
        {"open, enabled, input active", true, true, true, 1, 1},
    };
    qorsim::InProcess in(*program);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        HANDLE h = Open("\\\\.\\AcqB0");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (row.enable) {
            QorDualIntRequest set{};
            set.Int1Enable = 1;
            set.Int1Polarity = 1;
            DWORD n = 0;
            ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_DUAL_INT_SET, &set, sizeof set, &set, 2, &n, nullptr));
        }
        if (!row.open) {
            ASSERT_TRUE(CloseHandle(h));
        }
        sim().dpcs.drain();
        const uint64_t before = sim().dpcs.executed();
        board->plx9050().set_lint_asserted(1, row.assert);
        EXPECT_EQ(Pci("PLX PCI 9050").raise_interrupt(), row.claims);
        sim().dpcs.drain();
        EXPECT_EQ(sim().dpcs.executed() - before, row.dpcs);
        if (!row.open) {
            EXPECT_EQ(board->plx9050().intcsr_low() & PLX9050_INTCSR_PCI_INT_ENABLE, 0u) << "masked while closed";
        }
        board->plx9050().set_lint_asserted(1, false);
        if (row.open) {
            ASSERT_TRUE(CloseHandle(h));
        }
    }
}

// Every row of a buffer group is a length-table row, but only those whose low bits name
// a buffer kind are requests of this driver; the rest must not reach the library with no
// buffer object.
TEST_F(SampleDriverRules, BufferGroupRowsThatNameNoBufferAreInvalidRequests)
{
    struct Row {
        ULONG function, in, out;
        bool served;
    };
    const Row rows[] = {
        {0x830, 16, 2, false}, // the progress group's row without a buffer kind
        {0x835, 0, 8, true},   // progress of analog input
        {0x84A, 0, 8, true},   // stop of digital output
        {0x82B, 16, 2, false}, // a table row outside every group
    };
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqA0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.function);
        unsigned char buffer[32] = {};
        DWORD n = 0;
        const int ok = DeviceIoControl(h, QOR_IOCTL_CODE(row.function), row.in ? buffer : nullptr, row.in, buffer,
                                       row.out, &n, nullptr);
        EXPECT_EQ(ok != 0, row.served);
        if (!row.served) {
            EXPECT_EQ(GetLastError(), kInvalidFunction);
        }
    }
    EXPECT_TRUE(CloseHandle(h));
}

// The driver runs bus-master transfers on the S5933 cards only: a start on a PLX card is
// refused at once, synchronous or not, and leaves the buffer idle.
TEST_F(SampleDriverRules, AStartOnAPlxCardIsRefusedAndLeavesTheBufferIdle)
{
    for (const char *card : {"\\\\.\\AcqB0", "\\\\.\\AcqC0"}) {
        for (USHORT sync : {USHORT{1}, USHORT{0}}) {
            SCOPED_TRACE(std::string(card) + (sync ? " synchronous" : " asynchronous"));
            qorsim::InProcess in(*program);
            HANDLE h = Open(card);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            QorContRequest start{};
            start.SampleCount = 64;
            start.ListCount = 1;
            start.SyncMode = sync;
            DWORD n = 0;
            EXPECT_FALSE(DeviceIoControl(h, ACQ_IOCTL_START(0), &start, sizeof start, &start, 2, &n, nullptr));
            EXPECT_EQ(GetLastError(), kInvalidFunction);
            QorAsyResult progress{};
            ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_PROGRESS(0), nullptr, 0, &progress, sizeof progress, &n, nullptr));
            EXPECT_EQ(progress.Stopped, 1) << "the buffer never turned busy";
            EXPECT_TRUE(CloseHandle(h));
        }
    }
}

// Port requests reach the card's own register range only: its BAR declares 0x20 bytes.
// The first S5933 card's range is at 0xE040; the second card's bridge registers are at
// 0xE400, so offset 0x3E4 from the first card is the second card's MWAR.
TEST_F(SampleDriverRules, PortRequestsStayInsideTheCardsRegisterRange)
{
    struct Row {
        const char *name;
        ULONG code;
        USHORT offset, width;
        bool allowed;
    };
    const Row rows[] = {
        {"last dword of the range", ACQ_IOCTL_PORT_READ, 0x1C, 4, true},
        {"first byte", ACQ_IOCTL_PORT_WRITE, 0x00, 1, true},
        {"dword crossing the end", ACQ_IOCTL_PORT_READ, 0x1E, 4, false},
        {"just past the end", ACQ_IOCTL_PORT_WRITE, 0x20, 1, false},
        {"another card's bus-master address", ACQ_IOCTL_PORT_WRITE, 0x3E4, 4, false},
        {"offset that wraps the port space", ACQ_IOCTL_PORT_WRITE, 0xFFFF, 2, false},
    };
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqA0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const ULONG base = Extension(u"\\DosDevices\\AcqA0")->PortBase[1];
    ASSERT_EQ(base, 0xE040u);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QorPortIoRequest request{};
        request.Offset = row.offset;
        request.Width = row.width;
        request.Value = 0x12345678;
        sim().ports.clear_trace();
        DWORD n = 0;
        const int ok = DeviceIoControl(h, row.code, &request, sizeof request, &request, sizeof request, &n, nullptr);
        const auto trace = accesses();
        if (row.allowed) {
            EXPECT_TRUE(ok);
            ASSERT_EQ(trace.size(), 1u);
            EXPECT_EQ(trace[0].port, base + row.offset);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), kInvalidParameter);
            EXPECT_TRUE(trace.empty()) << "first access: " << qorsim::describe(trace[0]);
        }
    }
    EXPECT_TRUE(CloseHandle(h));
}

// A synchronous start pends until the card's transfer ends. Either the card ends it (the
// DPC completes the request, after taking its cancel routine back), or the program closes
// its handle first: the cleanup cancels the request and stops the chip.
TEST_F(SampleDriverRules, APendingSynchronousStartEndsByTheCardOrByTheProgramsClose)
{
    for (bool cardRuns : {true, false}) {
        SCOPED_TRACE(cardRuns ? "the card ends the transfer" : "the program closes its handle");
        qorsim::InProcess in(*program);
        HANDLE h = Open("\\\\.\\AcqA0");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        QorDbx *dbx = Extension(u"\\DosDevices\\AcqA0")->Buffers[0];
        std::atomic<int> ok{-1};
        std::atomic<DWORD> error{0};
        std::thread caller([&] {
            qorsim::InProcess in(*program);
            QorContRequest start{};
            start.SampleCount = 64;
            start.ListCount = 1;
            start.SyncMode = 1;
            DWORD n = 0;
            const int result = DeviceIoControl(h, ACQ_IOCTL_START(0), &start, sizeof start, &start, 2, &n, nullptr);
            error = GetLastError();
            ok = result;
        });
        // The request is pending once the library holds it and the driver has started the
        // chip (the start follows the library's step, so wait for both).
        auto *card = board->acquisition_cards()[0];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((__atomic_load_n(&dbx->PendingIrp, __ATOMIC_ACQUIRE) == nullptr || !card->transfer_pending())
               && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(card->transfer_pending());
        if (cardRuns) {
            ASSERT_TRUE(card->run_transfer());
            caller.join();
            EXPECT_EQ(ok, 1);
            EXPECT_TRUE(CloseHandle(h));
        } else {
            EXPECT_TRUE(CloseHandle(h));
            caller.join();
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(error, kOperationAborted);
            EXPECT_FALSE(card->chip.transfer_enabled(qorsim::models::S5933::Direction::Input))
                << "the chip was left running";
        }
        sim().dpcs.drain();
    }
}

// A program that still holds a card's handle when the drivers unload (the devices are
// deleted) only loses the handle at its exit: no request reaches the deleted device.
TEST_F(SampleDriverRules, AHandleOutlivingTheUnloadIsClosedWithoutRequests)
{
    {
        qorsim::InProcess in(*program);
        ASSERT_NE(Open("\\\\.\\AcqA0"), INVALID_HANDLE_VALUE);
    }
    sim().dpcs.drain();
    driver.reset();
    library.reset();
    sim().processes.end(*program);
    program = &sim().processes.create("program");
    EXPECT_EQ(qorsim::user_handle_count(), 0u);
}

} // namespace
