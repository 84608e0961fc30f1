// qor_bench: instructions per call of the library's hot paths, counted exactly by the
// qor_icount qemu plugin. `make bench` builds the plugin and runs this under it; see the
// README's "Benchmarks". Exit status 1 when a figure misses its goal or a scenario fails,
// 2 when not run under the plugin.
#include <cstdio>

#include "icount.h"
#include "qorsim.h"
#include "table.h"

int main()
{
    if (!bench::CountsAvailable()) {
        std::fprintf(stderr, "qor_bench: counts need the qor_icount plugin: run `make bench`\n");
        return 2;
    }
    qorsim::machine().reset();
    bench::Table table;
    bool ran = bench::IoctlCheckRows(table);
    ran = bench::TransferRows(table) && ran;
    ran = bench::ChainRows(table) && ran;
    ran = bench::MachineFileRows(table) && ran;
    qorsim::machine().reset();

    bool met = true;
    std::printf("%-58s %10s %8s\n", "path (guest instructions per call)", "now", "goal");
    for (const bench::Row &row : table) {
        if (row.goal < 0) {
            std::printf("%-58s %10.2f %8s\n", row.path.c_str(), row.value, "-");
            continue;
        }
        const bool ok = row.value <= row.goal;
        met = met && ok;
        std::printf("%-58s %10.2f %5s%-3g %s\n", row.path.c_str(), row.value, "<= ", row.goal, ok ? "" : "MISSED");
    }
    std::printf("%s\n", !ran ? "a scenario failed" : met ? "every goal met" : "goals missed");
    return ran && met ? 0 : 1;
}
