#include "image_drivers.h"

#include <sys/stat.h>

#include <fstream>

namespace qortool {

bool DriverSlot::use_image(const std::string &path, const std::string &registryPath, std::string *error)
{
    auto image = qorsim::DriverImage::load_file(path, error);
    if (image == nullptr)
        return false;
    image_ = std::make_unique<qorsim::ImageDriver>(std::move(image), registryPath);
    return true;
}

bool is_pe_image(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false; // a pipe would block the read
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

std::string default_image_dir() { return QOR_DEFAULT_IMAGE_DIR; }

} // namespace qortool
