// The exported interface as clients see it: C and C++ agree on every record. The request
// table's rows are checked against the documented table in ioctl_check_test.cpp.
#include <gtest/gtest.h>

#include "qor_platform.h"

extern "C" unsigned qor_c99_layout(unsigned index);
extern "C" unsigned qor_cxx_layout(unsigned index);
#include "interface/layout_list.h"

TEST(Interface, CAndCxxClientsAgreeOnEveryRecordLayout) {
    for (unsigned i = 0; i < QOR_LAYOUT_COUNT; ++i)
        EXPECT_EQ(qor_c99_layout(i), qor_cxx_layout(i)) << "entry " << i;
    EXPECT_EQ(qor_c99_layout(0), 348u);
    EXPECT_EQ(qor_c99_layout(8), 79u); // QorDevExt.PortCount at its odd offset
    EXPECT_EQ(qor_c99_layout(QOR_LAYOUT_COUNT), 0u);
}
