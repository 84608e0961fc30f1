// Open, close and description of a card's device, as user programs in different processes
// see them: the card's named events opened, closed and dropped by different programs and
// by the system, and nothing left by a failed open.

#include "support/card_fixture.h"
#include "dbx.h"
#include "views.h"
#include "models/s5933.h"

namespace {

constexpr uint32_t kChip = 0xE000;

class Device : public CardTest {
protected:
    qorsim::models::S5933 chip;
    DEVICE_OBJECT device{};
    PUNICODE_STRING baseName = nullptr;
    qorsim::Process *first = nullptr, *second = nullptr;

    void SetUp() override {
        CardTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kChip, chip.length(), &chip, "s5933"));
        device.DeviceExtension = &ext;
        ext.DeviceObject = &device;
        ext.PortBase[0] = kChip;
        ext.PortCount = 1;
        ext.CardIndex = 3;
        ext.BusNumber = 2;
        ext.SlotNumber = 0x1234A5;
        baseName = QorDupWcsToUcs(u"Acq");
        block.BaseName = baseName;
        block.BufferParam[1] = 77;
        first = &sim().processes.create("first");
        second = &sim().processes.create("second");
        // The template: analog input (12-bit samples), analog output (1-bit samples), the
        // dual pair and the auxiliary event.
        AskForBuffer(QOR_KIND_ANALOG_INPUT, 12, 8);
        AskForBuffer(QOR_KIND_ANALOG_OUTPUT, 1, 8);
        desp.HasDualInt = 1;
        desp.HasAuxEvent = 1;
        std::memcpy(desp.EventName6, "template6", 10);
        std::memcpy(desp.Buffers[2].EventName, "keep", 5);
        desp.ClientArea1[0] = 0x42;
        desp.ClientArea2[79] = 0x99;
        SetSizeKb(u"AI", 8);
        SetSizeKb(u"AO", 4);
        ASSERT_TRUE(QorSetupBuffer(&find));
    }
    void TearDown() override {
        qor::ForgetViews(&ext); // as the drop of the device does
        for (QorDbx *&dbx : ext.Buffers) {
            QorDropDbx(dbx);
            dbx = nullptr;
        }
        QorDropDsen(ext.DualIntEvents);
        QorDropDsen(ext.AuxEvent);
        QorDeleteUcs(baseName);
        sim().ports.release(&chip);
        sim().processes.end(*first);
        sim().processes.end(*second);
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.leak_report(), "");
        EXPECT_EQ(sim().events.count(), 0u);
        CardTest::TearDown();
    }

    BOOLEAN OpenIn(qorsim::Process &p) {
        qorsim::InProcess in(p);
        return QorOpenDevice(&device);
    }
    void CloseIn(qorsim::Process &p) {
        qorsim::InProcess in(p);
        Close(&device);
    }
    // Ends a program without closing what it opened, as after a crash.
    void End(qorsim::Process *&p) {
        sim().processes.end(*p);
        p = &sim().processes.create("next");
    }
    qorsim::FileRequestResult Close(PDEVICE_OBJECT d) {
        qorsim::IoctlRequest irp(0, nullptr, 0, 0);
        EXPECT_EQ(QorCloseDevice(d, irp.irp()), STATUS_SUCCESS);
        qorsim::FileRequestResult r;
        r.status = irp.status();
        r.information = irp.information();
        r.completions = irp.completions();
        return r;
    }
    QorDesp DescribeIn(qorsim::Process &p, BOOLEAN expected = TRUE) {
        qorsim::InProcess in(p);
        QorDesp out;
        std::memset(&out, 0xEE, sizeof out);
        EXPECT_EQ(QorIocGetDesp(&ext, &out), expected);
        return out;
    }
};

TEST_F(Device, FirstOpenResetsMapsAndCreatesClearedEvents) {
    // A previous open's dual-interrupt settings do not survive into this one.
    QorDsen *pair = ext.DualIntEvents;
    pair->Int1Param = 0x11;
    pair->Int2Param = 0x22;
    pair->Int1Enabled = pair->Int2Enabled = 1;
    ext.Buffers[1]->TransferBytes = 77; // and the counts of a transfer of the previous open
    ext.Buffers[1]->DoneBytes = 55;
    ASSERT_TRUE(OpenIn(*first));
    EXPECT_EQ(pair->Int1Param | pair->Int1Enabled | pair->Int2Param | pair->Int2Enabled, 0);
    EXPECT_EQ(+ext.Buffers[1]->TransferBytes, 0u);
    EXPECT_EQ(+ext.Buffers[1]->DoneBytes, 0u);
    EXPECT_EQ(chip.stored(qorsim::models::S5933::kMwtc), 0x100u) << "the chip was cleared";
    EXPECT_EQ(ext.Opened, 1);
    EXPECT_EQ(+ext.ExtraOpens, 0u);
    QorDbx *ai = ext.Buffers[0], *ao = ext.Buffers[1];
    EXPECT_TRUE(first->contains(ai->UserAddress0, ai->Size));
    EXPECT_TRUE(first->contains(ao->UserAddress0, ao->Size));
    EXPECT_EQ(+ai->SampleBytes, 2u) << "12-bit samples take two bytes";
    EXPECT_EQ(+ao->SampleBytes, 1u) << "a 1-bit sample takes a byte";
    EXPECT_EQ(+ai->Flags, DbxDespFlag1) << "bit 1 of the template entry";
    EXPECT_EQ(+ao->Flags, DbxDespFlag1 | DbxOutput);
    EXPECT_EQ(+ao->Param, 77u);
    for (const char16_t *name : {u"\\BaseNamedObjects\\Acq30", u"\\BaseNamedObjects\\Acq31",
                                 u"\\BaseNamedObjects\\Acq34", u"\\BaseNamedObjects\\Acq35",
                                 u"\\BaseNamedObjects\\Acq36"}) {
        PKEVENT e = sim().events.find(name);
        ASSERT_NE(e, nullptr);
        EXPECT_FALSE(qorsim::event_signalled(e));
    }
}

TEST_F(Device, LaterOpensAreCountedAndOnlyTheLastCloseResets) {
    ASSERT_TRUE(OpenIn(*first));
    ASSERT_TRUE(OpenIn(*second));
    ASSERT_TRUE(OpenIn(*second));
    EXPECT_EQ(+ext.ExtraOpens, 2u);
    // A later opener's description holds views made in its own process for the query.
    const QorDesp later = DescribeIn(*second);
    const QorDbx *ai = ext.Buffers[0];
    EXPECT_NE(+later.Buffers[0].UserAddress0, ai->UserAddress0);
    EXPECT_TRUE(second->contains(later.Buffers[0].UserAddress0, ai->Size));
    EXPECT_EQ(later.Buffers[0].UserAddress1 - later.Buffers[0].UserAddress0, 4096u) << "the upper half of 8 KB";
    sim().ports.clear_trace();
    for (int i = 0; i < 2; ++i) {
        const auto r = Close(&device);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.completions, 1);
    }
    EXPECT_TRUE(accesses().empty()) << "closes beyond the last do not touch the card";
    EXPECT_EQ(ext.Opened, 1);
    Close(&device);
    EXPECT_EQ(accesses().size(), 4u) << "the last close clears the S5933";
    EXPECT_EQ(ext.Opened, 0);
    EXPECT_EQ(sim().events.count(), 0u);
    EXPECT_EQ(+ext.Buffers[0]->UserAddress0, 0u);
    EXPECT_EQ(+ext.Buffers[0]->UserAddress1, 0u);
}

TEST_F(Device, CloseWithoutAUsableDeviceStillCompletesTheRequest) {
    DEVICE_OBJECT bare{};
    for (PDEVICE_OBJECT d : {static_cast<PDEVICE_OBJECT>(nullptr), &bare}) {
        const auto r = Close(d);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.completions, 1);
    }
    EXPECT_FALSE(QorOpenDevice(nullptr));
    EXPECT_FALSE(QorOpenDevice(&bare));
}

TEST_F(Device, DescriptionCarriesNamesAddressesAndTheTemplatesBytes) {
    ASSERT_TRUE(OpenIn(*first));
    const QorDesp d = DescribeIn(*first);
    EXPECT_EQ(+d.Status, QorOk);
    EXPECT_EQ(+d.BusNumber, 2u);
    EXPECT_EQ(+d.SlotNumber, 0x34A5u);
    EXPECT_EQ(+d.OpenCount, 0u);
    EXPECT_EQ(d.ClientArea1[0], 0x42);
    EXPECT_EQ(d.ClientArea2[79], 0x99);
    EXPECT_STREQ(d.Buffers[0].EventName, "Acq30");
    EXPECT_STREQ(d.Buffers[1].EventName, "Acq31");
    EXPECT_STREQ(d.EventName4, "Acq34");
    EXPECT_STREQ(d.EventName6, "Acq36");
    EXPECT_EQ(d.HasAuxEvent, 1);
    EXPECT_STREQ(d.EventName5, "Acq35");
    EXPECT_EQ(+d.Buffers[0].BufferSize, 8192u);
    EXPECT_EQ(+d.Buffers[0].UserAddress0, ext.Buffers[0]->UserAddress0);
    EXPECT_EQ(+d.Buffers[0].UserAddress1, ext.Buffers[0]->UserAddress1);
    EXPECT_EQ(+d.Buffers[0].ListLimit, 8u);
    // A kind without buffer object: zero size and addresses, an empty name whose other
    // bytes are the template's.
    EXPECT_EQ(+d.Buffers[2].BufferSize, 0u);
    EXPECT_EQ(+d.Buffers[2].UserAddress0, 0u);
    EXPECT_EQ(d.Buffers[2].EventName[0], 0);
    EXPECT_EQ(d.Buffers[2].EventName[1], 'e');
}

TEST_F(Device, WithoutTheEventPairsTheDescriptionSaysSo) {
    QorDropDsen(ext.DualIntEvents);
    QorDropDsen(ext.AuxEvent);
    ext.DualIntEvents = ext.AuxEvent = nullptr;
    std::memcpy(desp.EventName4, "template4", 10);
    std::memcpy(desp.EventName5, "template5", 10);
    ASSERT_TRUE(OpenIn(*first));
    const QorDesp d = DescribeIn(*first);
    EXPECT_EQ(d.HasDualInt, 0);
    EXPECT_EQ(d.HasAuxEvent, 0);
    EXPECT_EQ(d.EventName4[0], 0);
    EXPECT_EQ(d.EventName5[0], 0);
    EXPECT_STREQ(d.EventName6, "template6") << "left as the template had it";
}

// A failing step of the first open undoes the steps before it: no handle, event or view
// is left for the program's end or the device's drop, and the next open starts afresh.
TEST_F(Device, AFailedFirstOpenLeavesNothingAndTheDeviceClosedForTheNextTry) {
    // The second buffer's view, the second buffer's event, the dual pair's first and
    // second events, the auxiliary event.
    const std::pair<qorsim::Fault, uint64_t> faults[] = {
        {qorsim::Fault::MapView, 2},     {qorsim::Fault::CreateEvent, 2}, {qorsim::Fault::CreateEvent, 3},
        {qorsim::Fault::CreateEvent, 4}, {qorsim::Fault::CreateEvent, 5}};
    for (auto [fault, nth] : faults) {
        SCOPED_TRACE(nth);
        sim().faults.fail_nth(fault, nth);
        EXPECT_FALSE(OpenIn(*first));
        sim().faults.clear();
        EXPECT_EQ(ext.Opened, 0);
        EXPECT_EQ(sim().handles.open_count(), 0u);
        EXPECT_EQ(sim().events.count(), 0u);
        EXPECT_TRUE(first->views().empty());
        EXPECT_EQ(ext.DualIntEvents->EventHandle0, nullptr);
    }
    ASSERT_TRUE(OpenIn(*second));
    EXPECT_EQ(ext.Opened, 1);
    CloseIn(*second);
}

// The events belong to the system, not to the program that opened first: they outlive its
// close and its end, and the last close may come from another program.
TEST_F(Device, EventsOutliveTheFirstOpenerAndTheLastCloseComesFromAnother) {
    for (bool firstCloses : {true, false}) {
        SCOPED_TRACE(firstCloses ? "first opener closes, then ends" : "first opener ends without a close");
        ASSERT_TRUE(OpenIn(*first));
        ASSERT_TRUE(OpenIn(*second));
        EXPECT_EQ(sim().handles.open_count(first), 0u) << "no event handle in the opener's table";
        if (firstCloses)
            CloseIn(*first);
        End(first);
        PKEVENT ai = sim().events.find(u"\\BaseNamedObjects\\Acq30");
        ASSERT_NE(ai, nullptr) << "the event died with the first opener while the device is open";
        EXPECT_EQ(ai, ext.Buffers[0]->Event);
        if (!firstCloses)
            CloseIn(*second); // the open count still holds the first opener's open
        CloseIn(*second);
        EXPECT_EQ(ext.Opened, 0);
        EXPECT_EQ(sim().handles.open_count(), 0u);
        EXPECT_EQ(sim().events.count(), 0u);
    }
}

TEST_F(Device, DescriptionFailsCleanlyWhenNoNameCanBeBuilt) {
    ASSERT_TRUE(OpenIn(*first));
    sim().pool.fail_nth(1);
    const QorDesp d = DescribeIn(*first, FALSE);
    EXPECT_EQ(+d.Status, QorErrDescription);
}

} // namespace
