// The typical road through the sample client driver, exactly as user programs take it:
// Win32 calls from simulated processes, the default machine's cards, the library below.

#include <thread>

#include "support/sample_machine_fixture.h"
#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "control_device.h"
#include "default_machine.h"

namespace {

constexpr const char *kCard = "\\\\.\\AcqA0";

class SampleDriver : public SampleMachineTest {
protected:
    qorsim::Process *a = nullptr;

    void SetUp() override
    {
        SampleMachineTest::SetUp();
        a = &CreateProgram("a");
    }

    static HANDLE Open() { return SampleMachineTest::Open(kCard); }
    QorDevExt *Card0() {
        PDEVICE_OBJECT d = sim().objects.resolve(u"\\DosDevices\\AcqA0");
        return d ? static_cast<QorDevExt *>(d->DeviceExtension) : nullptr;
    }
};

TEST_F(SampleDriver, TheSampleProgramAcquiresEverySampleAndStops) {
    qorsim::CardRunner cards(board->acquisition_cards());
    AcqAppOptions options{kCard, 300, 10000};
    AcqAppReport report;
    int ok = 0;
    qorsim::UserThread program([&] {
        qorsim::InProcess in(*a);
        ok = AcqAppRun(&options, &report);
    });
    program.join();
    ASSERT_TRUE(ok) << report.failedStep;
    EXPECT_EQ(report.halvesRead, 300u);
    EXPECT_EQ(report.samplesRead, 300ull * report.samplesPerHalf);
    EXPECT_EQ(report.samplesLost, 0u);
    EXPECT_EQ(report.sequenceErrors, 0u);
    EXPECT_EQ(report.samplesPerHalf, 16384u) << "64 KB from the registry, halves of 16-bit samples";
    EXPECT_STREQ(report.desp.Buffers[0].EventName, "AcqA00");
    EXPECT_EQ(report.stop.Stopped, 1);
    EXPECT_EQ(report.progressPolls, 4u) << "a progress query every 64 halves";
    EXPECT_EQ(Card0()->Opened, 0) << "the program closed the card";
}

// On a PLX 9080 card the program reads blocks straight into memory of its own; the
// card's sequence runs on across the blocks.
TEST_F(SampleDriver, TheSampleProgramReadsBlocksOfAPlx9080IntoItsOwnMemory) {
    AcqAppOptions options{"\\\\.\\AcqC0", 20, 10000};
    AcqAppReport report;
    qorsim::InProcess in(*a);
    ASSERT_TRUE(AcqAppScatterRun(&options, &report)) << report.failedStep << " " << report.lastError;
    EXPECT_EQ(report.halvesRead, 20u);
    EXPECT_EQ(report.samplesRead, 20ull * 8192);
    EXPECT_EQ(report.samplesLost + report.sequenceErrors, 0u);
    EXPECT_EQ(sim().mdls.live(), 0u);
}

TEST_F(SampleDriver, RefusedRequestsReachTheProgramAsWin32Errors) {
    qorsim::InProcess in(*a);
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QorDesp d{};
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &d, sizeof d - 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_FALSE(DeviceIoControl(h, QOR_IOCTL_CODE(0x800), nullptr, 0, &d, 2, &n, nullptr));
    // A start the library refuses completes with success; its record carries the reason.
    QorContRequest start{};
    start.SampleCount = 1u << 20; // more than the buffer holds
    start.ListCount = 1;
    EXPECT_TRUE(DeviceIoControl(h, ACQ_IOCTL_START(0), &start, sizeof start, &start, 2, &n, nullptr));
    EXPECT_EQ(start.Status, QorErrBufferTooSmall);
    EXPECT_TRUE(CloseHandle(h));
}

} // namespace
