// PE32 kernel-mode driver images (qorpelk.sys, acqdrv.sys, a driver writer's own .sys),
// loaded as NT's loader does: the sections mapped page-aligned in system space, base
// relocations applied, each import bound by module and name (ntoskrnl.exe and HAL.dll to
// the simulator's export table, sim/ntoskrnl/exports.h; any other module to the exports
// of an image loaded before), the pages protected as the sections say, and the INIT
// section discarded once DriverEntry has returned. An access to a discarded INIT page
// afterwards is a verifier violation that names the address and ends the run.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qorsim.h"

namespace qorsim {

struct ImageSection {
    std::string name;
    uint32_t rva, size; // size: the section's virtual size
    uint32_t characteristics;
};

struct ImageImport {
    std::string module, name;
    const void *bound; // what the import address table entry holds
};

class DriverImage {
public:
    // Maps and binds an image file's bytes; `name` is the module name other images import
    // it by ("qorpelk.sys"). Null with *error set when the file is no i386 PE32 driver
    // image, does not fit, or imports what nothing provides (every missing import is named
    // as module!routine).
    static std::unique_ptr<DriverImage> load(const std::string &name, const std::vector<uint8_t> &bytes,
                                             std::string *error);
    static std::unique_ptr<DriverImage> load_file(const std::string &path, std::string *error);
    ~DriverImage(); // unmaps; an image others still import from is a verifier violation
    DriverImage(const DriverImage &) = delete;
    DriverImage &operator=(const DriverImage &) = delete;

    const std::string &name() const { return name_; }
    uintptr_t base() const { return reinterpret_cast<uintptr_t>(base_); }
    uint32_t size() const { return size_; }
    PDRIVER_INITIALIZE entry() const;
    const std::vector<ImageSection> &sections() const { return sections_; }
    const std::vector<ImageImport> &imports() const { return imports_; }
    // An exported routine's address, or null.
    void *export_address(std::string_view name) const;
    const std::vector<std::pair<std::string, uint32_t>> &exports() const { return exports_; }

    // Makes the INIT section inaccessible (NT frees its pages after DriverEntry).
    void discard_init();
    bool init_discarded() const { return init_discarded_; }

private:
    DriverImage() = default;
    bool map(const std::vector<uint8_t> &bytes, std::string *error);
    bool relocate(std::string *error);
    bool read_exports(std::string *error);
    bool bind(std::string *error);
    void protect();
    const uint8_t *at(uint32_t rva, uint32_t bytes) const; // null outside the image

    std::string name_;
    uint8_t *base_ = nullptr;
    uint32_t size_ = 0, reserved_ = 0;
    uint32_t preferred_base_ = 0, entry_rva_ = 0;
    uint32_t section_alignment_ = 0;
    uint32_t export_dir_[2] = {}, import_dir_[2] = {}, reloc_dir_[2] = {};
    std::vector<ImageSection> sections_;
    std::vector<ImageImport> imports_;
    std::vector<std::pair<std::string, uint32_t>> exports_; // name, rva; sorted by name
    std::vector<DriverImage *> imported_from_;
    bool init_discarded_ = false;
};

// The loaded image that holds an address, or null.
const DriverImage *image_at(uintptr_t address);
// "acqdrv.sys+0x1a2c (AcqDispatch+0x2c)" for an address in an image (nearest export or
// DriverEntry at or below it); "0x..." elsewhere.
std::string describe_address(uintptr_t address);

// The image's call whose return address the kernel-entry thunk recorded at returnSlot,
// described as describe_address does ("acqdrv.sys+0x1a2c (AcqDispatch+0x2c)"), while that
// call is under way on the calling thread (stackBase: the thread's stack end); "" when
// it has returned or the slot holds no image's call.
std::string image_call_site(const uint32_t *returnSlot, const void *stackBase);

// A driver loaded from its image: DriverEntry runs with the driver object and registry
// path, on a thread with an information block, and INIT is discarded when it returns.
class ImageDriver {
public:
    ImageDriver(std::unique_ptr<DriverImage> image, const std::string &registryPath);
    ~ImageDriver(); // unloads, then unmaps
    NTSTATUS load();
    void unload();
    DriverImage &image() { return *image_; }
    LoadedDriver &driver() { return *driver_; }

private:
    std::unique_ptr<DriverImage> image_;
    std::unique_ptr<LoadedDriver> driver_;
};

// System space for images: page-aligned read-write pages at or above 0x80000000, at the
// same addresses on every run.
void *image_space_reserve(size_t bytes);
void image_space_release(void *address, size_t bytes);

} // namespace qorsim
