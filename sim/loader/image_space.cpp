// Where images are mapped: NT's system space, at or above 0x80000000, at the same
// addresses on every run whether 32-bit programs run natively or under qemu-i386. The
// search starts at 0xC0000000, above what the host's own mappings of a 32-bit process
// use there, and takes the first free run: the same load order gives the same addresses.
#include "pe_image.h"

#include <sys/mman.h>

namespace qorsim {

namespace {
constexpr uintptr_t kImageSpaceStart = 0xC0000000u;
constexpr uintptr_t kImageSpaceEnd = 0xF0000000u;
constexpr uintptr_t kStep = 0x10000; // NT's allocation granularity
} // namespace

void *image_space_reserve(size_t bytes)
{
    bytes = (bytes + kPageSize - 1) & ~static_cast<size_t>(kPageSize - 1);
    for (uintptr_t at = kImageSpaceStart; at + bytes <= kImageSpaceEnd; at += kStep) {
        void *hint = reinterpret_cast<void *>(at);
        void *got = mmap(hint, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (got == hint)
            return got;
        if (got != MAP_FAILED) // an older kernel or emulator took it as a hint only
            munmap(got, bytes);
    }
    return nullptr;
}

void image_space_release(void *address, size_t bytes)
{
    bytes = (bytes + kPageSize - 1) & ~static_cast<size_t>(kPageSize - 1);
    munmap(address, bytes);
}

} // namespace qorsim
