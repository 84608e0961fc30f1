// The PCI scan: which function each controller type's rule accepts and what it writes to
// the card, the resumable cursor, and the driver block that the scan's start builds.

#include <cstring>

#include "support/enum_fixture.h"
#include "support/fault_sweep.h"

namespace {

constexpr USHORT kPlx = 0x10B5;
constexpr ULONG kNoSuchDevice = 0xC000000E;
constexpr ULONG kUntouched = 0x12345678;

class Scan : public EnumTest {};

// write*: the one configuration write (length 0: none); lastStatus: after the call.
struct MatchRow {
    const char *name;
    USHORT type, keyVendor, keyDevice, vendor, device, subVendor, subSystem, command;
    bool found;
    USHORT deviceIdAfter;
    ULONG writeOffset, writeLength, writeValue, lastStatus;
};

const MatchRow kMatchRows[] = {
    {"s5933 own ids, bus master off", 0, 0x1A2B, 0x0101, 0x1A2B, 0x0101, 0, 0, 0x0003, true, 0x0101, 4, 2, 0x0007, kUntouched},
    {"s5933 own ids, bus master on", 0, 0x1A2B, 0x0101, 0x1A2B, 0x0101, 0, 0, 0x0007, true, 0x0101, 0, 0, 0, kUntouched},
    {"s5933 other device", 0, 0x1A2B, 0x0101, 0x1A2B, 0x0102, 0, 0, 0, false, 0x0101, 0, 0, 0, kNoSuchDevice},
    {"9050 by subsystem id, any subvendor", 1, 0x1A2B, 0x0202, kPlx, 0x9050, 0x7777, 0x0202, 0, true, 0x0202, 0, 0, 0, kUntouched},
    {"9050 wrong subsystem id", 1, 0x1A2B, 0x0202, kPlx, 0x9050, 0x1A2B, 0x0203, 0, false, 0x0202, 0, 0, 0, kUntouched},
    {"9050 own ids", 1, 0x1A2B, 0x0202, 0x1A2B, 0x0202, 0, 0, 0, true, 0x0202, 0, 0, 0, kUntouched},
    {"9050 3E62 finds 3E61", 1, 0x1A2B, 0x3E62, 0x1A2B, 0x3E61, 0, 0, 0, true, 0x3E62, 0, 0, 0, kUntouched},
    {"9050 3E61 does not find 3E62", 1, 0x1A2B, 0x3E61, 0x1A2B, 0x3E62, 0, 0, 0, false, 0x3E61, 0, 0, 0, kUntouched},
    {"9050 3E61 of another vendor", 1, 0x1A2B, 0x3E62, 0x1A2C, 0x3E61, 0, 0, 0, false, 0x3E62, 0, 0, 0, kUntouched},
    {"9050 2B94 finds 2B93 and keeps it", 1, 0x1A2B, 0x2B94, 0x1A2B, 0x2B93, 0, 0, 0, true, 0x2B93, 0, 0, 0, kUntouched},
    {"9050 2B94 finds 2B94", 1, 0x1A2B, 0x2B94, 0x1A2B, 0x2B94, 0, 0, 0, true, 0x2B94, 0, 0, 0, kUntouched},
    {"9050 plain chip with 2B94 subsystem", 1, 0x1A2B, 0x2B94, kPlx, 0x9050, 0, 0x2B94, 0, true, 0x2B94, 0, 0, 0, kUntouched},
    {"9080 by both subsystem ids", 2, 0x1A2B, 0x0303, kPlx, 0x9080, 0x1A2B, 0x0303, 0, true, 0x0303, 13, 1, 0xFF, kUntouched},
    {"9080 subsystem id of another vendor", 2, 0x1A2B, 0x0303, kPlx, 0x9080, 0x1A2C, 0x0303, 0, false, 0x0303, 0, 0, 0, kUntouched},
    {"9080 own ids", 2, 0x1A2B, 0x0303, 0x1A2B, 0x0303, 0, 0, 0, true, 0x0303, 13, 1, 0xFF, kUntouched},
    {"type 3 never matches", 3, 0x1A2B, 0x0101, 0x1A2B, 0x0101, 0, 0, 0, false, 0x0101, 0, 0, 0, kUntouched},
};

TEST_F(Scan, MatchRulesByControllerType) {
    for (const MatchRow &row : kMatchRows) {
        SCOPED_TRACE(row.name);
        sim().reset();
        auto &f = sim().pci.add_function(0, 4, 0, row.vendor, row.device);
        f.poke(4, 2, row.command);
        f.poke(8, 1, 0x2A); // revision
        f.poke(44, 2, row.subVendor);
        f.poke(46, 2, row.subSystem);
        Client c(u"acqdrv", u"AcqDev", u"ACQ", row.type, row.keyVendor, row.keyDevice);
        ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
        c.rec.LastStatus = kUntouched;
        const bool found = QorFindDeviceNext(&c.rec);
        EXPECT_EQ(found, row.found);
        EXPECT_EQ(+c.rec.DeviceId, row.deviceIdAfter);
        EXPECT_EQ(+c.rec.LastStatus, row.lastStatus);
        const auto writes = sim().pci.writes();
        if (row.writeLength == 0) {
            EXPECT_TRUE(writes.empty());
        } else {
            ASSERT_EQ(writes.size(), 1u);
            EXPECT_EQ(writes[0].offset, row.writeOffset);
            EXPECT_EQ(writes[0].length, row.writeLength);
            EXPECT_EQ(writes[0].value, row.writeValue);
            EXPECT_EQ(f.read(row.writeOffset, row.writeLength), row.writeValue);
        }
        if (found) {
            EXPECT_EQ(+c.rec.SlotNumber, 4u);
            EXPECT_EQ(+c.rec.RevisionId, 0x2A);
            EXPECT_EQ(+c.rec.PciConfig.Command, row.command) << "the record keeps the header as read";
        }
        c.Unload();
    }
}

// Where each call of the scan stops on one bus, as (device, function) of the finds.
// cards: the matching functions; others: present, not matching.
struct CursorRow {
    const char *name;
    USHORT startFunction;
    std::vector<std::pair<ULONG, ULONG>> cards, others, finds;
};

TEST_F(Scan, FirstPresentFunctionDecidesForTheDevice) {
    const CursorRow rows[] = {
        {"function 0 matches: reported once", 0, {{2, 0}, {2, 1}, {2, 5}}, {}, {{2, 0}}},
        {"function 0 present but foreign", 0, {{2, 1}}, {{2, 0}}, {}},
        {"function 0 empty, function 3 answers", 0, {{2, 3}}, {}, {{2, 3}}},
        {"functions 0-2 empty, function 3 foreign", 0, {{2, 5}}, {{2, 3}}, {}},
        {"start at function 3 of device 0", 3, {{0, 0}, {0, 3}, {1, 0}}, {}, {{0, 3}, {1, 0}}},
        {"start at function 8 skips device 0", 8, {{0, 0}, {1, 0}}, {}, {{1, 0}}},
        {"devices 0 and 31", 0, {{0, 0}, {31, 0}}, {}, {{0, 0}, {31, 0}}},
    };
    for (const CursorRow &row : rows) {
        SCOPED_TRACE(row.name);
        sim().reset();
        for (auto [d, fn] : row.cards)
            sim().pci.add_function(0, d, fn, kVendor, kS5933Card).poke(4, 2, 0x0004);
        for (auto [d, fn] : row.others)
            sim().pci.add_function(0, d, fn, 0x8086, 0x7000);
        Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
        c.rec.FunctionNumber = row.startFunction;
        c.rec.SlotNumber = 0xABCD0000; // bits above the slot's 8 are the client's
        ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
        std::vector<std::pair<ULONG, ULONG>> finds;
        while (QorFindDeviceNext(&c.rec)) {
            finds.emplace_back(c.rec.SlotNumber & 0x1F, (c.rec.SlotNumber >> 5) & 7);
            EXPECT_EQ(c.rec.SlotNumber & 0xFFFFFF00u, 0xABCD0000u);
            EXPECT_EQ(+c.rec.DeviceNumber, (c.rec.SlotNumber & 0x1F) + 1) << "the cursor is one device on";
            EXPECT_EQ(+c.rec.FunctionNumber, 0);
        }
        EXPECT_EQ(finds, row.finds);
        c.Unload();
    }
}

TEST_F(Scan, MissingBusesAreSkippedAndTheEndIsFinal) {
    sim().pci.add_bus(0);
    sim().pci.add_function(3, 7, 0, kVendor, kS5933Card).poke(4, 2, 0x0004);
    sim().pci.add_function(200, 1, 0, kVendor, kS5933Card).poke(4, 2, 0x0004);
    Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
    ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
    ASSERT_TRUE(QorFindDeviceNext(&c.rec));
    EXPECT_EQ(+c.rec.BusNumber, 3);
    EXPECT_EQ(+c.rec.SlotNumber, 7u);
    ASSERT_TRUE(QorFindDeviceNext(&c.rec));
    EXPECT_EQ(+c.rec.BusNumber, 200);
    EXPECT_FALSE(QorFindDeviceNext(&c.rec));
    EXPECT_EQ(+c.rec.BusNumber, 256);
    EXPECT_EQ(+c.rec.DeviceNumber, 0);
    const uint64_t reads = sim().pci.reads();
    EXPECT_FALSE(QorFindDeviceNext(&c.rec));
    EXPECT_EQ(sim().pci.reads(), reads) << "an exhausted scan reads no more configuration";
    EXPECT_EQ(+c.rec.LastStatus, kNoSuchDevice) << "exhausting the buses leaves Begin's status";
    c.Unload();
}

TEST_F(Scan, FamilyIdFoundStaysTheKeyUntilTheSetupRestoresIt) {
    sim().pci.add_function(0, 1, 0, kVendor, 0x2B93);
    sim().pci.add_function(0, 2, 0, kVendor, 0x2B93);
    sim().pci.add_function(0, 3, 0, kVendor, 0x2B94);
    Client c(u"dio", u"DioDev", u"DIO", 1, kVendor, 0x2B94);
    ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
    ASSERT_TRUE(QorFindDeviceNext(&c.rec));
    EXPECT_EQ(+c.rec.DeviceId, 0x2B93);
    // Without a setup in between, 0x2B93 is the key: the next 0x2B93 by its own IDs, and
    // the 0x2B94 card after it is not found.
    ASSERT_TRUE(QorFindDeviceNext(&c.rec));
    EXPECT_EQ(+c.rec.SlotNumber, 2u);
    EXPECT_EQ(+c.rec.DeviceId, 0x2B93);
    EXPECT_FALSE(QorFindDeviceNext(&c.rec));
    c.Unload();
}

TEST_F(Scan, BeginCapsPortCountAndListLimitsInItsOwnCopy) {
    Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
    c.rec.PortCount = 7;
    c.rec.CardCount = 9;
    c.rec.BusNumber = 40;
    c.rec.DeviceNumber = 5;
    c.rec.FunctionNumber = 2;
    auto *bytes = reinterpret_cast<UCHAR *>(&c.desp); // every byte of the template is copied
    for (size_t i = 0; i < sizeof c.desp; ++i)
        bytes[i] = static_cast<UCHAR>(i * 7 + 1);
    const USHORT limits[4] = {300, 256, 255, 0xFFFF};
    for (int k = 0; k < 4; ++k)
        c.desp.Buffers[k].ListLimit = limits[k];
    QorDesp expected = c.desp;
    for (int k = 0; k < 4; ++k)
        c.rec.BufferParam[k] = static_cast<USHORT>(0x100 + k);
    ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
    const QorDriverBlock *b = c.rec.DriverBlock;
    EXPECT_EQ(+c.rec.PortCount, 4);
    EXPECT_EQ(+c.rec.CardCount, 0);
    EXPECT_EQ(+c.rec.BusNumber, 0);
    EXPECT_EQ(+c.rec.DeviceNumber, 0);
    EXPECT_EQ(+c.rec.FunctionNumber, 2) << "the function cursor is the client's";
    EXPECT_EQ(+c.rec.LastStatus, kNoSuchDevice);
    const USHORT capped[4] = {256, 256, 255, 256};
    for (int k = 0; k < 4; ++k) {
        expected.Buffers[k].ListLimit = capped[k];
        EXPECT_EQ(+c.desp.Buffers[k].ListLimit, limits[k]) << "the client's template is not changed";
        EXPECT_EQ(+b->BufferParam[k], 0x100 + k);
    }
    EXPECT_EQ(std::memcmp(b->Desp, &expected, sizeof expected), 0);
    EXPECT_EQ(+b->DriverObject, &c.driver);
    EXPECT_EQ(qorsim::to_ascii(qorsim::from_ucs(b->DosLinkPrefix)), "\\DosDevices\\ACQ");
    EXPECT_EQ(qorsim::to_ascii(qorsim::from_ucs(b->BaseName)), "acqdrv");
    EXPECT_EQ(qorsim::from_ucs(b->RegistryPath), c.registryText);
    EXPECT_EQ(+b->HasTimer, 0);
    c.Unload();
}

TEST_F(Scan, BeginFreesEverythingWhenAnAllocationFails) {
    Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
    c.rec.DownloadFpga = 1; // the file-name reader allocates too
    sim().registry.set_string(c.registryText + u"\\Parameters", u"FPGA", u"acq.bit");
    const uint64_t allocations = SweepAllocationFailures([&] {
        c.rec.LastStatus = kUntouched;
        const bool ok = QorFindDeviceBegin(&c.rec);
        if (!ok) {
            EXPECT_EQ(+c.rec.DriverBlock, nullptr);
            EXPECT_EQ(+c.rec.LastStatus, kUntouched);
        } else {
            EXPECT_EQ(qorsim::to_ascii(qorsim::from_ucs(c.rec.FpgaFileName)), "acq.bit");
            c.Unload(); // the file name is the client's to free
        }
        return ok;
    });
    EXPECT_GE(allocations, 10u);
    EXPECT_FALSE(QorFindDeviceBegin(nullptr));
}

TEST_F(Scan, EndOnlyTellsWhetherItGotARecord) {
    QorFindRecord rec{};
    EXPECT_FALSE(QorFindDeviceEnd(nullptr));
    EXPECT_TRUE(QorFindDeviceEnd(&rec));
    EXPECT_EQ(sim().pool.allocations(), 0u);
}

} // namespace
