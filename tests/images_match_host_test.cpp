// The shipped images against the host-compiled code of the same source: the nt build's
// qorpelk.sys and acqdrv.sys must drive the cards access for access as the host build
// does, from DriverEntry through a program's open, description and close. A difference is
// the cross compiler's code, a header that differs, or an import bound to the wrong routine.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "images/image_fixture.h"
#include "acqdrv_ioctl.h"
#include "control_device.h"
#include "default_machine.h"
#include "qorwin32.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

class ImagesAndHost : public SimTest {
protected:
    // Boots the default machine, loads the pair with `load`, runs a program's open,
    // description and close of the first card, unloads; the port accesses of each phase.
    struct Phases {
        std::vector<qorsim::PortAccess> entry, program, unload;
    };
    Phases Run(const std::function<void(std::function<void()>)> &withDrivers)
    {
        Phases p;
        sim().reset();
        {
            qorsim::DefaultMachine board;
            sim().ports.clear_trace();
            withDrivers([&] {
                p.entry = accesses();
                sim().ports.clear_trace();
                qorsim::Process &program = sim().processes.create("program");
                {
                    qorsim::InProcess in(program);
                    HANDLE h = CreateFileA("\\\\.\\AcqA0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                    EXPECT_NE(h, INVALID_HANDLE_VALUE);
                    QorDesp desp{};
                    DWORD n = 0;
                    EXPECT_TRUE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &desp, sizeof desp, &n, nullptr));
                    EXPECT_TRUE(CloseHandle(h));
                }
                sim().processes.end(program);
                p.program = accesses();
                sim().ports.clear_trace();
            });
            p.unload = accesses();
        }
        EXPECT_EQ(sim().pool.leak_report(), "");
        EXPECT_TRUE(sim().verifier.violations().empty()) << sim().verifier.violations().front();
        return p;
    }
};

TEST_F(ImagesAndHost, TheImagesDriveTheCardsAccessForAccessAsTheHostBuild)
{
    QOR_NEED_IMAGES();
    const Phases host = Run([](const std::function<void()> &use) {
        qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY, kLibraryKey);
        ASSERT_EQ(library.load(), STATUS_SUCCESS);
        qorsim::LoadedDriver driver("acqdrv", DriverEntry, qorsim::DefaultMachine::kServiceKeyAscii);
        ASSERT_EQ(driver.load(), STATUS_SUCCESS);
        use();
        driver.unload();
        library.unload();
    });
    const Phases images = Run([](const std::function<void()> &use) {
        auto library = LoadImageDriver("qorpelk.sys", kLibraryKey);
        ASSERT_NE(library, nullptr);
        ASSERT_EQ(library->load(), STATUS_SUCCESS);
        auto driver = LoadImageDriver("acqdrv.sys", qorsim::DefaultMachine::kServiceKeyAscii);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->load(), STATUS_SUCCESS);
        use();
        driver.reset();
        library.reset();
    });
    EXPECT_GT(host.entry.size(), 100u) << "the scan, the FPGA downloads and the resets";
    EXPECT_EQ(images.entry, host.entry) << "DriverEntry";
    EXPECT_FALSE(host.program.empty());
    EXPECT_EQ(images.program, host.program) << "open, description, close";
    EXPECT_EQ(images.unload, host.unload) << "unload";
}

} // namespace
