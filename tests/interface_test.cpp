// The exported interface as clients see it: C and C++ agree on every record, and the
// request codes are well-formed buffered codes of the cards' device type.
#include <gtest/gtest.h>

#include <set>

#include "ioctl_check.h"
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

TEST(Interface, RequestCodesAreBufferedCodesOfTheCardDeviceType) {
    std::set<ULONG> seen;
    int variable = 0;
    for (int i = 0; i < qor::kIoctlRows; ++i) {
        const QorIoctlLength &row = qor::kIoctlLengthTable[i];
        EXPECT_EQ(row.Code >> 16, 0xADC0u) << std::hex << row.Code;
        EXPECT_EQ(row.Code & 3u, 0u) << "METHOD_BUFFERED";
        EXPECT_EQ((row.Code >> 14) & 3u, 0u) << "FILE_ANY_ACCESS";
        EXPECT_GE(row.OutputLength, 2u) << "every answer carries the status";
        EXPECT_TRUE(seen.insert(row.Code).second) << "duplicate code " << std::hex << row.Code;
        if ((row.Code & QOR_IOCTL_VARIABLE_MASK) == QOR_IOCTL_VARIABLE_MATCH) {
            ++variable;
            EXPECT_EQ(row.InputLength, sizeof(QorContRequest));
        }
    }
    EXPECT_EQ(variable, 4);
    EXPECT_EQ(qor::kIoctlLengthTable[qor::kIoctlRows].Code, 0u);
    EXPECT_EQ(QOR_IOCTL_GET_DESP, 0xADC02040u);
    EXPECT_EQ(qor::FindIoctlRow(QOR_IOCTL_GET_DESP)->OutputLength, sizeof(QorDesp));
}
