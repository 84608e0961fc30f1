// qorsim: the command line of the simulated NT machine.
//   qorsim demo [--halves N]   boot the default machine, load the library and the sample
//                              driver, run the sample program's acquisition, report
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int RunDemo(unsigned halves);

namespace {
int Usage()
{
    std::fprintf(stderr, "usage: qorsim demo [--halves N]\n");
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "demo") {
        unsigned halves = 2000;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--halves") == 0 && i + 1 < argc)
                halves = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
            else
                return Usage();
        }
        return RunDemo(halves);
    }
    return Usage();
}
