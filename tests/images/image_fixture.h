// The default machine with the shipped images loaded: build/nt/qorpelk.sys and then
// acqdrv.sys, which binds to it, mapped, bound and entered as NT loads them. The teardown
// unloads both, ends the test's programs and then nothing may be left, as for the
// host-compiled pair (support/sample_machine_fixture.h).
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "support/sim_fixture.h"
#include "default_machine.h"
#include "pe_image.h"

// The folder of the nt build; a test program is told where with QOR_NT_IMAGE_DIR.
inline std::string ImagePath(const std::string &file) { return std::string(QOR_NT_IMAGE_DIR) + "/" + file; }

// Without the nt build there is nothing to load: the test is skipped, unless the run asks
// for the images (make test sets QOR_REQUIRE_IMAGES), where that is a failure.
#define QOR_NEED_IMAGES()                                                                          \
    do {                                                                                           \
        if (!std::ifstream(ImagePath("qorpelk.sys")) || !std::ifstream(ImagePath("acqdrv.sys"))) { \
            if (std::getenv("QOR_REQUIRE_IMAGES") != nullptr)                                      \
                FAIL() << "no images in " << QOR_NT_IMAGE_DIR << ": build the nt preset first";   \
            GTEST_SKIP() << "no images in " << QOR_NT_IMAGE_DIR << " (build the nt preset)";       \
        }                                                                                          \
    } while (0)

inline std::unique_ptr<qorsim::ImageDriver> LoadImageDriver(const std::string &file, const std::string &registryPath)
{
    std::string error;
    auto image = qorsim::DriverImage::load_file(ImagePath(file), &error);
    EXPECT_NE(image, nullptr) << error;
    if (image == nullptr)
        return nullptr;
    return std::make_unique<qorsim::ImageDriver>(std::move(image), registryPath);
}

class ImageMachineTest : public SimTest {
protected:
    static constexpr const char *kLibraryKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelk";
    std::unique_ptr<qorsim::DefaultMachine> board;
    std::unique_ptr<qorsim::ImageDriver> library, driver;

    void SetUp() override
    {
        SimTest::SetUp();
        QOR_NEED_IMAGES();
        board = std::make_unique<qorsim::DefaultMachine>();
        library = LoadImageDriver("qorpelk.sys", kLibraryKey);
        ASSERT_NE(library, nullptr);
        ASSERT_EQ(library->load(), STATUS_SUCCESS);
        driver = LoadImageDriver("acqdrv.sys", qorsim::DefaultMachine::kServiceKeyAscii);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        sim().dpcs.drain();
        driver.reset(); // unloads, then unmaps
        library.reset();
        EndPrograms();
        board.reset();
        EXPECT_TRUE(sim().objects.device_names().empty());
        EXPECT_TRUE(sim().objects.link_names().empty());
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.leak_report(), "");
        SimTest::TearDown();
    }
    virtual void EndPrograms() {}
};
