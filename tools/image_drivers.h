// A driver the command line loads: the host-compiled code built into the program (the
// library, the sample driver, or a writer's driver built as a shared object), or a PE32
// image (qorpelk.sys, acqdrv.sys, a writer's own .sys built with mingw-w64 or another NT 4
// DDK toolchain) that the simulator's loader maps and binds.
#pragma once

#include <memory>
#include <string>

#include "pe_image.h"

namespace qortool {

class DriverSlot {
public:
    void use_host(const std::string &name, PDRIVER_INITIALIZE entry, const std::string &registryPath)
    {
        host_ = std::make_unique<qorsim::LoadedDriver>(name, entry, registryPath);
    }
    // Maps the image; false with *error naming what is wrong (a missing import among them).
    bool use_image(const std::string &path, const std::string &registryPath, std::string *error);
    bool is_image() const { return image_ != nullptr; }
    NTSTATUS load() { return image_ ? image_->load() : host_->load(); }
    void unload() { image_ ? image_->unload() : host_->unload(); }
    qorsim::LoadedDriver &driver() { return image_ ? image_->driver() : *host_; }

private:
    std::unique_ptr<qorsim::LoadedDriver> host_;
    std::unique_ptr<qorsim::ImageDriver> image_;
};

// True for a regular file that starts as a PE image does ("MZ").
bool is_pe_image(const std::string &path);
// The folder of the nt build the program was configured with (its qorpelk.sys and acqdrv.sys).
std::string default_image_dir();

} // namespace qortool
