// The 9050 card's add-on FIFO as the driver and the program meet it through ports: filled
// at the pacer's rate in virtual time, LINTi1 at the level and LINTi2 on overflow shown in
// the bridge's INTCSR, the PCI interrupt raised when its level turns asserted.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "models/plx9050.h"
#include "virtual_time.h"

namespace {

using qorsim::models::Plx9050;
using qorsim::models::Plx9050Fifo;

constexpr uint32_t kBridge = 0xD000, kLocal = 0xD100;
constexpr uint64_t kMs = 1000000;
constexpr uint32_t kAll = Plx9050::kPciIntEnable | Plx9050::kLint1Enable | Plx9050::kLint1ActiveHigh
                          | Plx9050::kLint2Enable | Plx9050::kLint2ActiveHigh;
constexpr uint32_t kStatus = Plx9050::kLint1Status | Plx9050::kLint2Status;

// A FIFO of 8 samples with its level at 4, filled at 1000 samples/s: a sample a millisecond.
class Plx9050FifoTest : public SimTest {
protected:
    Plx9050 bridge;
    Plx9050Fifo fifo{bridge, 0x20, 8, 4, 1000};
    unsigned calls = 0;
    bool masks = true; // the routine masks the inputs it finds active, as a driver's does

    void SetUp() override
    {
        SimTest::SetUp();
        qorsim::virtual_time().reset();
        ASSERT_TRUE(sim().ports.claim(kBridge, bridge.length(), &bridge, "plx9050"));
        ASSERT_TRUE(sim().ports.claim(kLocal, fifo.length(), &fifo, "fifo"));
        bridge.interrupt = [this] {
            ++calls;
            const uint32_t intcsr = Read(1, kBridge + Plx9050::kIntcsr);
            if (masks)
                Write(1, kBridge + Plx9050::kIntcsr, intcsr & ~((intcsr & kStatus) >> 2));
        };
    }
    void TearDown() override
    {
        sim().ports.release(&fifo);
        sim().ports.release(&bridge);
        qorsim::virtual_time().reset();
        SimTest::TearDown();
    }
    uint32_t Read(unsigned width, uint32_t port) { return sim().ports.read(port, width); }
    void Write(unsigned width, uint32_t port, uint32_t value) { sim().ports.write(port, width, value); }
    // Moves time to `ms` the way the card runner does: to each thing due on the way.
    void RunTo(uint64_t ms)
    {
        for (uint64_t due = fifo.next_due_ns(); due <= ms * kMs; due = fifo.next_due_ns()) {
            qorsim::virtual_time().advance_to(due);
            fifo.run_due();
        }
        qorsim::virtual_time().advance_to(ms * kMs);
    }
    uint32_t Status() { return Read(1, kBridge + Plx9050::kIntcsr) & kStatus; }
    uint32_t Fill() { return Read(2, kLocal + Plx9050Fifo::kFill); }
};

// What the program and the driver see as time passes, with nobody reading: the level at
// 4 samples, the overflow at the 9th, the dropped samples counted from then on.
TEST_F(Plx9050FifoTest, ThePacerFillsTheFifoAndTheInputsFollowItsLevelAndOverflow)
{
    struct Row { uint64_t ms; uint32_t fill, status, csr, lost; unsigned calls; };
    const Row rows[] = {
        {0, 0, 0, Plx9050Fifo::kCsrRun | Plx9050Fifo::kCsrEmpty, 0, 0},
        {3, 3, 0, Plx9050Fifo::kCsrRun, 0, 0},
        {4, 4, Plx9050::kLint1Status, Plx9050Fifo::kCsrRun | Plx9050Fifo::kCsrAtLevel, 0, 1},
        {8, 8, Plx9050::kLint1Status, Plx9050Fifo::kCsrRun | Plx9050Fifo::kCsrAtLevel, 0, 1},
        {9, 8, kStatus, Plx9050Fifo::kCsrRun | Plx9050Fifo::kCsrAtLevel | Plx9050Fifo::kCsrOverflow, 1, 2},
        {12, 8, kStatus, Plx9050Fifo::kCsrRun | Plx9050Fifo::kCsrAtLevel | Plx9050Fifo::kCsrOverflow, 4, 2},
    };
    Write(1, kBridge + Plx9050::kIntcsr, kAll);
    Write(2, kLocal + Plx9050Fifo::kCsr, Plx9050Fifo::kCsrRun);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ms);
        RunTo(row.ms);
        EXPECT_EQ(Fill(), row.fill);
        EXPECT_EQ(Status(), row.status);
        EXPECT_EQ(Read(2, kLocal + Plx9050Fifo::kCsr), row.csr);
        EXPECT_EQ(Read(4, kLocal + Plx9050Fifo::kLost), row.lost);
        EXPECT_EQ(calls, row.calls);
    }
    EXPECT_EQ(Read(4, kLocal + Plx9050Fifo::kDepth), 8u);
    EXPECT_EQ(Read(2, kLocal + Plx9050Fifo::kFill + 2), 4u) << "the level";
    EXPECT_EQ(bridge.left_asserted(), 0u);
}

// Reading drains the oldest samples first (a 32-bit read takes two); reading below the
// level drops LINTi1; an empty FIFO reads 0xFFFF; clearing the overflow drops LINTi2 and
// LOST, and the samples after the dropped ones follow.
TEST_F(Plx9050FifoTest, ReadingAndClearingDropTheInputs)
{
    Write(1, kBridge + Plx9050::kIntcsr, kAll);
    Write(2, kLocal + Plx9050Fifo::kCsr, Plx9050Fifo::kCsrRun);
    RunTo(10); // samples 0-7 kept, 8 and 9 dropped
    ASSERT_EQ(Status(), kStatus);
    EXPECT_EQ(Read(4, kLocal + Plx9050Fifo::kData), 0x00010000u);
    EXPECT_EQ(Read(2, kLocal + Plx9050Fifo::kData), 2u);
    EXPECT_EQ(Read(4, kLocal + Plx9050Fifo::kData), 0x00040003u);
    EXPECT_EQ(Fill(), 3u);
    EXPECT_EQ(Status(), Plx9050::kLint2Status) << "below the level; the overflow stays latched";
    Write(2, kLocal + Plx9050Fifo::kCsr, Plx9050Fifo::kCsrRun | Plx9050Fifo::kCsrOverflow);
    EXPECT_EQ(Status(), 0u);
    EXPECT_EQ(Read(4, kLocal + Plx9050Fifo::kLost), 0u);
    EXPECT_EQ(Read(4, kLocal + Plx9050Fifo::kData), 0x00060005u);
    EXPECT_EQ(Read(2, kLocal + Plx9050Fifo::kData), 7u);
    EXPECT_EQ(Read(2, kLocal + Plx9050Fifo::kData), 0xFFFFu) << "empty";
    EXPECT_EQ(fifo.underruns(), 1u);
    RunTo(11);
    EXPECT_EQ(Read(2, kLocal + Plx9050Fifo::kData), 10u) << "the sequence resumes after the dropped samples";
    Write(2, kLocal + Plx9050Fifo::kCsr, 0);
    EXPECT_EQ(fifo.next_due_ns(), qorsim::models::AcquisitionCard::kNotDue) << "a stopped pacer makes nothing";
}

// The PCI interrupt is the level of the enabled inputs: a masked input that is still
// active interrupts again the moment it is enabled; an input enabled while the PCI
// interrupt is off does not; a routine that leaves the level asserted is counted.
TEST_F(Plx9050FifoTest, EnablingAnActiveInputInterruptsAgain)
{
    struct Row { const char *name; uint32_t intcsr; bool masks; unsigned calls, left; };
    const Row rows[] = {
        {"the masked input enabled again", kAll, true, 1, 0},
        {"the PCI interrupt off", kAll & ~Plx9050::kPciIntEnable, true, 0, 0},
        {"the input stays disabled", kAll & ~Plx9050::kLint1Enable, true, 0, 0},
        {"a routine that does not mask", kAll, false, 1, 1},
    };
    Write(1, kBridge + Plx9050::kIntcsr, kAll & ~Plx9050::kLint2Enable);
    Write(2, kLocal + Plx9050Fifo::kCsr, Plx9050Fifo::kCsrRun);
    RunTo(4);
    ASSERT_EQ(calls, 1u);
    ASSERT_EQ(Read(1, kBridge + Plx9050::kIntcsr) & Plx9050::kLint1Enable, 0u) << "the routine masked it";
    Write(2, kLocal + Plx9050Fifo::kCsr, 0); // no more samples: only the writes below matter
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        masks = row.masks;
        calls = 0;
        const unsigned leftBefore = bridge.left_asserted();
        Write(1, kBridge + Plx9050::kIntcsr, row.intcsr & ~Plx9050::kLint2Enable);
        EXPECT_EQ(calls, row.calls);
        EXPECT_EQ(bridge.left_asserted() - leftBefore, row.left);
        Write(1, kBridge + Plx9050::kIntcsr, 0);
    }
}

} // namespace
