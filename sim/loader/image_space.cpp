// Where images are mapped: NT's system space, in the system ranges the address space keeps
// for page-granular mappings (sim/machine/address_space.h), at the same addresses on every
// run whether 32-bit programs run natively or under qemu-i386.
#include "pe_image.h"

#include "address_space.h"

namespace qorsim {

void *image_space_reserve(size_t bytes) { return system_space_reserve(bytes); }

void image_space_release(void *address, size_t bytes) { system_space_release(address, bytes); }

} // namespace qorsim
