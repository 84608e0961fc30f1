// The kernel boundary as an NT driver image meets it: every routine of the simulator's
// export table must be exported by the module the table names and take its arguments as
// NT's does, or an image's stack is off by the difference after the first call. NT's side
// is the decorated names of the DDK's import libraries (listed at configure time with
// i686-w64-mingw32-nm).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "exports.h"

namespace {

std::vector<qorsim::DecoratedName> DdkNames()
{
    std::vector<qorsim::DecoratedName> names;
    for (const char *module : {"ntoskrnl.exe", "HAL.dll"}) {
        std::ifstream in(std::string(QOR_DDK_SYMBOLS) + "/" + module + ".nm");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string value, type, symbol;
            if (fields >> value >> type >> symbol && (type == "T" || type == "I"))
                names.push_back({module, symbol});
        }
    }
    return names;
}

TEST(KernelExports, EveryRoutinePopsWhatNtsPops)
{
    const auto names = DdkNames();
    ASSERT_GT(names.size(), 1000u) << "no DDK import libraries listed in " << QOR_DDK_SYMBOLS
                                   << " (install mingw-w64: scripts/install-deps.sh)";
    const auto problems = qorsim::check_against_decorations(qorsim::kernel_exports(), names);
    for (const std::string &p : problems)
        ADD_FAILURE() << p;
    // What the shipped images import must all be there, the two adapted ones included.
    for (const char *name : {"RtlUnwind", "MmGetPhysicalAddress", "MmProbeAndLockPages", "PsInitialSystemProcess",
                             "memcpy", "IofCompleteRequest"})
        EXPECT_NE(qorsim::find_kernel_export("ntoskrnl.exe", name), nullptr) << name;
    EXPECT_NE(qorsim::find_kernel_export("hal.dll", "KfAcquireSpinLock"), nullptr) << "module names ignore case";
}

// The check itself: a table row that is wrong in any way NT would notice is reported.
TEST(KernelExports, AWrongRowFailsTheCheck)
{
    using qorsim::Convention;
    const std::vector<qorsim::DecoratedName> ddk = {
        {"ntoskrnl.exe", "_IoCreateDevice@28"}, {"ntoskrnl.exe", "@IofCompleteRequest@8"},
        {"HAL.dll", "_READ_PORT_UCHAR@4"},      {"ntoskrnl.exe", "_memcpy"},
        {"ntoskrnl.exe", "__imp__PsInitialSystemProcess"}, {"HAL.dll", "@KfAcquireSpinLock@4"},
    };
    int anything = 0;
    const void *address = &anything;
    struct Row {
        const char *name;
        qorsim::KernelExport row;
        const char *reported; // null: the row is right
    };
    const Row rows[] = {
        {"right stdcall", {"ntoskrnl.exe", "IoCreateDevice", address, Convention::Stdcall, 28, nullptr}, nullptr},
        {"right fastcall", {"ntoskrnl.exe", "IofCompleteRequest", address, Convention::Fastcall, 8, nullptr}, nullptr},
        {"right cdecl", {"ntoskrnl.exe", "memcpy", address, Convention::Cdecl, 12, nullptr}, nullptr},
        {"right datum", {"ntoskrnl.exe", "PsInitialSystemProcess", address, Convention::Data, 0, nullptr}, nullptr},
        {"pops 4 bytes too few", {"ntoskrnl.exe", "IoCreateDevice", address, Convention::Stdcall, 24, nullptr},
         "ntoskrnl.exe!IoCreateDevice: NT's is stdcall with 28"},
        {"pops arguments NT leaves", {"ntoskrnl.exe", "memcpy", address, Convention::Stdcall, 12, nullptr},
         "ntoskrnl.exe!memcpy: NT's is cdecl"},
        {"stdcall where NT is fastcall", {"ntoskrnl.exe", "IofCompleteRequest", address, Convention::Stdcall, 8, nullptr},
         "NT's is fastcall"},
        {"in the wrong module", {"ntoskrnl.exe", "READ_PORT_UCHAR", address, Convention::Stdcall, 4, nullptr},
         "ntoskrnl.exe!READ_PORT_UCHAR: not exported by ntoskrnl.exe (HAL.dll exports it)"},
        {"exported by neither", {"HAL.dll", "HalMakeBelieve", address, Convention::Stdcall, 4, nullptr},
         "HAL.dll!HalMakeBelieve: not exported by HAL.dll"},
        {"fastcall with a stack argument NT lacks", {"HAL.dll", "KfAcquireSpinLock", address, Convention::Fastcall, 12, nullptr},
         "HAL.dll!KfAcquireSpinLock: NT's is fastcall with 4"},
    };
    for (const Row &row : rows) {
        const auto problems = qorsim::check_against_decorations(std::span(&row.row, 1), ddk);
        if (row.reported == nullptr) {
            EXPECT_TRUE(problems.empty()) << row.name << ": " << problems.front();
            continue;
        }
        ASSERT_EQ(problems.size(), 1u) << row.name;
        EXPECT_NE(problems[0].find(row.reported), std::string::npos) << row.name << ": " << problems[0];
    }
}

} // namespace
