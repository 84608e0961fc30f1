// qorsim: the command line of the simulated NT machine.
//   qorsim demo [--halves N] [--slow-reader MS] [--progress|--no-progress]
//       boot the default machine, load the library and the sample driver, run the sample
//       program's acquisition, report; --slow-reader: the program spends MS of simulated
//       time on each half (a half takes 1047.552 ms at the card's rate); a progress line on
//       stderr when it is a terminal, unless told
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int RunDemo(unsigned halves, unsigned readerWorkMs, bool progress);

namespace {
int Usage()
{
    std::fprintf(stderr, "usage: qorsim demo [--halves N] [--slow-reader MS] [--progress|--no-progress]\n");
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "demo") {
        unsigned halves = 500, workMs = 0;
        bool progress = isatty(STDERR_FILENO) != 0;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--halves") == 0 && i + 1 < argc)
                halves = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
            else if (std::strcmp(argv[i], "--slow-reader") == 0 && i + 1 < argc)
                workMs = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
            else if (std::strcmp(argv[i], "--progress") == 0)
                progress = true;
            else if (std::strcmp(argv[i], "--no-progress") == 0)
                progress = false;
            else
                return Usage();
        }
        return RunDemo(halves, workMs, progress);
    }
    return Usage();
}
