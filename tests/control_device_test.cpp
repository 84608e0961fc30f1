// The library's control device: loaded, answering create and close, and gone after unload.

#include "support/sim_fixture.h"
#include "control_device.h"

namespace {

const std::u16string kDevice = u"\\Device\\QorPelk";
const std::u16string kLink = u"\\DosDevices\\QORPELK";

class ControlDevice : public SimTest {};

TEST_F(ControlDevice, AnswersCreateAndCloseUntilUnloaded) {
    qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelk");
    ASSERT_EQ(library.load(), STATUS_SUCCESS);
    PDEVICE_OBJECT device = sim().objects.device(kDevice);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_UNKNOWN});
    EXPECT_EQ(device->DeviceExtension, nullptr);
    EXPECT_EQ(sim().objects.link_target(kLink), kDevice);

    for (UCHAR major : {UCHAR{IRP_MJ_CREATE}, UCHAR{IRP_MJ_CLOSE}}) {
        const qorsim::FileRequestResult r = qorsim::send_file_request(u"\\DosDevices\\qorpelk", major);
        EXPECT_TRUE(r.delivered);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.completions, 1);
    }
    // Only create and close are served; other requests get the I/O manager's default.
    EXPECT_EQ(library.object()->MajorFunction[IRP_MJ_DEVICE_CONTROL], nullptr);

    library.unload();
    EXPECT_EQ(sim().objects.device(kDevice), nullptr);
    EXPECT_FALSE(sim().objects.has_link(kLink));
}

TEST_F(ControlDevice, LoadFailsCleanlyWhenTheLinkNameIsTaken) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, kLink.c_str());
    RtlInitUnicodeString(&target, u"\\Device\\Other");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY, "");
    EXPECT_EQ(library.load(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim().objects.device(kDevice), nullptr);
    EXPECT_EQ(library.object()->DeviceObject, nullptr);
    IoDeleteSymbolicLink(&link);
}

TEST_F(ControlDevice, LoadFailsWithTheDeviceStatusWhenNoDeviceCanBeMade) {
    sim().pool.fail_nth(1); // the device object's allocation
    qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY, "");
    EXPECT_EQ(library.load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim().objects.link_names().empty());
}

} // namespace
