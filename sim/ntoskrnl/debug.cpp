// The kernel's debugger interface as a checked build has it: DbgPrint to standard error
// with the virtual time, RtlAssert (ASSERT) as a verifier violation, DbgBreakPoint.
#include "culprit.h"
#include "qorsim.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>

using qorsim::machine;

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    char text[512] = ""; // the kernel's own buffer is 512 bytes; longer output is cut there
    int n = 0;
    if (Format != nullptr) {
        va_list args;
        va_start(args, Format);
        n = std::vsnprintf(text, sizeof text, Format, args);
        va_end(args);
    }
    std::fprintf(stderr, "%12.4f ms  %s", static_cast<double>(machine().clock.now_ns()) / 1e6, text);
    if (n > 0 && static_cast<size_t>(n) < sizeof text && text[n - 1] != '\n')
        std::fputc('\n', stderr);
    std::fflush(stderr);
    return 0; // STATUS_SUCCESS
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message)
{
    std::string what = std::string("ASSERT failed: ") + static_cast<const char *>(FailedAssertion) + ", " +
                       static_cast<const char *>(FileName) + ":" + std::to_string(LineNumber);
    if (Message != nullptr)
        what += std::string(" (") + Message + ")";
    machine().verifier.violation(what);
}

VOID NTAPI DbgBreakPoint(void)
{
    // With no kernel debugger attached NT stops the machine at a breakpoint in kernel
    // mode; under --break the host debugger takes it instead.
    if (machine().verifier.breaks_on_violation()) {
        std::raise(SIGTRAP);
        return;
    }
    machine().verifier.violation("DbgBreakPoint with no debugger attached (run qorsim with --break under gdb)");
}

} // extern "C"
