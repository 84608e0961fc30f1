// qorsim: the command line of the simulated NT machine.
//   qorsim demo [--requests N]   boot, load the library, serve a stream of I/O-control
//                                requests to a simulated card, report
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int RunDemo(unsigned requests);

namespace {
int Usage()
{
    std::fprintf(stderr, "usage: qorsim demo [--requests N]\n");
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "demo") {
        unsigned requests = 20000;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--requests") == 0 && i + 1 < argc)
                requests = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0));
            else
                return Usage();
        }
        return RunDemo(requests);
    }
    return Usage();
}
