// The sample program against a free-running card in virtual time: the default machine's
// first S5933 card samples at 1 MS/s into halves of 16,384 samples (16.384 ms each), the
// card runner moves time on only when the program is blocked, and the program spends a
// given number of simulated milliseconds on each half. What it reports follows from the
// double-buffer protocol alone, whatever the host does meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/sample_machine_fixture.h"
#include "acqapp.h"
#include "default_machine.h"
#include "control_device.h"

namespace {

constexpr unsigned long kSamplesPerHalf = 16384; // 64 KB of 16-bit samples, two halves

class FreeRunningCard : public SampleMachineTest {
protected:
    QorDbx *InputBuffer()
    {
        PDEVICE_OBJECT d = sim().objects.resolve(u"\\DosDevices\\AcqA0");
        return d ? static_cast<QorDevExt *>(d->DeviceExtension)->Buffers[0] : nullptr;
    }

    // Runs the sample program in its own process against the running card.
    AcqAppReport Acquire(unsigned long halves, DWORD workMs, DWORD waitMs = 5000, int *ok = nullptr)
    {
        qorsim::Process &app = sim().processes.create("acqapp");
        AcqAppReport report{};
        int done = 0;
        {
            qorsim::CardRunner cards(board->acquisition_cards());
            AcqAppOptions options{"\\\\.\\AcqA0", halves, waitMs, workMs, nullptr, nullptr};
            qorsim::UserThread program([&] {
                qorsim::InProcess in(app);
                done = AcqAppRun(&options, &report);
            });
            program.join();
        }
        sim().processes.end(app);
        if (ok != nullptr)
            *ok = done;
        else
            EXPECT_TRUE(done) << report.failedStep;
        return report;
    }
};

// Half k is done at (k + 1) x 16.384 ms. A program busy for w ms after reading a half
// misses every pulse in that time. Between one and two halves' time it comes back while
// the card fills the half after the one it wants: that half is not ready, it waits for the
// next pulse and reads it, two halves after the one it missed. Between two and three
// halves' time its half is ready again at the first pulse, but two halves are gone.
TEST_F(FreeRunningCard, AReaderSlowerThanTheCardReportsEveryOverrunWithItsCounts)
{
    constexpr unsigned long kRead = 12;
    struct Case { DWORD workMs; unsigned long overruns, halvesLost, notReady; } cases[] = {
        {0, 0, 0, 0},
        {16, 0, 0, 0},                              // just inside a half's 16.384 ms
        {17, kRead - 1, 2 * (kRead - 1), kRead - 1}, // just outside
        {40, kRead - 1, 2 * (kRead - 1), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("work per half " + std::to_string(c.workMs) + " ms");
        const AcqAppReport r = Acquire(kRead, c.workMs);
        EXPECT_EQ(r.halvesRead, kRead);
        EXPECT_EQ(r.samplesRead, kRead * kSamplesPerHalf);
        EXPECT_EQ(r.overruns, c.overruns);
        EXPECT_EQ(r.halvesLost, c.halvesLost);
        EXPECT_EQ(r.samplesLost, c.halvesLost * kSamplesPerHalf);
        EXPECT_EQ(r.halvesNotReady, c.notReady);
        EXPECT_EQ(r.sequenceErrors, 0u);
        char text[256];
        EXPECT_EQ(std::strstr(AcqAppSummary(&r, text, sizeof text), "OVERRUN") != nullptr, c.overruns != 0) << text;
    }
}

TEST_F(FreeRunningCard, TheSameScenarioGivesTheSameReportUnderHostLoad)
{
    const AcqAppReport quiet = Acquire(40, 17);
    std::atomic<bool> stop{false};
    std::thread hog([&] { // competes with the card, DPC and program threads for the host
        volatile uint32_t x = 0;
        while (!stop)
            x = x * 1664525u + 1013904223u;
    });
    const AcqAppReport loaded = Acquire(40, 17);
    stop = true;
    hog.join();
    EXPECT_EQ(loaded.halvesRead, quiet.halvesRead);
    EXPECT_EQ(loaded.samplesRead, quiet.samplesRead);
    EXPECT_EQ(loaded.samplesLost, quiet.samplesLost);
    EXPECT_EQ(loaded.halvesLost, quiet.halvesLost);
    EXPECT_EQ(loaded.overruns, quiet.overruns);
    EXPECT_EQ(loaded.halvesNotReady, quiet.halvesNotReady);
    EXPECT_EQ(loaded.progressPolls, quiet.progressPolls);
    EXPECT_EQ(+loaded.stop.SampleCount, +quiet.stop.SampleCount);
}

TEST_F(FreeRunningCard, AWaitShorterThanAHalfTimesOutInSimulatedTime)
{
    int ok = 1;
    const AcqAppReport r = Acquire(4, 0, 16, &ok); // 16 ms < 16.384 ms: the first half is late
    EXPECT_FALSE(ok);
    ASSERT_NE(r.failedStep, nullptr);
    EXPECT_STREQ(r.failedStep, "wait for a half");
    EXPECT_EQ(r.halvesRead, 0u);
}

// A sample the card got wrong in the fourth half (the upper one, its second pass): the
// program's check must find it wherever it lies and resume the sequence after it (the bad
// sample and the next one are both out of order). The check compares passes of 64 samples
// as four vectors of sixteen (natively, with AVX2) or passes of 16 as eight 32-bit words
// (under qemu, without): sample j of the first eight lies in vector j % 4 and word j of
// its pass, in the word's low or high half by turns; then the half's second-last sample.
TEST_F(FreeRunningCard, ASampleOutOfSequenceIsFoundInEitherHalfOfAWord)
{
    std::vector<unsigned long> indices;
    for (unsigned long j = 0; j < 8; ++j)
        indices.push_back(320 * (j + 1) + 16 * (j % 4) + 2 * j + j % 2);
    indices.push_back(kSamplesPerHalf - 2);
    for (unsigned long index : indices) {
        SCOPED_TRACE("sample " + std::to_string(index));
        qorsim::models::AcquisitionCard *card = board->acquisition_cards().front();
        std::function<void()> line = card->interrupt;
        int transfers = 0;
        card->interrupt = [&, line] {
            if (++transfers == 4)
                static_cast<uint16_t *>(InputBuffer()->Upper.KernelAddr)[index] ^= 0x5A5A;
            line();
        };
        const AcqAppReport r = Acquire(6, 0);
        card->interrupt = line;
        EXPECT_EQ(r.sequenceErrors, 2u);
        EXPECT_EQ(r.overruns, 0u);
        EXPECT_EQ(r.samplesLost, 0u);
    }
}

TEST(PortTrace, KeepsTheNewestAccessesInOrderWithinItsLimit)
{
    struct Case { size_t limit; uint32_t accesses; } cases[] = {{4, 3}, {4, 4}, {4, 10}, {1, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.accesses << " accesses, limit " << c.limit);
        qorsim::machine().reset();
        qorsim::machine().ports.set_trace_limit(c.limit);
        for (uint32_t i = 0; i < c.accesses; ++i)
            qorsim::machine().ports.write(0x300, 1, i);
        const auto trace = qorsim::machine().ports.trace();
        const size_t kept = std::min<size_t>(c.limit, c.accesses);
        ASSERT_EQ(trace.size(), kept);
        for (size_t i = 0; i < kept; ++i) {
            EXPECT_EQ(trace[i].value, c.accesses - kept + i);
            EXPECT_EQ(trace[i].seq, c.accesses - kept + i);
        }
        EXPECT_EQ(qorsim::machine().ports.access_count(), c.accesses);
    }
    qorsim::machine().reset();
    EXPECT_EQ(qorsim::machine().ports.trace_limit(), qorsim::PortSpace::kDefaultTraceLimit);
}

} // namespace
