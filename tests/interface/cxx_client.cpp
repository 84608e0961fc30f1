// The interface as a C++ client driver includes it.
#if defined(_WIN32)
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#include <ntddk.h>
#include "qorpelk.h"
#include "layout_list.h"

extern "C" unsigned qor_cxx_layout(unsigned index)
{
    static const unsigned layout[] = {QOR_LAYOUT_VALUES};
    return index < sizeof layout / sizeof layout[0] ? layout[index] : 0u;
}
