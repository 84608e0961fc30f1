// Naming the culprit: the routine frames the simulator keeps while driver code runs, code
// addresses turned into "symbol+offset (module)", and the stack walk that finds the first
// caller outside the simulator.
#include "culprit.h"

#include "qorsim.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace qorsim {

namespace {
thread_local RoutineFrame *t_routine = nullptr;
} // namespace

RunningRoutine::RunningRoutine(const char *kind, const void *routine, PDEVICE_OBJECT device, UCHAR major)
{
    frame_.kind = kind;
    frame_.routine = routine;
    frame_.device = device;
    frame_.major = major;
    frame_.outer = t_routine;
    t_routine = &frame_;
}

RunningRoutine::~RunningRoutine() { t_routine = frame_.outer; }

const RoutineFrame *current_routine() { return t_routine; }

PDEVICE_OBJECT current_device()
{
    for (const RoutineFrame *f = t_routine; f != nullptr; f = f->outer)
        if (f->device != nullptr)
            return f->device;
    return nullptr;
}

PDEVICE_OBJECT device_of_context(const void *context)
{
    if (context == nullptr)
        return nullptr;
    auto *asDevice = static_cast<PDEVICE_OBJECT>(const_cast<void *>(context));
    if (machine().objects.has_device(asDevice))
        return asDevice;
    PoolBlock block;
    if (machine().pool.block_of(context, &block) && block.tag == kDeviceTag)
        return static_cast<PDEVICE_OBJECT>(block.address);
    return nullptr;
}

std::string card_of_device(PDEVICE_OBJECT device)
{
    const PciFunction *f = device ? machine().pci.function_of(device) : nullptr;
    if (f == nullptr)
        return {};
    char label[24];
    std::snprintf(label, sizeof label, "%lu:%02lu.%lu", static_cast<unsigned long>(f->bus()),
                  static_cast<unsigned long>(f->device()), static_cast<unsigned long>(f->function()));
    return label;
}

std::string device_label(PDEVICE_OBJECT device)
{
    const std::u16string name = machine().objects.name_of(device);
    return name.empty() ? "an unnamed device" : to_ascii(name);
}

// ---- code names -------------------------------------------------------------------------
namespace {

struct Symbol {
    uintptr_t start, size;
    std::string name;
};

// The function symbols of one loaded module, from its file's symbol table (static
// functions included), or its dynamic symbols when the file has been stripped.
struct ModuleSymbols {
    std::string path;
    std::vector<Symbol> symbols; // by start
};

bool ReadAt(int fd, uint64_t offset, void *out, size_t bytes)
{
    return pread(fd, out, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

void LoadSymbols(ModuleSymbols &m)
{
    const int fd = open(m.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    Elf32_Ehdr eh{};
    if (!ReadAt(fd, 0, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_shentsize != sizeof(Elf32_Shdr)) {
        close(fd);
        return;
    }
    std::vector<Elf32_Shdr> sections(eh.e_shnum);
    if (!ReadAt(fd, eh.e_shoff, sections.data(), sections.size() * sizeof(Elf32_Shdr))) {
        close(fd);
        return;
    }
    for (const Elf32_Word wanted : {Elf32_Word(SHT_SYMTAB), Elf32_Word(SHT_DYNSYM)}) {
        for (const Elf32_Shdr &s : sections) {
            if (s.sh_type != wanted || s.sh_link >= sections.size() || s.sh_entsize != sizeof(Elf32_Sym))
                continue;
            const Elf32_Shdr &strings = sections[s.sh_link];
            std::vector<Elf32_Sym> syms(s.sh_size / sizeof(Elf32_Sym));
            std::vector<char> names(strings.sh_size + 1, '\0');
            if (!ReadAt(fd, s.sh_offset, syms.data(), syms.size() * sizeof(Elf32_Sym)) ||
                !ReadAt(fd, strings.sh_offset, names.data(), strings.sh_size))
                continue;
            for (const Elf32_Sym &sym : syms)
                if (ELF32_ST_TYPE(sym.st_info) == STT_FUNC && sym.st_value != 0 && sym.st_name < strings.sh_size)
                    m.symbols.push_back(Symbol{sym.st_value, sym.st_size, names.data() + sym.st_name});
        }
        if (!m.symbols.empty())
            break;
    }
    close(fd);
    std::sort(m.symbols.begin(), m.symbols.end(), [](const Symbol &a, const Symbol &b) { return a.start < b.start; });
}

struct Located {
    std::string module; // file name without its folder
    std::string raw;    // the symbol as the object file spells it; empty when unknown
    uintptr_t offset = 0;
    bool runtime = false; // the C or C++ runtime, the sanitizers, the dynamic loader
};

std::mutex g_names_mutex;
std::map<std::string, ModuleSymbols> g_modules; // by path
std::vector<CodeNamer> g_namers;

struct Search {
    uintptr_t address;
    uintptr_t bias = 0;
    std::string path;
    bool found = false;
};

int FindModule(dl_phdr_info *info, size_t, void *data)
{
    auto *s = static_cast<Search *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &p = info->dlpi_phdr[i];
        if (p.p_type != PT_LOAD)
            continue;
        const uintptr_t start = info->dlpi_addr + p.p_vaddr;
        if (s->address >= start && s->address - start < p.p_memsz) {
            s->bias = info->dlpi_addr;
            s->path = info->dlpi_name && info->dlpi_name[0] ? info->dlpi_name : "/proc/self/exe";
            s->found = true;
            return 1;
        }
    }
    return 0;
}

bool IsRuntimeModule(const std::string &file)
{
    for (const char *lib : {"libc.so", "libc-", "libstdc++", "libgcc_s", "libasan", "libubsan", "liblsan",
                            "ld-linux", "libpthread", "libm.so", "libdl"})
        if (file.find(lib) != std::string::npos)
            return true;
    return false;
}

Located Locate(const void *address)
{
    Located out;
    Search s{reinterpret_cast<uintptr_t>(address)};
    dl_iterate_phdr(FindModule, &s);
    if (!s.found)
        return out;
    if (s.path == "/proc/self/exe") {
        char exe[4096];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        out.module = n > 0 ? std::string(exe, size_t(n)) : s.path;
    } else {
        out.module = s.path;
    }
    out.module = out.module.substr(out.module.find_last_of('/') + 1);
    out.runtime = IsRuntimeModule(out.module);
    std::lock_guard<std::mutex> lock(g_names_mutex);
    auto [it, fresh] = g_modules.try_emplace(s.path);
    if (fresh) {
        it->second.path = s.path;
        LoadSymbols(it->second);
    }
    const std::vector<Symbol> &symbols = it->second.symbols;
    const uintptr_t value = s.address - s.bias;
    auto after = std::upper_bound(symbols.begin(), symbols.end(), value,
                                  [](uintptr_t v, const Symbol &sym) { return v < sym.start; });
    if (after == symbols.begin())
        return out;
    const Symbol &sym = *std::prev(after);
    if (sym.size != 0 && value - sym.start >= sym.size)
        return out;
    out.raw = sym.name;
    out.offset = value - sym.start;
    return out;
}

std::string Demangle(const std::string &raw)
{
    if (raw.rfind("_Z", 0) != 0)
        return raw;
    int status = 0;
    char *text = abi::__cxa_demangle(raw.c_str(), nullptr, nullptr, &status);
    if (text == nullptr)
        return raw;
    std::string name = text;
    std::free(text);
    // The argument list says little in a report line and can be long: drop the last
    // balanced parenthesis group (and a const after it).
    if (name.size() > 6 && name.compare(name.size() - 6, 6, " const") == 0)
        name.erase(name.size() - 6);
    if (!name.empty() && name.back() == ')') {
        int depth = 0;
        for (size_t i = name.size(); i-- > 0;) {
            depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
            if (depth == 0) {
                name.erase(i);
                break;
            }
        }
    }
    return name;
}

// Kernel, HAL and Win32 routines of the simulator carry NT's own names: a driver names
// none of its routines with a kernel component's prefix.
bool IsKernelName(const std::string &raw)
{
    static const char *const kPrefixes[] = {"Ke", "Kf", "Ex", "Io", "Mm", "Rtl", "Zw", "Nt", "Hal", "Ob",
                                            "Ps", "Dbg", "Kd", "Se"};
    for (const char *p : kPrefixes) {
        const size_t n = std::strlen(p);
        // IofCompleteRequest, ObfDereferenceObject: the fastcall forms carry an f.
        const size_t at = raw.size() > n + 1 && raw[n] == 'f' ? n + 1 : n;
        if (raw.compare(0, n, p) == 0 && raw.size() > at && std::isupper(static_cast<unsigned char>(raw[at])))
            return true;
    }
    if (raw.rfind("READ_PORT_", 0) == 0 || raw.rfind("WRITE_PORT_", 0) == 0)
        return true;
    static const char *const kWin32[] = {"CreateFileA", "DeviceIoControl", "CloseHandle", "OpenEventA",
                                         "WaitForSingleObject", "GetLastError", "Sleep", "VirtualAlloc",
                                         "VirtualFree"};
    return std::any_of(std::begin(kWin32), std::end(kWin32), [&](const char *w) { return raw == w; });
}

bool IsSimulator(const Located &where)
{
    if (where.runtime)
        return true;
    const std::string &raw = where.raw;
    for (const char *p : {"_ZN6qorsim", "_ZNK6qorsim", "_ZZN6qorsim", "_ZZNK6qorsim", "_ZNSt", "_ZNKSt", "_ZSt",
                          "_ZN9__gnu_cxx", "_ZNK9__gnu_cxx", "_ZN7testing", "__", "_Unwind"})
        if (raw.rfind(p, 0) == 0)
            return true;
    return IsKernelName(raw);
}

} // namespace

void add_code_namer(CodeNamer namer)
{
    std::lock_guard<std::mutex> lock(g_names_mutex);
    g_namers.push_back(std::move(namer));
}

void clear_code_namers()
{
    std::lock_guard<std::mutex> lock(g_names_mutex);
    g_namers.clear();
}

std::string name_code_address(const void *address)
{
    if (address == nullptr)
        return "(no code)";
    std::vector<CodeNamer> namers;
    {
        std::lock_guard<std::mutex> lock(g_names_mutex);
        namers = g_namers;
    }
    std::string name;
    for (const CodeNamer &namer : namers)
        if (namer(address, &name))
            return name;
    const Located where = Locate(address);
    char text[48];
    if (where.raw.empty()) {
        std::snprintf(text, sizeof text, "%p", address);
        return where.module.empty() ? std::string(text) : std::string(text) + " (" + where.module + ")";
    }
    std::snprintf(text, sizeof text, "+0x%lx", static_cast<unsigned long>(where.offset));
    return Demangle(where.raw) + text + " (" + where.module + ")";
}

const void *calling_code_address()
{
    void *frames[48];
    const int n = backtrace(frames, 48);
    for (int i = 1; i < n; ++i) {
        // A return address points behind the call; one byte back is inside it.
        const void *call = static_cast<const uint8_t *>(frames[i]) - 1;
        const Located where = Locate(call);
        if (where.module.empty() && where.raw.empty())
            return frames[i]; // code of no ELF module: a loaded image's
        if (!IsSimulator(where))
            return frames[i];
    }
    return nullptr;
}

std::string irql_name(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
    }
}

std::string virtual_time_text(uint64_t ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f ms", static_cast<double>(ns) / 1e6);
    return text;
}

std::string culprit_text(const void *caller)
{
    std::string out = " [";
    if (caller != nullptr)
        out += "by " + name_code_address(caller) + "; ";
    if (const RoutineFrame *f = current_routine()) {
        out += std::string("in the ") + f->kind + " " + name_code_address(f->routine);
        PDEVICE_OBJECT device = current_device();
        if (device != nullptr) {
            out += " for " + device_label(device);
            const std::string card = card_of_device(device);
            if (!card.empty())
                out += ", card " + card;
        }
        out += "; ";
    } else if (caller == nullptr) {
        out += "outside any driver routine; ";
    }
    out += irql_name(current_irql()) + "; " + virtual_time_text(machine().clock.now_ns()) + "]";
    return out;
}

std::string culprit_text() { return culprit_text(calling_code_address()); }

} // namespace qorsim
