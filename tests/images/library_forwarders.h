// The library's exported functions in the images test program are forwarders: each jumps
// to the routine of that name that the loaded qorpelk.sys exports, so the tests call the
// shipped code by the same names as the host-compiled library's. The forwarders are
// generated from the interface headers' declarations (cmake/host.cmake).
#pragma once

#include "pe_image.h"

// Binds every forwarder to `image`'s export of its name; null unbinds them. A call of an
// unbound forwarder ends the run naming the function.
void BindLibraryForwarders(const qorsim::DriverImage *image);
