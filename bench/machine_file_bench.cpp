// Reading machine files, per card: a file of 1,000 cards and one of 10,000 with their port
// ranges side by side, and the 10,000 with one more card whose range meets the first one's
// (refused at the last card). Slots and ranges are checked in one pass and lines counted
// once, so the figure per card stays the same as the file grows; a check that compares
// every card with every other shows as a per-card figure ten times the smaller file's.
#include <cstdio>
#include <string>

#include "icount.h"
#include "machine_file.h"
#include "table.h"

namespace {

std::string Cards(unsigned count, bool overlapping)
{
    std::string text = "{ \"cards\": [\n";
    for (unsigned i = 0; i < count; ++i)
        text += "{ \"bus\": " + std::to_string(i / 256) + ", \"device\": " + std::to_string(i / 8 % 32) +
                ", \"function\": " + std::to_string(i % 8) + ", \"vendor_id\": 1, \"device_id\": 2, \"bars\": [ { \"io\": " +
                std::to_string(0x4000 + 4 * i) + ", \"length\": 4 } ] }" + (i + 1 < count || overlapping ? ",\n" : "\n");
    if (overlapping)
        text += "{ \"bus\": 255, \"device\": 31, \"vendor_id\": 1, \"device_id\": 2, \"bars\": [ { \"io\": 16384, \"length\": 4 } ] }\n";
    return text + "] }\n";
}

struct Parse {
    std::string text;
    bool parsed = false;
    std::string error;
};

void ParseIt(void *p)
{
    auto *parse = static_cast<Parse *>(p);
    qorsim::MachineSpec desc;
    parse->parsed = qorsim::parse_machine(parse->text, "bench.json", "", &desc, &parse->error);
}

void Nothing(void *) {}

} // namespace

namespace bench {

bool MachineFileRows(Table &table)
{
    Parse small{Cards(1000, false)}, large{Cards(10000, false)}, overlap{Cards(10000, true)};
    const double perSmall = PerCall(ParseIt, Nothing, &small, 1) / 1000;
    const double perLarge = PerCall(ParseIt, Nothing, &large, 1) / 10000;
    const double perOverlap = PerCall(ParseIt, Nothing, &overlap, 1) / 10001;
    bool ok = true;
    if (!small.parsed || !large.parsed) {
        std::fprintf(stderr, "qor_bench: a machine file of side-by-side cards was refused: %s%s\n", small.error.c_str(),
                     large.error.c_str());
        ok = false;
    }
    if (overlap.parsed || overlap.error.find("cards[10000].bars[0].io: ports overlap") == std::string::npos) {
        std::fprintf(stderr, "qor_bench: the overlapping card was not refused as such: %s\n", overlap.error.c_str());
        ok = false;
    }
    // Linear: the larger files cost no more per card than the small one, give or take
    // the longer numbers and a deeper map.
    const double goal = 1.25 * perSmall;
    table.push_back({"parse_machine per card, 1,000 cards", perSmall});
    table.push_back({"parse_machine per card, 10,000 cards", perLarge, goal});
    table.push_back({"... 10,000 and one overlapping, refused", perOverlap, goal});
    return ok;
}

} // namespace bench
