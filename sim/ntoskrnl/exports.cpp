// The one table of what qorsim implements of NT for driver images: every routine and datum
// of ntoskrnl.exe and HAL.dll that the simulator provides. The calling convention and the
// argument bytes of each entry come from the C++ declaration of the routine the image is
// bound to, so the table cannot claim what the code does not do; the CTest check against
// the DDK's import libraries (KernelExports) then proves each pops what NT's pops.
#include "exports.h"

#include <cstring>
#include <type_traits>

#include "image_context.h"
#include "qorsim.h"

namespace qorsim {
namespace {

template <class F> struct Signature;
template <class R, class... A> struct Signature<R NTAPI(A...)> {
    static constexpr Convention convention = Convention::Stdcall;
    static constexpr unsigned bytes = (((sizeof(A) + 3) / 4 * 4) + ... + 0u);
    using Result = R;
};
template <class R, class... A> struct Signature<R FASTCALL(A...)> {
    static constexpr Convention convention = Convention::Fastcall;
    static constexpr unsigned bytes = (((sizeof(A) + 3) / 4 * 4) + ... + 0u);
    using Result = R;
};
template <class R, class... A> struct Signature<R(A...)> {
    static constexpr Convention convention = Convention::Cdecl;
    static constexpr unsigned bytes = (((sizeof(A) + 3) / 4 * 4) + ... + 0u);
    using Result = R;
};
template <class R, class... A> struct Signature<R(A...) noexcept> : Signature<R(A...)> {};

// A routine an image calls directly. One that returns a structure cannot be: NT returns
// 8-byte structures in EDX:EAX, Linux i386 through a hidden pointer the callee pops.
template <class F> KernelExport Routine(const char *module, const char *name, F *address)
{
    using S = Signature<F>;
    static_assert(!std::is_class_v<typename S::Result> && !std::is_union_v<typename S::Result>,
                  "a routine returning a structure needs an adapter for images");
    return KernelExport{module, name, reinterpret_cast<const void *>(address), S::convention, S::bytes, nullptr};
}
template <class F> KernelExport Adapted(const char *module, const char *name, F *adapter, const char *why)
{
    using S = Signature<F>;
    static_assert(!std::is_class_v<typename S::Result> && !std::is_union_v<typename S::Result>);
    return KernelExport{module, name, reinterpret_cast<const void *>(adapter), S::convention, S::bytes, why};
}
KernelExport Datum(const char *module, const char *name, const void *address)
{
    return KernelExport{module, name, address, Convention::Data, 0, nullptr};
}

constexpr const char *kNt = "ntoskrnl.exe";
constexpr const char *kHal = "HAL.dll";
#define QOR_NT(fn) Routine(kNt, #fn, &fn)
#define QOR_HAL(fn) Routine(kHal, #fn, &fn)

const std::vector<KernelExport> &Table()
{
    static const std::vector<KernelExport> table = {
        // ---- HAL.dll: port access, bus data, interrupt vectors, spin locks ----
        QOR_HAL(READ_PORT_UCHAR),
        QOR_HAL(READ_PORT_USHORT),
        QOR_HAL(READ_PORT_ULONG),
        QOR_HAL(WRITE_PORT_UCHAR),
        QOR_HAL(WRITE_PORT_USHORT),
        QOR_HAL(WRITE_PORT_ULONG),
        QOR_HAL(HalGetBusData),
        QOR_HAL(HalSetBusDataByOffset),
        QOR_HAL(HalAssignSlotResources),
        QOR_HAL(HalTranslateBusAddress),
        QOR_HAL(HalGetInterruptVector),
        QOR_HAL(KfAcquireSpinLock),
        QOR_HAL(KfReleaseSpinLock),
        QOR_HAL(KeGetCurrentIrql),
        // ---- ntoskrnl.exe: I/O manager ----
        QOR_NT(IoAssignResources),
        QOR_NT(IoCreateDevice),
        QOR_NT(IoDeleteDevice),
        QOR_NT(IoCreateSymbolicLink),
        QOR_NT(IoDeleteSymbolicLink),
        QOR_NT(IoConnectInterrupt),
        QOR_NT(IoDisconnectInterrupt),
        QOR_NT(IoInitializeTimer),
        QOR_NT(IofCompleteRequest),
        QOR_NT(IoAcquireCancelSpinLock),
        QOR_NT(IoReleaseCancelSpinLock),
        QOR_NT(IoCancelIrp),
        QOR_NT(IoCreateNotificationEvent),
        QOR_NT(IoGetCurrentProcess),
        QOR_NT(IoAllocateMdl),
        QOR_NT(IoFreeMdl),
        // ---- Ke: DPCs, spin locks, events, processes, waits ----
        QOR_NT(KeInitializeDpc),
        QOR_NT(KeInsertQueueDpc),
        QOR_NT(KeInitializeSpinLock),
        QOR_NT(KeSetEvent),
        QOR_NT(KeClearEvent),
        QOR_NT(KeInitializeMutex),
        QOR_NT(KeWaitForSingleObject),
        QOR_NT(KeReleaseMutex),
        QOR_NT(KeAttachProcess),
        QOR_NT(KeDetachProcess),
        QOR_NT(KeDelayExecutionThread),
        Datum(kNt, "PsInitialSystemProcess", &PsInitialSystemProcess),
        // ---- Ex, Mm, Ob: pool, contiguous memory, sections, MDLs, objects ----
        QOR_NT(ExAllocatePoolWithTag),
        QOR_NT(ExFreePool),
        QOR_NT(MmAllocateContiguousMemory),
        QOR_NT(MmFreeContiguousMemory),
        Adapted(kNt, "MmGetPhysicalAddress", &QorSimImageMmGetPhysicalAddress,
                "PHYSICAL_ADDRESS returned in EDX:EAX"),
        Adapted(kNt, "MmProbeAndLockPages", &QorSimImageMmProbeAndLockPages,
                "a failed probe raises down the image's fs:[0] handlers"),
        QOR_NT(MmUnlockPages),
        QOR_NT(ObReferenceObjectByHandle),
        QOR_NT(ObfReferenceObject),
        QOR_NT(ObfDereferenceObject),
        // ---- Zw: handles, sections, files ----
        QOR_NT(ZwClose),
        QOR_NT(ZwOpenSection),
        QOR_NT(ZwMapViewOfSection),
        QOR_NT(ZwUnmapViewOfSection),
        QOR_NT(ZwCreateFile),
        QOR_NT(ZwQueryInformationFile),
        QOR_NT(ZwReadFile),
        // ---- Rtl: registry, strings, exception unwinding, the C routines ----
        QOR_NT(RtlQueryRegistryValues),
        QOR_NT(RtlInitUnicodeString),
        QOR_NT(RtlIntegerToUnicodeString),
        QOR_NT(RtlAppendUnicodeStringToString),
        QOR_NT(RtlUnicodeStringToAnsiString),
        QOR_NT(RtlUnwind),
        Routine(kNt, "memcpy", &memcpy),
        Routine(kNt, "memmove", &memmove),
        Routine(kNt, "memset", &memset),
        Routine(kNt, "memcmp", &memcmp),
        Routine(kNt, "strlen", &strlen),
    };
    return table;
}

#undef QOR_NT
#undef QOR_HAL

bool SameModule(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// `_Name@N`, `@Name@N` or `_Name` into its parts; false for anything else (`__imp_` thunks,
// `.idata` labels).
bool Undecorate(const std::string &symbol, std::string *name, Convention *convention, unsigned *bytes)
{
    if (symbol.size() < 2 || (symbol[0] != '_' && symbol[0] != '@') || symbol.rfind("__imp", 0) == 0)
        return false;
    const size_t at = symbol.rfind('@');
    if (symbol[0] == '@' || (at != std::string::npos && at > 0)) {
        if (at == 0 || at == std::string::npos || at + 1 >= symbol.size())
            return false;
        unsigned n = 0;
        for (size_t i = at + 1; i < symbol.size(); ++i) {
            if (symbol[i] < '0' || symbol[i] > '9')
                return false;
            n = n * 10 + static_cast<unsigned>(symbol[i] - '0');
        }
        *name = symbol.substr(1, at - 1);
        *convention = symbol[0] == '@' ? Convention::Fastcall : Convention::Stdcall;
        *bytes = n;
        return true;
    }
    *name = symbol.substr(1);
    *convention = Convention::Cdecl;
    *bytes = 0;
    return true;
}

const char *ConventionName(Convention c)
{
    switch (c) {
    case Convention::Cdecl: return "cdecl";
    case Convention::Stdcall: return "stdcall";
    case Convention::Fastcall: return "fastcall";
    case Convention::Data: return "data";
    }
    return "?";
}

} // namespace

unsigned bytes_popped(Convention convention, unsigned argumentBytes)
{
    switch (convention) {
    case Convention::Stdcall: return argumentBytes;
    case Convention::Fastcall: return argumentBytes > 8 ? argumentBytes - 8 : 0;
    case Convention::Cdecl:
    case Convention::Data: return 0;
    }
    return 0;
}

std::span<const KernelExport> kernel_exports() { return Table(); }

bool is_kernel_module(std::string_view module)
{
    return SameModule(module, kNt) || SameModule(module, kHal);
}

const KernelExport *find_kernel_export(std::string_view module, std::string_view name)
{
    for (const KernelExport &e : Table())
        if (name == e.name && SameModule(module, e.module))
            return &e;
    return nullptr;
}

std::vector<std::string> check_against_decorations(std::span<const KernelExport> table,
                                                   std::span<const DecoratedName> decorated)
{
    std::vector<std::string> problems;
    for (const KernelExport &e : table) {
        bool found = false;
        std::string seenIn;
        for (const DecoratedName &d : decorated) {
            if (e.convention == Convention::Data) {
                // Data is imported through its `__imp__Name` pointer only: no code symbol.
                if (d.symbol == std::string("__imp__") + e.name && SameModule(d.module, e.module)) {
                    found = true;
                    break;
                }
                continue;
            }
            std::string name;
            Convention convention;
            unsigned bytes = 0;
            if (!Undecorate(d.symbol, &name, &convention, &bytes) || name != e.name)
                continue;
            if (!SameModule(d.module, e.module)) {
                seenIn = d.module;
                continue;
            }
            found = true;
            if (convention != e.convention || bytes_popped(convention, bytes) != bytes_popped(e.convention, e.argument_bytes) ||
                (convention != Convention::Cdecl && bytes != e.argument_bytes))
                problems.push_back(std::string(e.module) + "!" + e.name + ": NT's is " + ConventionName(convention) +
                                   " with " + std::to_string(bytes) + " argument bytes (" + d.symbol + "), qorsim's is " +
                                   ConventionName(e.convention) + " with " + std::to_string(e.argument_bytes));
            break;
        }
        if (!found)
            problems.push_back(std::string(e.module) + "!" + e.name + ": not exported by " + e.module +
                               (seenIn.empty() ? std::string() : " (" + seenIn + " exports it)"));
    }
    return problems;
}

} // namespace qorsim
