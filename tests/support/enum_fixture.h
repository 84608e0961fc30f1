// A machine with PCI cards and a client driver that enumerates them: the client's find
// record with its names, routines and description template, card builders for the three
// bridge chips, and an interrupt routine that counts its calls per device object.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "support/sim_fixture.h"
#include "models/fpga_port.h"
#include "models/plx9050.h"
#include "models/plx9080.h"
#include "models/s5933.h"
#include "qorpelk.h"

// One client driver: its driver object, registry path and find record.
struct Client {
    DRIVER_OBJECT driver{};
    UNICODE_STRING registryPath{};
    std::u16string registryText;
    QorDesp desp{};
    QorFindRecord rec{};

    static inline std::map<PVOID, int> isrCalls;
    static BOOLEAN NTAPI Isr(PKINTERRUPT, PVOID context) {
        ++isrCalls[context];
        return TRUE;
    }
    static VOID NTAPI Dpc(PKDPC, PVOID, PVOID, PVOID) {}
    static VOID NTAPI Timer(PDEVICE_OBJECT, PVOID) {}

    Client(const Client &) = delete; // the record points into the client
    Client &operator=(const Client &) = delete;
    Client(const char16_t *service, const char16_t *deviceName, const char16_t *dosName, USHORT type,
           USHORT vendor, USHORT device) {
        registryText = std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + service;
        RtlInitUnicodeString(&registryPath, registryText.c_str());
        driver.Type = 4;
        driver.Size = sizeof(DRIVER_OBJECT);
        rec.VendorId = vendor;
        rec.DeviceId = device;
        rec.ControllerType = type;
        rec.DriverObject = &driver;
        rec.RegistryPath = &registryPath;
        rec.BaseName = service;
        rec.DeviceName = deviceName;
        rec.DosName = dosName;
        rec.InterruptRoutine = Isr;
        rec.PortCount = 4;
        rec.Desp = &desp;
    }

    // Scans and sets up every card; returns the record's DevExt of each card set up.
    std::vector<QorDevExt *> EnumerateAll() {
        std::vector<QorDevExt *> cards;
        while (QorFindDeviceNext(&rec))
            if (QorEnumDevice(&rec))
                cards.push_back(+rec.DevExt);
        return cards;
    }

    // What a client's unload does, and the file name the client owns.
    void Unload() {
        if (driver.DeviceObject != nullptr)
            QorUnloadDriver(&driver);
        else
            QorDropDriver(rec.DriverBlock);
        rec.DriverBlock = nullptr;
        QorDeleteUcs(rec.FpgaFileName);
        rec.FpgaFileName = nullptr;
    }
};

class EnumTest : public SimTest {
protected:
    // Vendor and device IDs of the test clients' cards.
    static constexpr USHORT kVendor = 0x1A2B;
    static constexpr USHORT kS5933Card = 0x0101;

    std::vector<std::unique_ptr<qorsim::PortDevice>> models;

    void SetUp() override {
        SimTest::SetUp();
        Client::isrCalls.clear();
    }

    template <class Model> Model *NewModel() {
        models.push_back(std::make_unique<Model>());
        return static_cast<Model *>(models.back().get());
    }

    // An S5933 card: BAR0 the chip's registers, BAR1 the port-I/O range, BAR2 the FPGA
    // configuration port, bus master off as after power-on.
    qorsim::PciFunction &AddS5933(ULONG bus, ULONG dev, ULONG fn, uint32_t io, uint8_t line,
                                  USHORT vendor = kVendor, USHORT device = kS5933Card) {
        auto &f = sim().pci.add_function(bus, dev, fn, vendor, device);
        f.set_io_bar(0, io, 0x40, NewModel<qorsim::models::S5933>(), "s5933");
        f.set_io_bar(1, io + 0x40, 0x20);
        f.set_io_bar(2, io + 0x60, 0x10);
        f.set_interrupt_line(line);
        return f;
    }

    // A PLX 9050 card: BAR0 the chip's memory window, BAR1 its I/O window, BAR2 and BAR3
    // local I/O spaces, BAR5 memory.
    qorsim::PciFunction &AddPlx9050(ULONG bus, ULONG dev, ULONG fn, uint32_t window, uint32_t local,
                                    uint8_t line, USHORT vendor, USHORT device) {
        auto &f = sim().pci.add_function(bus, dev, fn, vendor, device);
        f.set_memory_bar(0, 0xE0000000 + (window << 4), 0x80);
        f.set_io_bar(1, window, 0x80, NewModel<qorsim::models::Plx9050>(), "plx9050");
        f.set_io_bar(2, local, 0x100);
        f.set_io_bar(3, local + 0x200, 0x10);
        f.set_memory_bar(5, 0xE1000000 + (window << 4), 0x1000);
        f.set_interrupt_line(line);
        return f;
    }

    // A PLX 9080 card: BAR0 memory, BAR1 the chip's I/O window, BAR2 a local I/O space,
    // BAR3 the FPGA configuration port.
    qorsim::PciFunction &AddPlx9080(ULONG bus, ULONG dev, ULONG fn, uint32_t io, uint8_t line,
                                    USHORT vendor, USHORT device) {
        auto &f = sim().pci.add_function(bus, dev, fn, vendor, device);
        f.set_memory_bar(0, 0xE2000000 + (io << 4), 0x100);
        f.set_io_bar(1, io, 0x100, NewModel<qorsim::models::Plx9080>(), "plx9080");
        f.set_io_bar(2, io + 0x100, 0x40);
        f.set_io_bar(3, io + 0x140, 0x10);
        f.set_interrupt_line(line);
        return f;
    }

    // Names in the object namespace, as ASCII.
    std::vector<std::string> Devices() const {
        std::vector<std::string> out;
        for (const auto &n : qorsim::machine().objects.device_names())
            out.push_back(qorsim::to_ascii(n));
        return out;
    }
    std::vector<std::string> Links() const {
        std::vector<std::string> out;
        for (const auto &n : qorsim::machine().objects.link_names())
            out.push_back(qorsim::to_ascii(n));
        return out;
    }
};
