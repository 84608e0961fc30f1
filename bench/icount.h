// Exact instruction counts for the benchmarks. Under the qor_icount qemu plugin
// (bench/icount/qor_icount.c) the instructions executed between a start and a stop marker
// are counted, and the plugin leaves the count in a file named by QOR_ICOUNT_FILE, which is
// read back right after the stop marker. Without the plugin the markers are no-operations
// and no counts are available.
#pragma once

#include <cstdint>

#include "icount/icount_markers.h"

// Empty functions of the standard call convention, one `ret` each: the baselines of
// library functions with 1, 2 and 3 stack arguments. Defined in assembly, in another unit
// than the callers, so that a call to them is made exactly as a call to the library is.
extern "C" {
void __attribute__((stdcall)) qor_bench_return4(void *);
void __attribute__((stdcall)) qor_bench_return8(void *, void *);
void __attribute__((stdcall)) qor_bench_return12(void *, void *, void *);
}

namespace bench {

// True when the program runs under the plugin (QOR_ICOUNT_FILE is set and readable).
bool CountsAvailable();

// The instructions executed by `n` calls of fn(context), through the same loop every
// measurement uses, so that two measurements differ only in what fn does.
uint64_t CountCalls(void (*fn)(void *), void *context, uint32_t n);

// Instructions per call of `fn` beyond those of `baseline`, over `n` calls of each:
// (count of n calls of fn - count of n calls of baseline) / n, after one uncounted call
// of each (first-use costs of the host build are not per-call costs).
double PerCall(void (*fn)(void *), void (*baseline)(void *), void *context, uint32_t n);

} // namespace bench
