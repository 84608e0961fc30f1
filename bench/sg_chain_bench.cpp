// Building a PLX 9080 scatter-gather chain over a 256 MiB user buffer, per descriptor:
// 5 chunks locked under their MDLs and 65,536 descriptors (one more, and one more per
// chunk boundary, at page offset 4). The buffer's pages alias 64 MB of simulated RAM: the
// chain only needs page numbers. (256 MiB: the largest run of address space NT 4's user
// space leaves a program on every host the simulator runs on.) Locking is not the chain's work (the simulated probe
// resolves every page), so the same MDL allocations, probes and chunk nodes, made alone,
// are subtracted from the build.
#include <cstdio>
#include <vector>

#include "icount.h"
#include "plx9080_chain.h"
#include "qorsim.h"
#include "table.h"

namespace {

constexpr ULONG kBytes = 1u << 28;
constexpr ULONG kChunkBytes = 0x3C00000;
constexpr ULONG kRamPages = 16384; // 64 MB of RAM behind the 256 MiB
constexpr ULONG kSlots = (kBytes >> 12) + 32;

struct Build {
    QorDbx *dbx;
    BOOLEAN built;
    std::vector<PMDL> mdls;
    std::vector<void *> nodes;
};

void BuildChain(void *b)
{
    auto *build = static_cast<Build *>(b);
    build->built = P9080_BuildDmaDscr(build->dbx);
}

// What the build does to lock its chunks, alone.
void LockChunks(void *b)
{
    auto *build = static_cast<Build *>(b);
    ULONG address = qor::chain::UserBuffer(build->dbx);
    for (ULONG remaining = kBytes; remaining != 0;) {
        const ULONG length = remaining < kChunkBytes ? remaining : kChunkBytes;
        PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)), length, FALSE, TRUE,
                                 nullptr);
        if (mdl == nullptr || !QorProbeAndLock(mdl))
            return;
        build->mdls.push_back(mdl);
        build->nodes.push_back(QorNewNpp(sizeof(QorLockedChunk)));
        address += length;
        remaining -= length;
    }
}

void Unlock(Build &build)
{
    for (PMDL mdl : build.mdls) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    for (void *node : build.nodes)
        QorDeleteNpp(node);
    build.mdls.clear();
    build.nodes.clear();
}

} // namespace

namespace bench {

bool ChainRows(Table &table)
{
    qorsim::Process &process = qorsim::machine().processes.create("bench");
    const uintptr_t base =
        process.allocate_private(kBytes + 4096, qorsim::Process::Backing::PageNumbersOnly, kRamPages);
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = 0xFFFFFFFF;
    PVOID area = MmAllocateContiguousMemory(kSlots * 16, highest);
    if (base == 0 || area == nullptr) {
        std::fprintf(stderr, "qor_bench: no room for a 256 MiB buffer or its %lu descriptors\n",
                     static_cast<unsigned long>(kSlots));
        return false;
    }
    QorDbx dbx{};
    dbx.Size = kSlots * 16;
    dbx.Whole.KernelAddr = area;
    dbx.Whole.PhysAddr = static_cast<ULONG>(MmGetPhysicalAddress(area).QuadPart);
    qor::chain::SetLocalAddress(&dbx, 0x40);

    struct Case {
        const char *path;
        ULONG offset;
        ULONG descriptors;
        double goal;
    } const cases[] = {
        {"P9080_BuildDmaDscr per descriptor, 256 MiB", 0, kBytes >> 12, 11},
        // one more page, and one more per chunk boundary
        {"... at page offset 4", 4, (kBytes >> 12) + 1 + (kBytes - 1) / kChunkBytes, 11},
    };
    bool ok = true;
    for (const Case &c : cases) {
        qor::chain::SetUserBuffer(&dbx, static_cast<ULONG>(base + c.offset));
        qor::chain::SetUserBytes(&dbx, kBytes);
        Build build{&dbx, FALSE, {}, {}};
        uint64_t built, locked;
        {
            qorsim::InProcess in(process);
            // One uncounted round of the locking first: the pool and the MDL table then
            // start both counted runs from the same state.
            LockChunks(&build);
            Unlock(build);
            built = CountCalls(BuildChain, &build, 1);
            P9080_ClearDmaDscr(&dbx);
            qor::chain::SetUserBytes(&dbx, kBytes);
            locked = CountCalls(LockChunks, &build, 1);
            Unlock(build);
        }
        if (!build.built) {
            std::fprintf(stderr, "qor_bench: the chain build at offset %lu failed\n", static_cast<unsigned long>(c.offset));
            ok = false;
            continue;
        }
        table.push_back({c.path, (static_cast<double>(built) - static_cast<double>(locked)) / c.descriptors, c.goal});
    }
    MmFreeContiguousMemory(area);
    return ok;
}

} // namespace bench
