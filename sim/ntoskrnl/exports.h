// What qorsim implements of NT, as a driver image sees it: the routines and data that
// ntoskrnl.exe and HAL.dll export and the simulator provides, with the address an image's
// import is bound to and how the routine takes its arguments. The PE32 loader
// (sim/loader/) binds imports from this table only; an import it does not list is refused.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qorsim {

// How an exported routine is called on i386 NT. The import libraries decorate the names
// by it: stdcall `_Name@N`, fastcall `@Name@N` (the first two 32-bit arguments in ECX and
// EDX), cdecl `_Name`; N is the bytes of arguments.
enum class Convention : uint8_t { Cdecl, Stdcall, Fastcall, Data };

struct KernelExport {
    const char *module; // "ntoskrnl.exe" or "HAL.dll", as an image names it
    const char *name;
    const void *address; // what the image's import address table entry receives
    Convention convention;
    unsigned argument_bytes; // the N of the decoration, from the routine's declaration
    // Null when the image calls the simulator's routine itself; otherwise why an image
    // calls an adapter instead (the routine's host-build form differs from NT's).
    const char *adapter;
};

// Bytes of the caller's stack a routine removes on return: stdcall all its arguments,
// fastcall those past the two in registers, cdecl (and data) none.
unsigned bytes_popped(Convention convention, unsigned argumentBytes);

std::span<const KernelExport> kernel_exports();
// Module names compare case-insensitively ("hal.dll" is HAL.dll), routine names exactly.
const KernelExport *find_kernel_export(std::string_view module, std::string_view name);
bool is_kernel_module(std::string_view module);

// A decorated name from an import library (`_IoCreateDevice@28`, `@IofCompleteRequest@8`,
// `_memcpy`) with the module that exports it.
struct DecoratedName {
    std::string module;
    std::string symbol;
};
// Compares a table with the decorated names NT's import libraries carry: one line per
// entry whose routine is missing from its module, is called another way, or takes
// another number of argument bytes than NT's. Empty: the table pops what NT pops.
std::vector<std::string> check_against_decorations(std::span<const KernelExport> table,
                                                   std::span<const DecoratedName> decorated);

} // namespace qorsim
