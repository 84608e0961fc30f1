// The default machine with the library and the sample driver loaded, as a user program
// meets it: the host-compiled pair, or in the images test program (QOR_TEST_IMAGES) the nt
// build's qorpelk.sys and acqdrv.sys loaded from their files. The teardown unloads both drivers, ends the test's programs (EndPrograms), and
// then nothing may be left: devices, links, contiguous memory, handles, and what SimTest
// checks.
#pragma once

#include <memory>
#include <vector>

#include "support/sim_fixture.h"
#include "control_device.h"
#include "default_machine.h"
#include "qorwin32.h"

#ifdef QOR_TEST_IMAGES
#include "images/image_fixture.h"
#include "images/library_forwarders.h"
#else
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
#endif

class SampleMachineTest : public SimTest {
protected:
    std::unique_ptr<qorsim::DefaultMachine> board;
#ifdef QOR_TEST_IMAGES
    std::unique_ptr<qorsim::ImageDriver> library, driver;
#else
    std::unique_ptr<qorsim::LoadedDriver> library, driver;
#endif

    void SetUp() override
    {
        SimTest::SetUp();
#ifdef QOR_TEST_IMAGES
        QOR_NEED_IMAGES();
        board = std::make_unique<qorsim::DefaultMachine>();
        library = LoadImageDriver("qorpelk.sys", kLibraryKey);
        ASSERT_NE(library, nullptr);
        BindLibraryForwarders(&library->image());
        ASSERT_EQ(library->load(), STATUS_SUCCESS);
        driver = LoadImageDriver("acqdrv.sys", qorsim::DefaultMachine::kServiceKeyAscii);
        ASSERT_NE(driver, nullptr);
#else
        board = std::make_unique<qorsim::DefaultMachine>();
        library = std::make_unique<qorsim::LoadedDriver>("qorpelk", QOR_LIBRARY_ENTRY, "");
        ASSERT_EQ(library->load(), STATUS_SUCCESS);
        driver = std::make_unique<qorsim::LoadedDriver>("acqdrv", DriverEntry, qorsim::DefaultMachine::kServiceKeyAscii);
#endif
        ASSERT_EQ(driver->load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        sim().dpcs.drain();
        driver.reset(); // unloads
        library.reset();
        EndPrograms();
        board.reset();
        EXPECT_TRUE(sim().objects.device_names().empty());
        EXPECT_TRUE(sim().objects.link_names().empty());
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.leak_report(), "");
        SimTest::TearDown();
    }
    // A simulated user program of the test, ended after the unload by EndPrograms.
    qorsim::Process &CreateProgram(const char *name)
    {
        programs_.push_back(&sim().processes.create(name));
        return *programs_.back();
    }
    // Ends the programs CreateProgram made (after the unload, or earlier when a test asks).
    virtual void EndPrograms()
    {
        for (qorsim::Process *p : programs_)
            sim().processes.end(*p);
        programs_.clear();
    }

public:
    // Opens a card for reading and writing, as the sample program does.
    static HANDLE Open(const char *card)
    {
        return CreateFileA(card, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

private:
    std::vector<qorsim::Process *> programs_;
};
