// The target side of the generated forwarders: the slot of each exported name, and the
// routine every forwarder calls first to find its target, which also gives the calling
// thread its information block (the image's code may use fs:[0]).
#include "images/library_forwarders.h"

#include <cstdio>
#include <cstdlib>

#include "image_context.h"

extern "C" const char *const qor_library_forwarder_names[];
extern "C" const unsigned qor_library_forwarder_count;

namespace {
void *g_slots[256];
} // namespace

void BindLibraryForwarders(const qorsim::DriverImage *image)
{
    for (unsigned i = 0; i < qor_library_forwarder_count && i < 256; ++i)
        g_slots[i] = image != nullptr ? image->export_address(qor_library_forwarder_names[i]) : nullptr;
}

extern "C" __attribute__((visibility("hidden"))) void *qor_library_forwarder_target(unsigned index)
{
    qorsim::enter_image_context();
    if (index >= qor_library_forwarder_count || g_slots[index] == nullptr) {
        fprintf(stderr, "qorsim: %s called, but no loaded qorpelk.sys exports it\n",
                index < qor_library_forwarder_count ? qor_library_forwarder_names[index] : "?");
        abort();
    }
    return g_slots[index];
}
