// Which chip each controller type clears, when, and that a card without ports is left alone.
// The reset needs the chip's register base, not the client's port bases: a client that asks
// for none still gets its chip put idle, and a card with no translated I/O range is never
// reset at ports that belong to the system board.

#include "support/enum_fixture.h"
#include "reset.h"

namespace {

class ControllerReset : public SimTest {};

TEST_F(ControllerReset, ClearsTheChipOfTheControllerType) {
    constexpr uint32_t kBase = 0xC000;
    OpenBus bus; // the trace alone is checked
    ASSERT_TRUE(sim().ports.claim(kBase, 0x100, &bus, "open bus"));
    // The clear's access count and first port; closing and dropping leave a 9050 alone, and
    // without a stored port base there is nothing to clear.
    struct { USHORT type, portCount; ULONG opening; size_t accesses; uint32_t firstPort; } cases[] = {
        {QOR_CONTROLLER_S5933, 1, 1, 4, kBase + 0x28},  {QOR_CONTROLLER_S5933, 1, 0, 4, kBase + 0x28},
        {QOR_CONTROLLER_PLX9050, 1, 1, 3, kBase + 0x4C}, {QOR_CONTROLLER_PLX9050, 1, 0, 0, 0},
        {QOR_CONTROLLER_PLX9080, 1, 0, 1 + 100 + 1 + 10, kBase + 0x6F}, {5, 1, 1, 0, 0},
        {QOR_CONTROLLER_S5933, 0, 1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << " ports " << c.portCount << " opening " << c.opening);
        sim().ports.clear_trace();
        QorDevExt ext{};
        ext.ControllerType = c.type;
        ext.PortCount = c.portCount;
        ext.PortBase[0] = c.portCount ? kBase : 0;
        QorControllerReset(&ext, c.opening);
        const auto trace = accesses();
        ASSERT_EQ(trace.size(), c.accesses);
        EXPECT_EQ(trace.empty() ? 0 : trace.front().port, c.firstPort);
    }
}

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
