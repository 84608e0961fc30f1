// The client's unload when a device's drop cannot finish: the driver block stays with the
// device that is left, and a second unload finishes the teardown without reading freed
// memory, after any failing allocation of the first one.
#include <gtest/gtest.h>

#include "support/enum_fixture.h"

namespace {

class UnloadRetry : public EnumTest {
protected:
    struct AcqClient : Client {
        AcqClient() : Client(u"acqdrv", u"AcqDev", u"ACQ", QOR_CONTROLLER_S5933, kVendor, kS5933Card)
        {
            desp.Buffers[QOR_KIND_ANALOG_INPUT] = QorDespBuffer{0x0003, {}, 16, 64};
            desp.HasDualInt = 1;
            desp.HasAuxEvent = 1;
        }
    };
    std::unique_ptr<AcqClient> acq;
    qorsim::Process *program = nullptr;

    // Two S5933 cards with buffers, enumerated; the first opened and closed by a program
    // that is still running, so the unload has events and a view's history to deal with.
    void Build()
    {
        models.clear();
        AddS5933(0, 3, 0, 0xD000, 11);
        AddS5933(0, 4, 0, 0xD100, 10);
        acq = std::make_unique<AcqClient>();
        sim().registry.set_dword(acq->registryText + u"\\Parameters", u"AI", 8);
        ASSERT_TRUE(QorFindDeviceBegin(&acq->rec));
        const auto cards = acq->EnumerateAll();
        ASSERT_EQ(cards.size(), 2u);
        program = &sim().processes.create("acqapp");
        qorsim::InProcess in(*program);
        ASSERT_TRUE(QorOpenDevice(cards[0]->DeviceObject));
        qorsim::IoctlRequest close(0, nullptr, 0, 0);
        QorCloseDevice(cards[0]->DeviceObject, close.irp());
    }

    // Nothing of the client is left in the kernel.
    void ExpectNothingLeft(const std::string &when)
    {
        SCOPED_TRACE(when);
        EXPECT_EQ(acq->driver.DeviceObject, nullptr);
        EXPECT_TRUE(Devices().empty());
        EXPECT_TRUE(Links().empty());
        EXPECT_TRUE(sim().interrupts.connected().empty());
        EXPECT_EQ(sim().pci.assigned_count(), 0u);
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.open_count(), 0u);
        EXPECT_EQ(sim().events.count(), 0u);
        QorDeleteUcs(acq->rec.FpgaFileName);
        acq->rec.FpgaFileName = nullptr;
        EXPECT_EQ(sim().pool.leak_report(), "");
        EXPECT_TRUE(sim().verifier.violations().empty())
            << "first violation: " << sim().verifier.violations().front();
    }
};

// Every allocation the unload makes fails in turn (the first is the newest device's link
// name: its drop stops before the device goes, having released the card's resources), and
// every other platform operation that can fail is made to fail from its first call; the
// second unload then finishes.
TEST_F(UnloadRetry, SweepOfFailuresDuringUnloadThenASecondUnload)
{
    uint64_t k = 1;
    for (;; ++k) {
        ASSERT_LE(k, 32u) << "the unload never ran without an injected failure";
        sim().reset();
        Build();
        const uint64_t failures = sim().pool.failures();
        sim().pool.fail_nth(k);
        QorUnloadDriver(&acq->driver);
        sim().pool.clear_faults();
        const bool injected = sim().pool.failures() != failures;
        // A device left by a failed drop keeps the driver block: a client that tries to
        // free the block itself meanwhile must not free it under the device.
        if (PDEVICE_OBJECT left = acq->driver.DeviceObject)
            QorDropDriver(static_cast<QorDevExt *>(left->DeviceExtension)->DriverBlock);
        QorUnloadDriver(&acq->driver);
        sim().processes.end(*program);
        ExpectNothingLeft("allocation " + std::to_string(k) + " failing");
        if (!injected)
            break;
    }
    EXPECT_GE(k, 3u) << "two drops, two allocations each";

    for (int f = 0; f < static_cast<int>(qorsim::Fault::Count); ++f) {
        sim().reset();
        Build();
        sim().faults.fail_nth(static_cast<qorsim::Fault>(f), 1, true);
        QorUnloadDriver(&acq->driver);
        sim().faults.clear();
        QorUnloadDriver(&acq->driver);
        sim().processes.end(*program);
        ExpectNothingLeft("platform fault " + std::to_string(f));
    }
}

} // namespace
