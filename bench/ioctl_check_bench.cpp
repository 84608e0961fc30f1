// Request validation, per call, for every row of the request-length table as an accepted
// request, and for codes outside it. The baseline calls an empty function of the same
// signature, so each figure is what validation executes from its entry to its return.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "icount.h"
#include "ioctl_check.h"
#include "qorsim.h"
#include "table.h"

namespace {

constexpr uint32_t kCalls = 64;
constexpr ULONG kListCountOffset = 16;

void CallCheck(void *irp) { QorIocCheckBufferLength(static_cast<PIRP>(irp)); }
void CallEmpty(void *irp) { qor_bench_return4(irp); }

bool IsVariable(ULONG code) { return (code & QOR_IOCTL_VARIABLE_MASK) == QOR_IOCTL_VARIABLE_MATCH; }

// An accepted request for a row: the row's input (one list entry for a start) and output.
std::unique_ptr<qorsim::IoctlRequest> Accepted(const QorIoctlLength &row)
{
    std::vector<uint8_t> input(std::max<size_t>(row.InputLength, 2), 0);
    if (IsVariable(row.Code))
        input[kListCountOffset] = 1;
    return std::make_unique<qorsim::IoctlRequest>(row.Code, input.data(), row.InputLength,
                                                  std::max<ULONG>(row.OutputLength, 2));
}

double Measure(qorsim::IoctlRequest &request, bool expectAccepted)
{
    if ((QorIocCheckBufferLength(request.irp()) != FALSE) != expectAccepted)
        return -1;
    // Plus the baseline's one instruction: the figure is every instruction from the
    // function's entry to its return.
    return bench::PerCall(CallCheck, CallEmpty, request.irp(), kCalls) + 1;
}

} // namespace

namespace bench {

bool IoctlCheckRows(Table &table)
{
    double first = 0, last = 0, startLow = 1e9, startHigh = 0, worst = 0;
    for (int i = 0; i < qor::kIoctlRows; ++i) {
        const QorIoctlLength &row = qor::kIoctlLengthTable[i];
        auto request = Accepted(row);
        const double n = Measure(*request, true);
        if (n < 0) {
            std::fprintf(stderr, "qor_bench: code 0x%08lX was not accepted\n", static_cast<unsigned long>(row.Code));
            return false;
        }
        if (i == 0)
            first = n;
        if (i == qor::kIoctlRows - 1)
            last = n;
        if (IsVariable(row.Code)) {
            startLow = std::min(startLow, n);
            startHigh = std::max(startHigh, n);
        }
        worst = std::max(worst, n);
    }
    uint8_t none[2] = {};
    qorsim::IoctlRequest unknown(QOR_IOCTL_CODE(0x800), none, 0, 2);
    qorsim::IoctlRequest zero(0, none, 0, 2);
    const double unknownCode = Measure(unknown, false);
    const double zeroCode = Measure(zero, false);
    char range[64];
    std::snprintf(range, sizeof range, "%.1f-%.1f", startLow, startHigh);
    table.push_back({"QorIocCheckBufferLength, first row", first, 60});
    table.push_back({std::string("... transfer-start rows (") + range + ", worst shown)", startHigh, 60});
    table.push_back({"... last row", last, 60});
    table.push_back({"... unknown code", unknownCode, 60});
    table.push_back({"... code 0", zeroCode, 60});
    table.push_back({"... worst of all 52 rows", worst, 60});
    return unknownCode >= 0 && zeroCode >= 0;
}

} // namespace bench
