// The leak report of the simulated machine after a driver unloaded.
#include "leaks.h"

#include "culprit.h"
#include "qorsim.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace qorsim {

namespace {
struct Origin {
    const void *caller;
    const void *routine;
    const char *routine_kind;
};
std::mutex g_origins_mutex;
std::map<const void *, Origin> g_origins;

std::string MadeBy(const void *caller, const void *routine, const char *kind)
{
    std::string out = " (made by " + name_code_address(caller);
    if (kind != nullptr)
        out += std::string(" in the ") + kind + " " + name_code_address(routine);
    return out + ")";
}
} // namespace

void note_origin(const void *object, const void *caller)
{
    if (object == nullptr)
        return;
    const RoutineFrame *frame = current_routine();
    std::lock_guard<std::mutex> lock(g_origins_mutex);
    g_origins[object] = Origin{caller, frame ? frame->routine : nullptr, frame ? frame->kind : nullptr};
}

std::string origin_text(const void *object)
{
    Origin o;
    {
        std::lock_guard<std::mutex> lock(g_origins_mutex);
        auto it = g_origins.find(object);
        if (it == g_origins.end())
            return {};
        o = it->second;
    }
    return MadeBy(o.caller, o.routine, o.routine_kind);
}

void forget_origin(const void *object)
{
    std::lock_guard<std::mutex> lock(g_origins_mutex);
    g_origins.erase(object);
}

void clear_origins()
{
    std::lock_guard<std::mutex> lock(g_origins_mutex);
    g_origins.clear();
}

std::string leak_report()
{
    Machine &m = machine();
    std::string out = m.pool.leak_report();
    char line[160];
    // The runs of RAM behind programs' private memory are taken from the same map; a
    // contiguous block is one that MmAllocateContiguousMemory handed out.
    for (const auto &[phys, bytes] : m.memory.contiguous_ranges()) {
        const void *kernel = m.memory.phys_to_kernel(phys);
        if (origin_text(kernel).empty())
            continue;
        std::snprintf(line, sizeof line, "contiguous block not freed: %lu bytes at physical 0x%08lX, %p",
                      static_cast<unsigned long>(bytes), static_cast<unsigned long>(phys), kernel);
        out += line + origin_text(kernel) + "\n";
    }
    out += m.mdls.leak_report();
    // A view in a program's address space goes with the program (NT unmaps what is left
    // when a process ends); one in the system process stays for good.
    for (Process *p : m.processes.list()) {
        if (p != &m.processes.system())
            continue;
        for (const auto &[base, view] : p->views()) {
            std::snprintf(line, sizeof line, "view still mapped: %lu bytes of physical 0x%08lX at 0x%08lX in process %lu \"",
                          static_cast<unsigned long>(view.bytes), static_cast<unsigned long>(view.phys),
                          static_cast<unsigned long>(base), static_cast<unsigned long>(p->id()));
            out += line + p->name() + "\"" + origin_text(reinterpret_cast<const void *>(base)) + "\n";
        }
    }
    out += m.handles.leak_report();
    out += m.interrupts.leak_report();
    for (const std::u16string &name : m.objects.device_names()) {
        PDEVICE_OBJECT device = m.objects.device(name);
        PoolBlock block;
        out += "device not deleted: " + to_ascii(m.objects.name_of(device));
        if (m.pool.block_of(device, &block))
            out += MadeBy(block.caller, block.routine, block.routine_kind);
        if (m.timers.routine(device) != nullptr)
            out += ", its I/O timer still initialised";
        out += "\n";
    }
    for (const std::u16string &name : m.objects.link_names())
        out += "symbolic link not deleted: " + to_ascii(name) + " -> " + to_ascii(m.objects.link_target(name)) + "\n";
    out += m.irps.leak_report();
    return out;
}

} // namespace qorsim
