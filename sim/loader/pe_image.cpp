// The PE32 loader: headers, sections, base relocations, exports, imports, protection,
// INIT. Every field read from the file is checked against the file and the image before
// it is used: a damaged image is refused with what is wrong, never half mapped.
#include "pe_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "exports.h"
#include "image_context.h"

namespace qorsim {

void register_init_range(const DriverImage *image, uintptr_t start, uintptr_t end);
void forget_init_ranges(const DriverImage *image);

namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;
constexpr uint16_t kRelAbsolute = 0, kRelHighLow = 3;

uint16_t U16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

std::string Hex(uint64_t v)
{
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::mutex g_images_mutex;
std::vector<DriverImage *> g_images; // in load order

} // namespace

const uint8_t *DriverImage::at(uint32_t rva, uint32_t bytes) const
{
    if (rva > size_ || bytes > size_ - rva)
        return nullptr;
    return base_ + rva;
}

std::unique_ptr<DriverImage> DriverImage::load_file(const std::string &path, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t slash = path.find_last_of("/\\");
    return load(slash == std::string::npos ? path : path.substr(slash + 1), bytes, error);
}

std::unique_ptr<DriverImage> DriverImage::load(const std::string &name, const std::vector<uint8_t> &bytes,
                                               std::string *error)
{
    std::unique_ptr<DriverImage> image(new DriverImage);
    image->name_ = name;
    std::string why;
    if (!image->map(bytes, &why) || !image->relocate(&why) || !image->read_exports(&why) || !image->bind(&why)) {
        *error = name + ": " + why;
        return nullptr; // the destructor unmaps what was mapped
    }
    image->protect();
    {
        std::lock_guard<std::mutex> lock(g_images_mutex);
        g_images.push_back(image.get());
    }
    note_images_present(true);
    return image;
}

DriverImage::~DriverImage()
{
    forget_init_ranges(this);
    std::vector<std::string> importers;
    {
        std::lock_guard<std::mutex> lock(g_images_mutex);
        for (DriverImage *other : g_images)
            if (other != this &&
                std::find(other->imported_from_.begin(), other->imported_from_.end(), this) != other->imported_from_.end())
                importers.push_back(other->name_);
        g_images.erase(std::remove(g_images.begin(), g_images.end(), this), g_images.end());
        if (g_images.empty())
            note_images_present(false);
    }
    for (const std::string &importer : importers)
        machine().verifier.violation(name_ + " unloaded while " + importer + " imports from it");
    if (base_ != nullptr)
        image_space_release(base_, reserved_);
}

bool DriverImage::map(const std::vector<uint8_t> &file, std::string *error)
{
    auto fileAt = [&](size_t offset, size_t bytes) -> const uint8_t * {
        return offset <= file.size() && bytes <= file.size() - offset ? file.data() + offset : nullptr;
    };
    const uint8_t *dos = fileAt(0, 64);
    if (dos == nullptr || dos[0] != 'M' || dos[1] != 'Z') {
        *error = "not a PE image (no MZ header)";
        return false;
    }
    const uint32_t peOffset = U32(dos + 0x3C);
    const uint8_t *pe = fileAt(peOffset, 24);
    if (pe == nullptr || memcmp(pe, "PE\0\0", 4) != 0) {
        *error = "not a PE image (no PE signature)";
        return false;
    }
    const uint8_t *fileHeader = pe + 4;
    if (U16(fileHeader) != kMachineI386) {
        *error = "not an i386 image (machine " + Hex(U16(fileHeader)) + ")";
        return false;
    }
    const unsigned sectionCount = U16(fileHeader + 2);
    const unsigned optionalSize = U16(fileHeader + 16);
    const uint8_t *opt = fileAt(peOffset + 24, optionalSize);
    if (opt == nullptr || optionalSize < 96 || U16(opt) != kPe32Magic) {
        *error = "no PE32 optional header";
        return false;
    }
    entry_rva_ = U32(opt + 16);
    preferred_base_ = U32(opt + 28);
    section_alignment_ = U32(opt + 32);
    size_ = U32(opt + 56);
    const uint32_t headerBytes = U32(opt + 60);
    const uint32_t directories = U32(opt + 92);
    auto directory = [&](unsigned n, uint32_t *out) {
        if (n < directories && 96 + 8 * (n + 1) <= optionalSize) {
            out[0] = U32(opt + 96 + 8 * n);
            out[1] = U32(opt + 100 + 8 * n);
        }
    };
    directory(0, export_dir_);
    directory(1, import_dir_);
    directory(5, reloc_dir_);
    if (size_ == 0 || size_ > 64u << 20 || headerBytes > size_ || headerBytes > file.size()) {
        *error = "image size " + Hex(size_) + " or header size " + Hex(headerBytes) + " out of range";
        return false;
    }
    const uint8_t *sectionTable = fileAt(peOffset + 24 + optionalSize, 40u * sectionCount);
    if (sectionTable == nullptr) {
        *error = "section table past the end of the file";
        return false;
    }
    reserved_ = (size_ + kPageSize - 1) & ~(kPageSize - 1);
    base_ = static_cast<uint8_t *>(image_space_reserve(reserved_));
    if (base_ == nullptr) {
        *error = "no system space for " + Hex(reserved_) + " bytes";
        return false;
    }
    memcpy(base_, file.data(), headerBytes);
    for (unsigned i = 0; i < sectionCount; ++i) {
        const uint8_t *s = sectionTable + 40 * i;
        ImageSection section;
        section.name.assign(reinterpret_cast<const char *>(s), strnlen(reinterpret_cast<const char *>(s), 8));
        const uint32_t virtualSize = U32(s + 8), rawSize = U32(s + 16), rawOffset = U32(s + 20);
        section.rva = U32(s + 12);
        section.size = virtualSize != 0 ? virtualSize : rawSize;
        section.characteristics = U32(s + 36);
        if (at(section.rva, section.size) == nullptr) {
            *error = "section " + section.name + " at " + Hex(section.rva) + " lies outside the image";
            return false;
        }
        const uint32_t copy = std::min(rawSize, section.size);
        const uint8_t *raw = fileAt(rawOffset, copy);
        if (copy != 0 && raw == nullptr) {
            *error = "section " + section.name + "'s data lies past the end of the file";
            return false;
        }
        if (copy != 0)
            memcpy(base_ + section.rva, raw, copy);
        sections_.push_back(section);
    }
    if (entry_rva_ == 0 || at(entry_rva_, 1) == nullptr) {
        *error = "entry point " + Hex(entry_rva_) + " outside the image";
        return false;
    }
    return true;
}

bool DriverImage::relocate(std::string *error)
{
    const uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_)) - preferred_base_;
    if (delta == 0)
        return true;
    if (reloc_dir_[1] == 0) {
        *error = "no base relocations, and it cannot sit at its preferred base " + Hex(preferred_base_);
        return false;
    }
    const uint8_t *block = at(reloc_dir_[0], reloc_dir_[1]);
    if (block == nullptr) {
        *error = "relocation directory outside the image";
        return false;
    }
    const uint8_t *end = block + reloc_dir_[1];
    while (block + 8 <= end) {
        const uint32_t page = U32(block), blockSize = U32(block + 4);
        if (blockSize < 8 || blockSize > static_cast<uint32_t>(end - block) || blockSize % 2 != 0) {
            *error = "damaged relocation block at page " + Hex(page);
            return false;
        }
        for (const uint8_t *e = block + 8; e + 2 <= block + blockSize; e += 2) {
            const uint16_t entry = U16(e);
            const uint16_t type = entry >> 12;
            if (type == kRelAbsolute)
                continue;
            if (type != kRelHighLow) {
                *error = "relocation of type " + std::to_string(type) + " at " + Hex(page + (entry & 0xFFF));
                return false;
            }
            uint8_t *target = const_cast<uint8_t *>(at(page + (entry & 0xFFF), 4));
            if (target == nullptr) {
                *error = "relocation at " + Hex(page + (entry & 0xFFF)) + " outside the image";
                return false;
            }
            const uint32_t value = U32(target) + delta;
            memcpy(target, &value, 4);
        }
        block += blockSize;
    }
    return true;
}

bool DriverImage::read_exports(std::string *error)
{
    if (export_dir_[1] == 0)
        return true;
    const uint8_t *dir = at(export_dir_[0], 40);
    if (dir == nullptr) {
        *error = "export directory outside the image";
        return false;
    }
    const uint32_t functionCount = U32(dir + 20), nameCount = U32(dir + 24);
    const uint8_t *functions = at(U32(dir + 28), 4 * functionCount);
    const uint8_t *names = at(U32(dir + 32), 4 * nameCount);
    const uint8_t *ordinals = at(U32(dir + 36), 2 * nameCount);
    if ((functionCount != 0 && functions == nullptr) || (nameCount != 0 && (names == nullptr || ordinals == nullptr))) {
        *error = "export tables outside the image";
        return false;
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        const uint8_t *name = at(U32(names + 4 * i), 1);
        const uint16_t ordinal = U16(ordinals + 2 * i);
        if (name == nullptr || ordinal >= functionCount) {
            *error = "export " + std::to_string(i) + " damaged";
            return false;
        }
        const size_t length = strnlen(reinterpret_cast<const char *>(name), size_ - (name - base_));
        const uint32_t rva = U32(functions + 4 * ordinal);
        if (at(rva, 1) == nullptr) {
            *error = "export " + std::string(reinterpret_cast<const char *>(name), length) + " outside the image";
            return false;
        }
        exports_.emplace_back(std::string(reinterpret_cast<const char *>(name), length), rva);
    }
    std::sort(exports_.begin(), exports_.end());
    return true;
}

void *DriverImage::export_address(std::string_view name) const
{
    auto it = std::lower_bound(exports_.begin(), exports_.end(), name,
                               [](const std::pair<std::string, uint32_t> &e, std::string_view n) { return e.first < n; });
    return it != exports_.end() && it->first == name ? base_ + it->second : nullptr;
}

bool DriverImage::bind(std::string *error)
{
    if (import_dir_[1] == 0)
        return true;
    std::vector<std::string> missing;
    for (uint32_t d = import_dir_[0];; d += 20) {
        const uint8_t *desc = at(d, 20);
        if (desc == nullptr) {
            *error = "import directory outside the image";
            return false;
        }
        const uint32_t lookupRva = U32(desc), nameRva = U32(desc + 12), iatRva = U32(desc + 16);
        if (lookupRva == 0 && nameRva == 0 && iatRva == 0)
            break;
        const uint8_t *moduleName = at(nameRva, 1);
        if (moduleName == nullptr) {
            *error = "import module name outside the image";
            return false;
        }
        const std::string module(reinterpret_cast<const char *>(moduleName),
                                 strnlen(reinterpret_cast<const char *>(moduleName), size_ - nameRva));
        DriverImage *provider = nullptr;
        if (!is_kernel_module(module)) {
            std::lock_guard<std::mutex> lock(g_images_mutex);
            for (DriverImage *loaded : g_images)
                if (SameName(loaded->name_, module))
                    provider = loaded;
        }
        const bool known = provider != nullptr || is_kernel_module(module);
        for (uint32_t i = 0;; ++i) {
            const uint8_t *lookup = at((lookupRva != 0 ? lookupRva : iatRva) + 4 * i, 4);
            uint8_t *slot = const_cast<uint8_t *>(at(iatRva + 4 * i, 4));
            if (lookup == nullptr || slot == nullptr) {
                *error = "import table of " + module + " outside the image";
                return false;
            }
            const uint32_t entry = U32(lookup);
            if (entry == 0)
                break;
            if (entry & 0x80000000u) {
                missing.push_back(module + "!#" + std::to_string(entry & 0xFFFF) + " (by ordinal)");
                continue;
            }
            const uint8_t *hintName = at(entry, 3);
            if (hintName == nullptr) {
                *error = "import name of " + module + " outside the image";
                return false;
            }
            const std::string routine(reinterpret_cast<const char *>(hintName + 2),
                                      strnlen(reinterpret_cast<const char *>(hintName + 2), size_ - entry - 2));
            const void *bound = nullptr;
            if (provider != nullptr)
                bound = provider->export_address(routine);
            else if (const KernelExport *k = find_kernel_export(module, routine))
                bound = image_entry(*k);
            if (bound == nullptr) {
                missing.push_back(module + "!" + routine +
                                  (known ? "" : " (" + module + " is not loaded)"));
                continue;
            }
            const uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bound));
            memcpy(slot, &value, 4);
            imports_.push_back(ImageImport{module, routine, bound});
        }
        if (provider != nullptr && std::find(imported_from_.begin(), imported_from_.end(), provider) == imported_from_.end())
            imported_from_.push_back(provider);
    }
    if (!missing.empty()) {
        *error = "imports what qorsim does not provide:";
        for (const std::string &m : missing)
            *error += " " + m;
        return false;
    }
    return true;
}

void DriverImage::protect()
{
    // Sections that share a page (an alignment below the page size) keep the page writable
    // and executable: protection is per page.
    if (section_alignment_ < kPageSize)
        return;
    mprotect(base_, kPageSize, PROT_READ);
    for (const ImageSection &s : sections_) {
        int prot = 0;
        if (s.characteristics & kScnRead)
            prot |= PROT_READ;
        if (s.characteristics & kScnWrite)
            prot |= PROT_WRITE | PROT_READ;
        if (s.characteristics & kScnExecute)
            prot |= PROT_EXEC | PROT_READ;
        const uint32_t bytes = (s.size + kPageSize - 1) & ~(kPageSize - 1);
        if (bytes != 0)
            mprotect(base_ + s.rva, bytes, prot);
    }
}

PDRIVER_INITIALIZE DriverImage::entry() const
{
    return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entry_rva_);
}

void DriverImage::discard_init()
{
    for (const ImageSection &s : sections_) {
        if (s.name != "INIT" || s.size == 0)
            continue;
        const uint32_t bytes = (s.size + kPageSize - 1) & ~(kPageSize - 1);
        register_init_range(this, base() + s.rva, base() + s.rva + bytes);
        mprotect(base_ + s.rva, bytes, PROT_NONE);
    }
    init_discarded_ = true;
}

const DriverImage *image_at(uintptr_t address)
{
    std::lock_guard<std::mutex> lock(g_images_mutex);
    for (const DriverImage *image : g_images)
        if (address >= image->base() && address - image->base() < image->size())
            return image;
    return nullptr;
}

std::string describe_address(uintptr_t address)
{
    const DriverImage *image = image_at(address);
    if (image == nullptr)
        return Hex(address);
    const uint32_t offset = static_cast<uint32_t>(address - image->base());
    std::string nearest;
    uint32_t nearestRva = 0;
    auto consider = [&](const std::string &name, uint32_t rva) {
        if (rva <= offset && (nearest.empty() || rva > nearestRva)) {
            nearest = name;
            nearestRva = rva;
        }
    };
    for (const auto &e : image->exports())
        consider(e.first, e.second);
    consider("DriverEntry", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(image->entry()) - image->base()));
    std::string text = image->name() + "+" + Hex(offset);
    if (!nearest.empty())
        text += " (" + nearest + "+" + Hex(offset - nearestRva) + ")";
    return text;
}

namespace {
// An instruction that ends right before `at` and calls: E8 rel32; FF /2 as call [disp32],
// call [reg+disp8], call [reg+disp32], call [reg], call reg.
bool FollowsCall(const uint8_t *at)
{
    if (at[-5] == 0xE8)
        return true;
    if (at[-6] == 0xFF && (at[-5] == 0x15 || (at[-5] & 0xF8) == 0x90))
        return true;
    if (at[-3] == 0xFF && (at[-2] & 0xF8) == 0x50)
        return true;
    return at[-2] == 0xFF && ((at[-1] & 0xF8) == 0xD0 || ((at[-1] & 0xF8) == 0x10 && at[-1] != 0x15));
}

// The slot may be stale (the call returned, its stack reused): read it unchecked.
__attribute__((no_sanitize("address"), noinline)) uint32_t ReadSlot(const uint32_t *slot) { return *slot; }
} // namespace

std::string image_call_site(const uint32_t *returnSlot, const void *stackBase)
{
    // A call still under way has its return address where the thunk found it: on the stack
    // above the caller of this, holding an address in an image right after a call.
    const auto *here = static_cast<const uint32_t *>(__builtin_frame_address(0));
    if (returnSlot == nullptr || returnSlot <= here || returnSlot >= static_cast<const uint32_t *>(stackBase))
        return "";
    const uint32_t returnAddress = ReadSlot(returnSlot);
    {
        std::lock_guard<std::mutex> lock(g_images_mutex);
        bool inCode = false;
        for (const DriverImage *image : g_images)
            for (const ImageSection &s : image->sections())
                if ((s.characteristics & kScnExecute) && s.size > 6 && !(s.name == "INIT" && image->init_discarded()) &&
                    returnAddress >= image->base() + s.rva + 6 && returnAddress <= image->base() + s.rva + s.size)
                    inCode = true;
        if (!inCode)
            return "";
    }
    if (!FollowsCall(reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(returnAddress))))
        return "";
    return describe_address(returnAddress);
}

// ---- a driver from its image --------------------------------------------------------------

namespace {
std::string DriverName(const std::string &file)
{
    const size_t dot = file.rfind('.');
    return dot == std::string::npos ? file : file.substr(0, dot);
}
} // namespace

ImageDriver::ImageDriver(std::unique_ptr<DriverImage> image, const std::string &registryPath)
    : image_(std::move(image)),
      driver_(std::make_unique<LoadedDriver>(DriverName(image_->name()), image_->entry(), registryPath))
{
    driver_->object()->DriverStart = reinterpret_cast<PVOID>(image_->base());
    driver_->object()->DriverSize = image_->size();
}

ImageDriver::~ImageDriver()
{
    unload();
    driver_.reset();
    image_.reset();
}

NTSTATUS ImageDriver::load()
{
    enter_image_context();
    const NTSTATUS status = driver_->load();
    image_->discard_init();
    return status;
}

void ImageDriver::unload()
{
    enter_image_context();
    driver_->unload();
}

} // namespace qorsim
