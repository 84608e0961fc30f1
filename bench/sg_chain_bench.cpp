// Cost of building a PLX 9080 scatter-gather chain over a 1 GiB user buffer, per
// descriptor: locking 18 chunks under their MDLs (the simulated kernel's probe resolves
// every page) and writing 262,144 descriptors, and the clear that unlocks them again.
// The buffer's pages alias 64 MB of simulated RAM: the chain only needs page numbers.
// Run by hand: scripts/run32.sh build/host/qor_bench [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "plx9080_chain.h"
#include "qorsim.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ns(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

struct Result {
    double build_ns = 1e300, clear_ns = 1e300;
};

bool Measure(qorsim::Process &process, QorDbx &dbx, ULONG offset, ULONG bytes, uintptr_t base, int rounds,
             Result *result)
{
    qor::chain::SetUserBuffer(&dbx, static_cast<ULONG>(base + offset));
    for (int r = 0; r < rounds; ++r) {
        qor::chain::SetUserBytes(&dbx, bytes);
        const auto t0 = Clock::now();
        BOOLEAN built;
        {
            qorsim::InProcess in(process);
            built = P9080_BuildDmaDscr(&dbx);
        }
        const auto t1 = Clock::now();
        P9080_ClearDmaDscr(&dbx);
        const auto t2 = Clock::now();
        if (!built)
            return false;
        result->build_ns = std::min(result->build_ns, Ns(t1 - t0));
        result->clear_ns = std::min(result->clear_ns, Ns(t2 - t1));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    constexpr ULONG kBytes = 1u << 30;
    constexpr ULONG kRamPages = 16384; // 64 MB of RAM behind the 1 GiB
    constexpr ULONG kSlots = (kBytes >> 12) + 32;

    qorsim::machine().reset();
    qorsim::Process &process = qorsim::machine().processes.create("bench");
    const uintptr_t base = process.allocate_private(kBytes + 4096, qorsim::Process::Backing::PageNumbersOnly, kRamPages);
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = 0xFFFFFFFF;
    PVOID area = MmAllocateContiguousMemory(kSlots * 16, highest);
    if (base == 0 || area == nullptr) {
        std::fprintf(stderr, "qor_bench: no room for a 1 GiB buffer or its %lu descriptors\n", static_cast<unsigned long>(kSlots));
        return 1;
    }
    QorDbx dbx{};
    dbx.Size = kSlots * 16;
    dbx.Whole.KernelAddr = area;
    dbx.Whole.PhysAddr = static_cast<ULONG>(MmGetPhysicalAddress(area).QuadPart);
    qor::chain::SetLocalAddress(&dbx, 0x40);

    struct Case {
        const char *name;
        ULONG offset;
        ULONG descriptors;
    } const cases[] = {
        {"page-aligned", 0, kBytes >> 12},
        {"offset 4", 4, (kBytes >> 12) + 1 + 17}, // one more page, one more per chunk boundary
    };
    std::printf("scatter-gather chain over 1 GiB (18 chunks), best of %d rounds\n", rounds);
    for (const Case &c : cases) {
        Result r;
        if (!Measure(process, dbx, c.offset, kBytes, base, rounds, &r)) {
            std::fprintf(stderr, "qor_bench: the %s build failed\n", c.name);
            return 1;
        }
        std::printf("  %-12s %7lu descriptors  build %8.2f ms  %6.1f ns/descriptor   clear %6.2f ms\n", c.name,
                    static_cast<unsigned long>(c.descriptors), r.build_ns / 1e6, r.build_ns / c.descriptors, r.clear_ns / 1e6);
    }
    MmFreeContiguousMemory(area);
    qorsim::machine().reset();
    return 0;
}
