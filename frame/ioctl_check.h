// Request validation against the request-length table.
#pragma once

#include "qor_platform.h"

namespace qor {

// The request-length table in table order, ended by one all-zero row.
constexpr int kIoctlRows = 52;
extern const QorIoctlLength kIoctlLengthTable[kIoctlRows + 1];

// The lengths of a request code's row, or null when the table has none (code 0 included).
const QorIoctlLength *FindIoctlRow(ULONG code);

} // namespace qor
