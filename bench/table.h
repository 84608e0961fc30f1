// The benchmark's result table: one row per measured path, with its goal where it has one.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string path;
    double value;       // instructions per call (or per descriptor)
    double goal = -1;   // the most it may be; below 0: no goal, reported only
};

using Table = std::vector<Row>;

// Each adds its rows; false when the scenario itself could not run.
bool IoctlCheckRows(Table &table);
bool TransferRows(Table &table);
bool ChainRows(Table &table);
bool MachineFileRows(Table &table);

} // namespace bench
