// Where the images test program finds the shipped images (the nt build's qorpelk.sys and
// acqdrv.sys) and how it loads them; support/sample_machine_fixture.h loads both onto the
// default machine.
#pragma once

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "support/sim_fixture.h"
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

inline constexpr const char *kLibraryKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelk";
