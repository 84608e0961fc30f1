// The bridge chip's reset needs its register base, not the client's port bases: a client
// that asks for none still gets its chip put idle, and a card with no translated I/O
// range is never reset at ports that belong to the system board.
#include <gtest/gtest.h>

#include "support/enum_fixture.h"

namespace {

class ResetPortCount : public EnumTest {
protected:
    Client acq{u"acqdrv", u"AcqDev", u"ACQ", QOR_CONTROLLER_S5933, kVendor, kS5933Card};

    void SetUp() override
    {
        EnumTest::SetUp();
        AddS5933(0, 3, 0, 0xD000, 11);
    }
    void TearDown() override
    {
        acq.Unload();
        EnumTest::TearDown();
    }
    // Ports written since the trace was cleared.
    std::vector<uint32_t> Written() const
    {
        std::vector<uint32_t> out;
        for (const auto &a : accesses())
            if (a.write)
                out.push_back(a.port);
        return out;
    }
};

TEST_F(ResetPortCount, NoPortBasesAskedStillResetsTheChip)
{
    acq.rec.PortCount = 0;
    ASSERT_TRUE(QorFindDeviceBegin(&acq.rec));
    const auto cards = acq.EnumerateAll();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(+cards[0]->PortCount, 0);
    EXPECT_EQ(+cards[0]->PortBase[0], 0xD000u) << "the chip's registers, for the reset";
    for (bool opening : {true, false}) {
        SCOPED_TRACE(opening ? "first open" : "last close");
        sim().ports.clear_trace();
        if (opening) {
            ASSERT_TRUE(QorOpenDevice(cards[0]->DeviceObject));
        } else {
            qorsim::IoctlRequest close(0, nullptr, 0, 0);
            QorCloseDevice(cards[0]->DeviceObject, close.irp());
        }
        const auto written = Written();
        ASSERT_FALSE(written.empty()) << "the S5933 was left as it was";
        for (uint32_t port : written)
            EXPECT_EQ(port & ~0x3Fu, 0xD000u);
    }
}

TEST_F(ResetPortCount, CardWithoutTranslatedRangeIsNeverReset)
{
    ASSERT_TRUE(QorFindDeviceBegin(&acq.rec));
    ASSERT_TRUE(QorFindDeviceNext(&acq.rec));
    sim().faults.fail_nth(qorsim::Fault::TranslateBusAddress, 1);
    sim().ports.clear_trace();
    EXPECT_FALSE(QorEnumDevice(&acq.rec)); // the card is dropped at once
    EXPECT_TRUE(Written().empty()) << "ports near 0 belong to the system board";
    EXPECT_TRUE(Devices().empty());
}

} // namespace
