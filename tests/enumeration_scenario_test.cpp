// Three client drivers enumerate a machine with cards of all three bridge chips on several
// buses and unload again; then the teardown's order. A drop that could not finish is in
// unload_retry_test.cpp.

#include "support/enum_fixture.h"

namespace {

constexpr USHORT kDioCard = 0x2B94; // a PLX 9050 family of two IDs: 0x2B94 and 0x2B93
constexpr USHORT kDmaCard = 0x0303; // a PLX 9080 card known by its subsystem IDs

class Enumeration : public EnumTest {
protected:
    // bus 0: a host bridge; an S5933 card; a multi-function device whose function 0 is an
    //        ISA bridge and whose function 1 is an S5933 card (never examined); a plain
    //        PLX 9080 under the DMA card's subsystem IDs
    // bus 1: missing
    // bus 2: an S5933 card at function 2 of a device without function 0, on the same line
    //        as the first; a 0x2B93 card whose window has bit 7 set; a 0x2B94 card
    // bus 3: missing
    // bus 4: an S5933 card with bus mastering already on; a foreign card
    void SetUp() override {
        EnumTest::SetUp();
        sim().pci.add_function(0, 0, 0, 0x8086, 0x1237);
        AddS5933(0, 3, 0, 0xD000, 11);
        sim().pci.add_function(0, 5, 0, 0x8086, 0x7000).poke(14, 1, 0x80);
        AddS5933(0, 5, 1, 0xD100, 11);
        AddPlx9080(0, 9, 0, 0xD400, 10, 0x10B5, 0x9080).poke(44, 4, uint32_t(kDmaCard) << 16 | kVendor);
        AddS5933(2, 0, 2, 0xE000, 11);
        AddPlx9050(2, 4, 0, 0xE880, 0xE900, 5, kVendor, 0x2B93);
        AddPlx9050(2, 6, 0, 0xEC00, 0xED00, 5, kVendor, 0x2B94);
        AddS5933(4, 1, 0, 0xF000, 7).poke(4, 2, 0x0007);
        sim().pci.add_function(4, 2, 0, 0x10EC, 0x8139);
    }

    // The S5933 client's template: an analog input buffer and both event pairs.
    struct AcqClient : Client {
        AcqClient() : Client(u"acqdrv", u"AcqDev", u"ACQ", QOR_CONTROLLER_S5933, kVendor, kS5933Card) {
            desp.Buffers[QOR_KIND_ANALOG_INPUT] = QorDespBuffer{0x0003, {}, 16, 64};
            desp.HasDualInt = 1;
            desp.HasAuxEvent = 1;
        }
    };
};

TEST_F(Enumeration, CardsOfThreeChipsOnSeveralBusesAndBackToNothing) {
    AcqClient acq;
    sim().registry.set_dword(acq.registryText + u"\\Parameters", u"AI", 16);
    Client dio(u"diodrv", u"DioDev", u"DIO", QOR_CONTROLLER_PLX9050, kVendor, kDioCard);
    Client dma(u"dmadrv", u"DmaDev", u"DMA", QOR_CONTROLLER_PLX9080, kVendor, kDmaCard);
    dma.rec.PortCount = 2;
    for (Client *c : {static_cast<Client *>(&acq), &dio, &dma})
        ASSERT_TRUE(QorFindDeviceBegin(&c->rec));
    const auto acqCards = acq.EnumerateAll();
    const auto dioCards = dio.EnumerateAll();
    const auto dmaCards = dma.EnumerateAll();
    ASSERT_EQ(acqCards.size(), 3u);
    ASSERT_EQ(dioCards.size(), 2u);
    ASSERT_EQ(dmaCards.size(), 1u);
    EXPECT_EQ(+acq.rec.CardCount, 3);
    EXPECT_EQ(+dio.rec.CardCount, 2);
    EXPECT_EQ(+dma.rec.CardCount, 1);

    struct Expected {
        const char *device, *link;
        QorDevExt *ext;
        USHORT bus;
        ULONG slot;
        std::vector<ULONG> ports;
        ULONG level;
    } expected[] = {
        {"\\Device\\AcqDev0", "\\DosDevices\\ACQ0", acqCards[0], 0, 3, {0xD000, 0xD040, 0xD060}, 11},
        {"\\Device\\AcqDev1", "\\DosDevices\\ACQ1", acqCards[1], 2, 0 | 2 << 5, {0xE000, 0xE040, 0xE060}, 11},
        {"\\Device\\AcqDev2", "\\DosDevices\\ACQ2", acqCards[2], 4, 1, {0xF000, 0xF040, 0xF060}, 7},
        // The 0x2B93 card's window had bit 7 set: moved behind its second range.
        {"\\Device\\DioDev0", "\\DosDevices\\DIO0", dioCards[0], 2, 4, {0xEA00, 0xE900, 0xEB00}, 5},
        {"\\Device\\DioDev1", "\\DosDevices\\DIO1", dioCards[1], 2, 6, {0xEC00, 0xED00, 0xEF00}, 5},
        {"\\Device\\DmaDev0", "\\DosDevices\\DMA0", dmaCards[0], 0, 9, {0xD400, 0xD500}, 10},
    };
    USHORT index[3] = {};
    for (const Expected &e : expected) {
        SCOPED_TRACE(e.device);
        const QorDevExt *ext = e.ext;
        const USHORT type = ext->ControllerType;
        EXPECT_EQ(+ext->CardIndex, index[type]++);
        EXPECT_EQ(sim().objects.device(qorsim::to_u16(e.device)), +ext->DeviceObject);
        EXPECT_EQ(qorsim::to_ascii(sim().objects.link_target(qorsim::to_u16(e.link))), e.device);
        EXPECT_EQ(+ext->BusNumber, e.bus);
        EXPECT_EQ(+ext->SlotNumber, e.slot);
        ASSERT_EQ(+ext->PortCount, e.ports.size());
        for (size_t i = 0; i < e.ports.size(); ++i) {
            EXPECT_EQ(+ext->PortBase[i], e.ports[i]) << "base " << i;
        }
        EXPECT_EQ(+ext->InterruptLevel, e.level);
        EXPECT_EQ(+ext->InterruptVector, 0x30 + e.level);
        EXPECT_NE(+ext->InterruptObject, nullptr);
        EXPECT_TRUE(sim().pci.assigned(e.bus, e.slot));
    }
    // What each rule writes to its card is in scan_test.cpp; here only that it reaches
    // the right function of a crowded bus.
    EXPECT_EQ(sim().ports.owner(0xEA00 + 0x4C), "plx9050");
    EXPECT_EQ(sim().pci.find(0, 5 | 1 << 5)->read(4, 2), 0u) << "function 1 behind a foreign function 0";
    for (const QorDevExt *ext : acqCards) {
        ASSERT_NE(+ext->Buffers[0], nullptr);
        EXPECT_EQ(+ext->Buffers[0]->Size, 16u * 1024);
        EXPECT_NE(+ext->DualIntEvents, nullptr);
        EXPECT_NE(+ext->AuxEvent, nullptr);
    }
    EXPECT_EQ(sim().memory.contiguous_blocks(), 3u);
    EXPECT_EQ(sim().interrupts.connected().size(), 6u);

    // Line 11 is shared by the first two S5933 cards: both routines run, each with its own
    // device object, at the device IRQL the HAL gave.
    EXPECT_EQ(sim().pci.find(0, 3)->raise_interrupt(), 2u);
    EXPECT_EQ(Client::isrCalls[+acqCards[0]->DeviceObject], 1);
    EXPECT_EQ(Client::isrCalls[+acqCards[1]->DeviceObject], 1);
    EXPECT_EQ(Client::isrCalls[+acqCards[2]->DeviceObject], 0);
    sim().pci.find(2, 6)->line()();
    EXPECT_EQ(Client::isrCalls[+dioCards[0]->DeviceObject], 1);
    EXPECT_EQ(Client::isrCalls[+dioCards[1]->DeviceObject], 1);

    for (Client *c : {static_cast<Client *>(&acq), &dio, &dma}) {
        EXPECT_TRUE(QorFindDeviceEnd(&c->rec));
        c->Unload();
    }
    EXPECT_TRUE(Devices().empty());
    EXPECT_TRUE(Links().empty());
    EXPECT_TRUE(sim().interrupts.connected().empty());
    EXPECT_EQ(sim().pci.assigned_count(), 0u);
    EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
    // The pool is checked empty by the fixture.
}

TEST_F(Enumeration, UnloadDropsInDeviceListOrderEachWithItsOwnLink) {
    AcqClient acq;
    ASSERT_TRUE(QorFindDeviceBegin(&acq.rec));
    ASSERT_EQ(acq.EnumerateAll().size(), 3u);

    // The driver's device list holds the newest first: card 2, card 1, card 0. Each S5933
    // clear runs at its own chip's registers.
    sim().ports.clear_trace();
    QorUnloadDriver(&acq.driver);
    std::vector<uint32_t> chips;
    for (const auto &a : accesses()) {
        const uint32_t base = a.port & ~0xFFu;
        if (chips.empty() || chips.back() != base)
            chips.push_back(base);
    }
    EXPECT_EQ(chips, (std::vector<uint32_t>{0xF000, 0xE000, 0xD000}));
    EXPECT_TRUE(Links().empty());
    EXPECT_TRUE(Devices().empty());

    // Dropping one card alone deletes its own link only.
    ASSERT_TRUE(QorFindDeviceBegin(&acq.rec));
    const auto cards = acq.EnumerateAll();
    ASSERT_EQ(cards.size(), 3u);
    QorDropDevice(cards[1]->DeviceObject);
    EXPECT_EQ(Links(), (std::vector<std::string>{"\\DOSDEVICES\\ACQ0", "\\DOSDEVICES\\ACQ2"}));
    EXPECT_EQ(Devices(), (std::vector<std::string>{"\\DEVICE\\ACQDEV0", "\\DEVICE\\ACQDEV2"}));
    acq.Unload();
}

TEST_F(Enumeration, UnloadWithoutDevicesLeavesTheBlockToTheClient) {
    Client acq(u"acqdrv", u"AcqDev", u"ACQ", QOR_CONTROLLER_S5933, 0x9999, 0x9999);
    ASSERT_TRUE(QorFindDeviceBegin(&acq.rec));
    EXPECT_TRUE(acq.EnumerateAll().empty());
    const size_t blocks = sim().pool.live_blocks().size();
    QorUnloadDriver(&acq.driver);
    EXPECT_EQ(sim().pool.live_blocks().size(), blocks);
    QorDropDriver(acq.rec.DriverBlock);
    QorDropDriver(nullptr);
    EXPECT_TRUE(sim().pool.live_blocks().empty());
}

} // namespace
