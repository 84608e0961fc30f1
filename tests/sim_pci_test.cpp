// The simulated PCI buses and HAL as the library relies on them: bus data of missing
// buses and empty slots, configuration writes, BARs carrying their register model,
// resource lists, and shared interrupt connections.
#include <gtest/gtest.h>

#include <cstring>

#include "support/sim_fixture.h"
#include "models/plx9050.h"

namespace {

class SimPci : public SimTest {};

TEST_F(SimPci, BusDataOfMissingBusesEmptySlotsAndPresentFunctions)
{
    auto &f = sim().pci.add_function(1, 2, 3, 0x1A2B, 0x0101);
    f.poke(8, 1, 0x07);
    uint8_t buffer[64];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 0, 0, buffer, 64), 0u) << "missing bus";
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, 2, buffer, 64), 2u) << "function 0 of device 2 is empty";
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0xFF);
    EXPECT_EQ(HalGetBusData(PCIConfiguration, 1, 2 | 3 << 5 | 0x1200, buffer, 64), 64u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, 0x1A2B);
    EXPECT_EQ(buffer[8], 0x07);
    EXPECT_EQ(HalGetBusData(Cmos, 1, 2 | 3 << 5, buffer, 64), 0u);
}

TEST_F(SimPci, ConfigurationWritesKeepReadOnlyFieldsAndMoveTheBarsModel)
{
    qorsim::models::Plx9050 chip;
    auto &f = sim().pci.add_function(0, 1, 0, 0x10B5, 0x9050);
    f.set_io_bar(1, 0x1080, 0x80, &chip, "plx9050");
    EXPECT_EQ(sim().ports.owner(0x1080), "plx9050");
    const ULONG id = 0xFFFFFFFF, bar = 0x2107;
    EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, 1, const_cast<ULONG *>(&id), 0, 4), 4u);
    EXPECT_EQ(f.read(0, 4), 0x905010B5u);
    HalSetBusDataByOffset(PCIConfiguration, 0, 1, const_cast<ULONG *>(&bar), 20, 4);
    EXPECT_EQ(f.bar(1), 0x2101u) << "size and type bits of a 128-byte I/O range";
    EXPECT_EQ(sim().ports.owner(0x2100), "plx9050");
    EXPECT_EQ(sim().ports.owner(0x1080), "");
    EXPECT_EQ(HalSetBusDataByOffset(PCIConfiguration, 0, 2, const_cast<ULONG *>(&bar), 20, 4), 0u);
    EXPECT_EQ(sim().pci.writes().size(), 2u);
}

TEST_F(SimPci, SlotResourcesInBarOrderThenTheInterruptUntilReleased)
{
    auto &f = sim().pci.add_function(3, 4, 0, 0x10B5, 0x9050);
    f.set_memory_bar(0, 0xE0000000, 0x80);
    f.set_io_bar(1, 0x1000, 0x80);
    f.set_io_bar(3, 0x1400, 0x10);
    f.set_interrupt_line(9);
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT a{}, b{};
    PCM_RESOURCE_LIST list = nullptr;
    ASSERT_EQ(HalAssignSlotResources(nullptr, nullptr, &driver, &a, PCIBus, 3, 4, &list), STATUS_SUCCESS);
    ASSERT_EQ(list->Count, 1u);
    const CM_PARTIAL_RESOURCE_LIST &partials = list->List[0].PartialResourceList;
    ASSERT_EQ(partials.Count, 4u);
    const UCHAR types[] = {3, CmResourceTypePort, CmResourceTypePort, CmResourceTypeInterrupt};
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(partials.PartialDescriptors[i].Type, types[i]) << i;
    }
    EXPECT_EQ(partials.PartialDescriptors[2].u.Port.Start.QuadPart, 0x1400);
    EXPECT_EQ(partials.PartialDescriptors[3].u.Interrupt.Level, 9u);
    ExFreePool(list);
    EXPECT_EQ(HalAssignSlotResources(nullptr, nullptr, &driver, &b, PCIBus, 3, 4, &list),
              static_cast<NTSTATUS>(0xC0000018L)) << "held by another device";
    EXPECT_EQ(IoAssignResources(nullptr, nullptr, &driver, &a, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(sim().pci.assigned(3, 4));
}

BOOLEAN NTAPI Claim(PKINTERRUPT, PVOID context)
{
    *static_cast<KIRQL *>(context) = qorsim::current_irql();
    return TRUE;
}

TEST_F(SimPci, SharedConnectionsRunAtTheVectorsIrql)
{
    KIRQL irql = 0, seenA = 0, seenB = 0;
    KAFFINITY affinity = 0;
    const ULONG vector = HalGetInterruptVector(PCIBus, 0, 5, 5, &irql, &affinity);
    EXPECT_EQ(vector, 0x35u);
    EXPECT_EQ(irql, 22);
    PKINTERRUPT a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&a, Claim, &seenA, nullptr, vector, irql, irql, LevelSensitive, TRUE, affinity, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(IoConnectInterrupt(&b, Claim, &seenB, nullptr, vector, irql, irql, LevelSensitive, TRUE, affinity, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoConnectInterrupt(&c, Claim, &seenB, nullptr, vector, irql, irql, LevelSensitive, FALSE, affinity, FALSE),
              STATUS_INVALID_PARAMETER) << "an exclusive connection on a shared vector";
    EXPECT_EQ(IoConnectInterrupt(&c, Claim, &seenB, nullptr, 0, 0, 0, LevelSensitive, TRUE, 0, FALSE),
              STATUS_INVALID_PARAMETER) << "a vector the HAL never gave";
    EXPECT_EQ(sim().interrupts.raise(vector), 2u);
    EXPECT_EQ(seenA, 22);
    EXPECT_EQ(seenB, 22);
    EXPECT_EQ(qorsim::current_irql(), PASSIVE_LEVEL);
    IoDisconnectInterrupt(a);
    IoDisconnectInterrupt(b);
    EXPECT_EQ(sim().interrupts.raise(vector), 0u);
}

} // namespace
