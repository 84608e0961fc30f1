// Reading the counting windows of the qor_icount plugin back (see icount.h).
#include "icount.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#define QOR_BENCH_RETURN(name, bytes) \
    ".globl " #name "\n\t.type " #name ", @function\n" #name ":\n\tret $" #bytes "\n\t.size " #name ", 3\n"
asm(".text\n" QOR_BENCH_RETURN(qor_bench_return4, 4) QOR_BENCH_RETURN(qor_bench_return8, 8)
        QOR_BENCH_RETURN(qor_bench_return12, 12));

namespace bench {
namespace {

int CountFile()
{
    static const int fd = [] {
        const char *path = std::getenv("QOR_ICOUNT_FILE");
        return path == nullptr ? -1 : open(path, O_RDONLY);
    }();
    return fd;
}

uint64_t ReadCount()
{
    char text[21] = {};
    if (pread(CountFile(), text, 20, 0) != 20)
        return 0;
    return std::strtoull(text, nullptr, 10);
}

} // namespace

bool CountsAvailable() { return CountFile() >= 0; }

__attribute__((noinline)) uint64_t CountCalls(void (*fn)(void *), void *context, uint32_t n)
{
    asm volatile(QOR_ICOUNT_MARKER_ASM(QOR_ICOUNT_START) ::: "memory");
    for (uint32_t i = 0; i < n; ++i)
        fn(context);
    asm volatile(QOR_ICOUNT_MARKER_ASM(QOR_ICOUNT_STOP) ::: "memory");
    return ReadCount();
}

double PerCall(void (*fn)(void *), void (*baseline)(void *), void *context, uint32_t n)
{
    // One call of each outside the count first: a path's first call pays once for what
    // the host build sets up on first use (the dynamic linker binding a simulator routine,
    // the simulator's bookkeeping of an event it meets for the first time), which is no
    // per-call cost, and would otherwise land on whichever path runs first.
    fn(context);
    baseline(context);
    const uint64_t measured = CountCalls(fn, context, n);
    const uint64_t base = CountCalls(baseline, context, n);
    return (static_cast<double>(measured) - static_cast<double>(base)) / n;
}

} // namespace bench
