// Handles belong to processes: the kernel's rules, and the card's named events opened,
// closed and dropped by different programs and by the system.
#include <gtest/gtest.h>

#include "support/card_fixture.h"
#include "dbx.h"
#include "models/s5933.h"

namespace {

constexpr uint32_t kChip = 0xE000;

class HandleOwnership : public CardTest {
protected:
    qorsim::models::S5933 chip;
    DEVICE_OBJECT device{};
    PUNICODE_STRING baseName = nullptr;
    qorsim::Process *a = nullptr, *b = nullptr;

    void SetUp() override
    {
        CardTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kChip, chip.length(), &chip, "s5933"));
        device.DeviceExtension = &ext;
        ext.DeviceObject = &device;
        ext.PortBase[0] = kChip;
        ext.PortCount = 1;
        ext.CardIndex = 3;
        baseName = QorDupWcsToUcs(u"Acq");
        block.BaseName = baseName;
        a = &sim().processes.create("a");
        b = &sim().processes.create("b");
        AskForBuffer(QOR_KIND_ANALOG_INPUT, 16, 8);
        AskForBuffer(QOR_KIND_ANALOG_OUTPUT, 16, 8);
        desp.HasDualInt = 1;
        SetSizeKb(u"AI", 8);
        SetSizeKb(u"AO", 8);
        ASSERT_TRUE(QorSetupBuffer(&find));
    }
    void TearDown() override
    {
        // The drop runs in the system process, as the unload does.
        for (QorDbx *&dbx : ext.Buffers) {
            QorDropDbx(dbx);
            dbx = nullptr;
        }
        QorDropDsen(ext.DualIntEvents);
        QorDeleteUcs(baseName);
        sim().ports.release(&chip);
        if (a != nullptr)
            sim().processes.end(*a);
        if (b != nullptr)
            sim().processes.end(*b);
        EXPECT_EQ(sim().handles.leak_report(), "");
        EXPECT_EQ(sim().events.count(), 0u);
        CardTest::TearDown();
    }

    BOOLEAN OpenIn(qorsim::Process &p)
    {
        qorsim::InProcess in(p);
        return QorOpenDevice(&device);
    }
    void CloseIn(qorsim::Process &p)
    {
        qorsim::InProcess in(p);
        qorsim::IoctlRequest irp(0, nullptr, 0, 0);
        QorCloseDevice(&device, irp.irp());
    }
    void End(qorsim::Process *&p)
    {
        sim().processes.end(*p);
        p = nullptr;
    }
};

TEST_F(HandleOwnership, KernelHandleIsValidOnlyInItsProcess)
{
    HANDLE h = nullptr;
    {
        qorsim::InProcess in(*a);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\BaseNamedObjects\\Probe");
        ASSERT_NE(IoCreateNotificationEvent(&name, &h), nullptr);
    }
    {
        qorsim::InProcess in(*b);
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE);
        EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    }
    ASSERT_EQ(sim().verifier.violations().size(), 1u) << "closing another process's handle";
    EXPECT_NE(sim().verifier.violations()[0].find("of a handle of process"), std::string::npos);
    sim().verifier.reset();
    EXPECT_EQ(sim().handles.open_count(a), 1u) << "the owner's handle stays open";
    End(a); // the process's end closes it, and the event with it
    EXPECT_EQ(sim().handles.open_count(), 0u);
    EXPECT_EQ(sim().events.count(), 0u);
}

TEST_F(HandleOwnership, EventsOutliveTheFirstOpenerAndTheLastCloseComesFromAnother)
{
    ASSERT_TRUE(OpenIn(*a));
    ASSERT_TRUE(OpenIn(*b));
    EXPECT_EQ(sim().handles.open_count(a), 0u) << "no event handle in the opener's table";
    CloseIn(*a); // A's close, then A ends: B still has the device open
    End(a);
    PKEVENT ai = sim().events.find(u"\\BaseNamedObjects\\Acq30");
    ASSERT_NE(ai, nullptr) << "the event died with the first opener while the device is open";
    EXPECT_EQ(ai, ext.Buffers[0]->Event);
    CloseIn(*b); // the last close, from B
    EXPECT_EQ(sim().handles.open_count(), 0u);
    EXPECT_EQ(sim().events.count(), 0u);
}

TEST_F(HandleOwnership, FirstOpenerExitsWithoutClosingAndAnotherClosesLast)
{
    ASSERT_TRUE(OpenIn(*a));
    ASSERT_TRUE(OpenIn(*b));
    End(a); // as after a crash: no close of its own
    CloseIn(*b);
    CloseIn(*b); // the last close
    EXPECT_EQ(sim().handles.open_count(), 0u);
}

TEST_F(HandleOwnership, FailedFirstOpenLeavesNothingForTheExitOrTheDrop)
{
    // The second buffer's view fails: the first buffer's view and event exist by then.
    sim().faults.fail_nth(qorsim::Fault::MapView, 2);
    EXPECT_FALSE(OpenIn(*a));
    EXPECT_EQ(sim().handles.open_count(), 0u);
    EXPECT_EQ(sim().events.count(), 0u);
    EXPECT_TRUE(a->views().empty()) << "the view the failed open made stays in the program";
    EXPECT_EQ(ext.Opened, 0);
    End(a);
    // A retry from another program opens from scratch and closes cleanly.
    ASSERT_TRUE(OpenIn(*b));
    CloseIn(*b);
}

TEST_F(HandleOwnership, FailedSecondEventOfThePairIsUndoneToo)
{
    // Events 0 and 1 of the buffers, then 4 of the pair; 6 fails.
    sim().faults.fail_nth(qorsim::Fault::CreateEvent, 4);
    EXPECT_FALSE(OpenIn(*a));
    EXPECT_EQ(sim().handles.open_count(), 0u);
    EXPECT_EQ(sim().events.count(), 0u);
    EXPECT_EQ(ext.DualIntEvents->EventHandle0, nullptr);
}

} // namespace
