// Device setup of one found card: names, stored and translated port bases, the resource
// list's shapes, the PLX 9050 window relocation, the 0x2B94 family, the FPGA step, DPC and
// timer, and what every failing platform operation leaves behind.

#include "support/enum_fixture.h"
#include "support/fault_sweep.h"

namespace {

constexpr ULONG kNoSuchDevice = 0xC000000E;
constexpr ULONG kPortsNotTranslated = 0xC000002E;
constexpr ULONG kBufferSetupFailed = 0xC0000099;
constexpr ULONG kNoResources = 0xC000009A;
constexpr ULONG kIrqBusy = 0xC000016C;
constexpr ULONG kInvalidParameter = 0xC000000D;

class Setup : public EnumTest {
protected:
    // Begins a scan and finds the first card.
    void Find(Client &c) {
        ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
        ASSERT_TRUE(QorFindDeviceNext(&c.rec));
    }
    // A card with n I/O ranges of 0x40 bytes (the S5933 operation registers span the first)
    // from 0xA000 and an interrupt on line 9.
    qorsim::PciFunction &AddRanges(unsigned n) {
        auto &f = sim().pci.add_function(0, 1, 0, kVendor, kS5933Card);
        f.poke(4, 2, 0x0004);
        for (unsigned i = 0; i < n; ++i)
            f.set_io_bar(i, 0xA000 + 0x40 * i, 0x40);
        f.set_interrupt_line(9);
        return f;
    }
};

TEST_F(Setup, StoresTheFirstPortCountBasesAndTranslatesEveryRange) {
    struct { const char *name; unsigned ranges; USHORT portCount; bool ownInterruptDescriptor; } rows[] = {
        {"five ranges, two kept", 5, 2, false},
        {"no base kept", 3, 0, false},
        {"one range, no base kept", 1, 0, false},
        {"six ranges, four kept", 6, 4, false},
        {"interrupt in a second full descriptor", 3, 4, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        for (unsigned failing = 1; failing <= row.ranges + 1; ++failing) {
            SCOPED_TRACE(::testing::Message() << "translation " << failing << " failing");
            sim().reset();
            AddRanges(row.ranges).interrupt_in_own_descriptor = row.ownInterruptDescriptor;
            Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
            c.rec.PortCount = row.portCount;
            Find(c);
            sim().faults.fail_nth(qorsim::Fault::TranslateBusAddress, failing);
            const bool ok = QorEnumDevice(&c.rec);
            // Every range is translated, kept or not: failing any of them fails the card.
            EXPECT_EQ(ok, failing > row.ranges);
            if (ok) {
                const QorDevExt *ext = c.rec.DevExt;
                const unsigned kept = std::min<unsigned>(row.portCount, row.ranges);
                EXPECT_EQ(+ext->PortCount, kept);
                for (unsigned i = 0; i < 4; ++i) {
                    // The first range, the chip's registers, is kept for the reset even
                    // when no base is asked for.
                    EXPECT_EQ(+ext->PortBase[i], i < kept || i == 0 ? 0xA000 + 0x40 * i : 0u);
                }
                EXPECT_NE(+ext->InterruptObject, nullptr);
                EXPECT_EQ(+ext->InterruptLevel, 9u);
                EXPECT_EQ(+ext->InterruptVector, 0x39u);
            } else {
                EXPECT_EQ(+c.rec.LastStatus, kPortsNotTranslated);
                EXPECT_TRUE(Devices().empty());
            }
            c.Unload();
        }
    }
}

TEST_F(Setup, EmptyResourceListGivesACardWithoutPortsOrInterrupt) {
    sim().pci.add_function(0, 1, 0, kVendor, kS5933Card).poke(4, 2, 0x0004);
    Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
    Find(c);
    ASSERT_TRUE(QorEnumDevice(&c.rec));
    EXPECT_EQ(+c.rec.DevExt->PortCount, 0);
    EXPECT_EQ(+c.rec.DevExt->InterruptObject, nullptr);
    EXPECT_EQ(+c.rec.DevExt->InterruptVector, 0u);
    sim().ports.clear_trace();
    c.Unload();
    EXPECT_TRUE(accesses().empty()) << "a card without ports is dropped without port accesses";
}

TEST_F(Setup, Plx9050WindowWithBit7IsMoved) {
    constexpr uint32_t kLocal = 0x2000;
    // bar1After: as read from configuration space.
    struct {
        const char *name;
        uint32_t window;
        bool bar5Io;
        USHORT portCount;
        bool interruptFails;
        uint32_t bar1After, portBase0;
    } rows[] = {
        {"BAR5 memory: behind BAR2", 0x1080, false, 4, false, kLocal + 0x100 + 1, kLocal + 0x100},
        {"BAR5 I/O: onto BAR5", 0x1080, true, 4, false, 0x3000 + 1, 0x3000},
        {"bit 7 clear: left alone", 0x1000, false, 4, false, 0x1000 + 1, 0x1000},
        {"interrupt fails after the move", 0x1080, false, 4, true, kLocal + 0x100 + 1, 0},
        {"two stored bases: behind BAR2", 0x1080, false, 2, false, kLocal + 0x100 + 1, kLocal + 0x100},
        {"one stored base: no place to move to", 0x1080, false, 1, false, 0x1080 + 1, 0x1080},
        {"one stored base, BAR5 I/O: onto BAR5", 0x1080, true, 1, false, 0x3000 + 1, 0x3000},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        sim().reset();
        auto &f = AddPlx9050(0, 6, 0, row.window, kLocal, 10, kVendor, 0x0202);
        if (row.bar5Io)
            f.set_io_bar(5, 0x3000, 0x100);
        Client c(u"dio", u"DioDev", u"DIO", 1, kVendor, 0x0202);
        c.rec.PortCount = row.portCount;
        Find(c);
        if (row.interruptFails)
            sim().faults.fail_nth(qorsim::Fault::ConnectInterrupt, 1);
        const bool ok = QorEnumDevice(&c.rec);
        EXPECT_EQ(ok, !row.interruptFails);
        EXPECT_EQ(f.bar(1), row.bar1After);
        EXPECT_EQ(+c.rec.PciConfig.u.type0.BaseAddresses[1], (row.bar1After == row.window + 1 ? row.window + 1 : row.bar1After))
            << "the record's copy of the header follows";
        const auto writes = sim().pci.writes();
        if (row.bar1After == row.window + 1) {
            EXPECT_TRUE(writes.empty());
        } else {
            ASSERT_EQ(writes.size(), 1u);
            EXPECT_EQ(writes[0].offset, 20u);
            EXPECT_EQ(writes[0].length, 4u);
        }
        if (ok) {
            EXPECT_EQ(+c.rec.DevExt->PortBase[0], row.portBase0);
            EXPECT_EQ(sim().ports.owner(row.portBase0 + 0x4C), "plx9050") << "the chip answers at PortBase[0]";
        } else {
            EXPECT_EQ(+c.rec.LastStatus, kIrqBusy);
            EXPECT_TRUE(Devices().empty());
        }
        sim().ports.clear_trace();
        c.Unload();
        EXPECT_TRUE(accesses().empty()) << "the drop leaves a 9050 alone";
    }
}

TEST_F(Setup, FamilyIdIsRecordedAndTheKeyRestored) {
    const struct { USHORT key, device, actual, keyAfter; } rows[] = {
        {0x2B94, 0x2B93, 0x2B93, 0x2B94},
        {0x2B94, 0x2B94, 0x2B94, 0x2B94},
        {0x2B93, 0x2B93, 0x2B93, 0x2B94},
        {0x0202, 0x0202, 0, 0x0202},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.key << " finds " << row.device);
        sim().reset();
        AddPlx9050(0, 2, 0, 0x1000, 0x2000, 10, kVendor, row.device);
        Client c(u"dio", u"DioDev", u"DIO", 1, kVendor, row.key);
        Find(c);
        ASSERT_TRUE(QorEnumDevice(&c.rec));
        EXPECT_EQ(+c.rec.DevExt->ActualDeviceId, row.actual);
        EXPECT_EQ(+c.rec.DeviceId, row.keyAfter);
        c.Unload();
    }
}

TEST_F(Setup, FpgaStepNeedsThreeBasesAndResetsTheAddOnFirst) {
    constexpr uint32_t kImageBytes = 64;
    // attempts: configuration attempts the card saw.
    struct { const char *name; USHORT type, portCount; bool fileThere, ok; ULONG lastStatus; size_t attempts; } rows[] = {
        {"s5933, download succeeds", 0, 3, true, true, kNoSuchDevice, 1},
        {"s5933, no configuration file", 0, 4, false, false, kNoSuchDevice, 0},
        {"9080 card: same writes before the download", 2, 3, true, true, kNoSuchDevice, 1},
        {"two bases only: refused untouched", 0, 2, true, false, kInvalidParameter, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        sim().reset();
        auto *fpga = NewModel<qorsim::models::FpgaPort>();
        fpga->complete_after(kImageBytes);
        uint32_t fpgaPort;
        if (row.type == 0) {
            AddS5933(0, 1, 0, 0xC000, 11).poke(4, 2, 0x0004);
            fpgaPort = 0xC000 + 0x60;
        } else {
            AddPlx9080(0, 1, 0, 0xC000, 11, kVendor, kS5933Card);
            fpgaPort = 0xC000 + 0x140;
        }
        sim().pci.find(0, 1)->set_io_bar(row.type == 0 ? 2 : 3, fpgaPort, 0x10, fpga, "fpga port");
        Client c(u"acqdrv", u"AcqDev", u"ACQ", row.type, kVendor, kS5933Card);
        sim().registry.set_string(c.registryText + u"\\Parameters", u"FPGA", u"card.bin");
        if (row.fileThere)
            sim().files.add(u"card.bin", std::vector<uint8_t>(kImageBytes, 0xA5));
        c.rec.DownloadFpga = 1;
        c.rec.PortCount = row.portCount;
        Find(c);
        sim().ports.clear_trace();
        EXPECT_EQ(QorEnumDevice(&c.rec), row.ok);
        EXPECT_EQ(+c.rec.LastStatus, row.lastStatus);
        EXPECT_EQ(+c.rec.CardCount, row.ok ? 1 : 0);
        EXPECT_EQ(fpga->attempts().size(), row.attempts);
        if (row.ok) {
            EXPECT_EQ(fpga->attempts().front().size(), kImageBytes);
        }
        const auto trace = accesses();
        if (row.portCount < 3) {
            // Only the drop's clear of the chip, at the chip's own registers.
            for (const auto &a : trace) {
                EXPECT_EQ(sim().ports.owner(a.port), "s5933") << qorsim::describe(a);
                EXPECT_FALSE(a.write && a.value == 0x0F000000) << qorsim::describe(a);
            }
        } else {
            const uint32_t mcsr = 0xC000 + 0x3C; // PortBase[0] + 0x3C on either chip
            ASSERT_GE(trace.size(), 2u);
            EXPECT_EQ(trace[0], Out(4, mcsr, 0x0F000000));
            EXPECT_EQ(trace[1], Out(4, mcsr, 0));
            if (row.fileThere) {
                ASSERT_GE(trace.size(), 3u);
                EXPECT_EQ(trace[2].port, fpgaPort) << "the download follows the two writes";
            }
        }
        EXPECT_EQ(Devices().empty(), !row.ok);
        c.Unload();
    }
}

TEST_F(Setup, DpcAndTimerOnlyWhenTheClientGaveRoutines) {
    for (bool routines : {true, false}) {
        SCOPED_TRACE(routines ? "with routines" : "without");
        sim().reset();
        AddS5933(0, 1, 0, 0xC000, 11);
        Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
        if (routines) {
            c.rec.DpcRoutine = Client::Dpc;
            c.rec.TimerRoutine = Client::Timer;
        }
        Find(c);
        ASSERT_TRUE(QorEnumDevice(&c.rec));
        PDEVICE_OBJECT device = c.rec.DeviceObject;
        EXPECT_EQ(device->Dpc.DeferredRoutine, routines ? Client::Dpc : nullptr);
        EXPECT_EQ(device->Dpc.DeferredContext, routines ? device : nullptr);
        EXPECT_EQ(sim().timers.routine(device), routines ? Client::Timer : nullptr);
        EXPECT_EQ(+c.rec.DriverBlock->HasTimer, routines ? 1 : 0);
        EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
        EXPECT_EQ(device->DeviceType, 0xADC0u);
        c.Unload();
        EXPECT_EQ(sim().timers.count(), 0u);
    }
}

// Each platform operation of the setup failing once: the documented status, no card
// counted, nothing left behind, and the next card gets the failed card's index.
TEST_F(Setup, EveryFailingPlatformOperationLeavesNothing) {
    struct Row { const char *name; qorsim::Fault fault; bool ok; ULONG lastStatus; } rows[] = {
        {"device not created", qorsim::Fault::CreateDevice, false, kNoSuchDevice},
        {"link not created: the card still works", qorsim::Fault::CreateSymbolicLink, true, kNoSuchDevice},
        {"no slot resources", qorsim::Fault::AssignSlotResources, false, kNoResources},
        {"a port not translated", qorsim::Fault::TranslateBusAddress, false, kPortsNotTranslated},
        {"no interrupt vector", qorsim::Fault::InterruptVector, false, kIrqBusy},
        {"interrupt not connected", qorsim::Fault::ConnectInterrupt, false, kIrqBusy},
        {"no buffer memory", qorsim::Fault::ContiguousMemory, false, kBufferSetupFailed},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        sim().reset();
        AddS5933(0, 1, 0, 0xC000, 11).poke(4, 2, 0x0004);
        AddS5933(0, 2, 0, 0xC100, 11).poke(4, 2, 0x0004);
        Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
        c.desp.Buffers[0] = QorDespBuffer{0x0003, {}, 16, 16};
        sim().registry.set_dword(c.registryText + u"\\Parameters", u"AI", 8);
        Find(c);
        const size_t blocks = sim().pool.live_blocks().size();
        sim().faults.fail_nth(row.fault, 1);
        EXPECT_EQ(QorEnumDevice(&c.rec), row.ok);
        EXPECT_EQ(+c.rec.LastStatus, row.lastStatus);
        if (!row.ok) {
            EXPECT_EQ(+c.rec.CardCount, 0);
            EXPECT_TRUE(Devices().empty());
            EXPECT_TRUE(Links().empty());
            EXPECT_TRUE(sim().interrupts.connected().empty());
            EXPECT_EQ(sim().pci.assigned_count(), 0u);
            EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
            EXPECT_EQ(sim().pool.live_blocks().size(), blocks);
            ASSERT_TRUE(QorFindDeviceNext(&c.rec));
            ASSERT_TRUE(QorEnumDevice(&c.rec));
            EXPECT_EQ(Devices(), std::vector<std::string>{"\\DEVICE\\ACQDEV0"}) << "the failed card's number is reused";
        } else {
            EXPECT_EQ(+c.rec.CardCount, 1);
            EXPECT_TRUE(Links().empty());
        }
        c.Unload();
    }
}

TEST_F(Setup, EveryFailingAllocationLeavesNothing) {
    AddS5933(0, 1, 0, 0xC000, 11).poke(4, 2, 0x0004);
    Client c(u"acqdrv", u"AcqDev", u"ACQ", 0, kVendor, kS5933Card);
    c.desp.HasDualInt = 1;
    c.desp.HasAuxEvent = 1;
    ASSERT_TRUE(QorFindDeviceBegin(&c.rec));
    // The setup's allocations in order: three name strings (header and buffer each), the
    // device object, the resource list, the two event pairs.
    const ULONG expected[] = {kNoSuchDevice, kNoSuchDevice, kNoSuchDevice, kNoSuchDevice, kNoSuchDevice,
                              kNoSuchDevice, kNoSuchDevice, kNoResources, kBufferSetupFailed,
                              kBufferSetupFailed};
    size_t run = 0;
    const uint64_t allocations = SweepAllocationFailures([&] {
        c.rec.BusNumber = 0;
        c.rec.DeviceNumber = 0;
        c.rec.LastStatus = kNoSuchDevice;
        EXPECT_TRUE(QorFindDeviceNext(&c.rec));
        const bool ok = QorEnumDevice(&c.rec);
        if (ok) {
            EXPECT_EQ(+c.rec.CardCount, 1);
            sim().pool.clear_faults(); // the sweep is about the setup, not this drop
            QorDropDevice(c.rec.DeviceObject);
            c.rec.CardCount = 0;
        } else if (run < std::size(expected)) {
            EXPECT_EQ(+c.rec.LastStatus, expected[run]) << "allocation " << run + 1;
            EXPECT_EQ(+c.rec.CardCount, 0);
        }
        EXPECT_TRUE(Devices().empty());
        EXPECT_TRUE(Links().empty());
        ++run;
        return ok;
    });
    EXPECT_EQ(allocations, std::size(expected) + 4) << "and the drop's two link-name strings";
    c.Unload();
}

} // namespace
