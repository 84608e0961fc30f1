// The simulator's own guarantees that library tests lean on: pool accounting and fault
// injection, the port space and its trace, spin-lock IRQL rules.
#include <gtest/gtest.h>

#include <thread>

#include "support/sim_fixture.h"
#include "qorpelk.h"

namespace {

class SimPool : public SimTest {};

TEST_F(SimPool, FaultInjectionFailsTheChosenAllocations)
{
    struct {
        const char *name;
        uint64_t nth, from;
        std::vector<bool> expected; // success of five allocations in a row
    } cases[] = {
        {"none", 0, 0, {true, true, true, true, true}},
        {"second only", 2, 0, {true, false, true, true, true}},
        {"from the fourth", 0, 4, {true, true, true, false, false}},
        {"first and from the third", 1, 3, {false, true, false, false, false}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim().pool.fail_nth(c.nth);
        sim().pool.fail_from(c.from);
        std::vector<void *> blocks;
        for (bool ok : c.expected) {
            void *p = ExAllocatePoolWithTag(NonPagedPool, 16, QOR_POOL_TAG);
            EXPECT_EQ(p != nullptr, ok);
            if (p)
                blocks.push_back(p);
        }
        for (void *p : blocks)
            ExFreePool(p);
        sim().pool.clear_faults();
    }
}

TEST_F(SimPool, LeaksAndBadFreesAreReported)
{
    void *p = ExAllocatePoolWithTag(NonPagedPool, 33, QOR_POOL_TAG);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(sim().pool.leak_report().find("33 bytes, tag 'Ddk '"), std::string::npos);
    ExFreePool(p);
    EXPECT_EQ(sim().pool.leak_report(), "");
    int local;
    ExFreePool(&local);
    ASSERT_EQ(sim().verifier.violations().size(), 1u);
    sim().verifier.reset();
}

class SimPorts : public SimTest {};

TEST_F(SimPorts, ClaimsDoNotOverlapAndUnclaimedPortsFloatHigh)
{
    qorsim::RegisterFile a(0x10), b(0x10);
    EXPECT_TRUE(sim().ports.claim(0x300, 0x10, &a, "a"));
    EXPECT_FALSE(sim().ports.claim(0x30F, 0x10, &b, "b"));
    EXPECT_TRUE(sim().ports.claim(0x310, 0x10, &b, "b"));
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(0x30C), 0x11223344);
    EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0x30E)), 0x1122);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x400)), 0xFF);
    EXPECT_EQ(sim().ports.owner(0x31F), "b");
    const auto t = accesses();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], Out(4, 0x30C, 0x11223344));
    EXPECT_EQ(t[2], In(1, 0x400, 0xFF));
    EXPECT_EQ(t[2].seq, 2u);
    EXPECT_LT(t[0].time_ns, t[1].time_ns);
    sim().ports.release(&a);
    sim().ports.release(&b);
}

class SimSpinLock : public SimTest {};

TEST_F(SimSpinLock, RaisesToDispatchAndExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    bool otherGotIt = false;
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
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SimSpinLock, VerifierCatchesMisuse)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KfAcquireSpinLock(&lock);
    KfAcquireSpinLock(&lock); // recursive: a deadlock on NT
    KfReleaseSpinLock(&lock, old);
    KfReleaseSpinLock(&lock, old); // not held any more
    EXPECT_EQ(sim().verifier.violations().size(), 3u); // the second release also runs at PASSIVE
    sim().verifier.reset();
}

} // namespace
