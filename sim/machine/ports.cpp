// The port I/O space of the simulated machine: models claim ranges, every access is
// recorded with its sequence number, virtual time, width, port and value in a bounded ring
// of the latest accesses.
#include "qorsim.h"
#include "port_owner.h"

#include <cstdio>

namespace qorsim {

std::string describe(const PortAccess &a)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s%u 0x%04X %s 0x%0*X", a.write ? "out" : "in", a.width * 8,
                  a.port, a.write ? "<-" : "->", static_cast<int>(a.width * 2), a.value);
    return text;
}

bool PortSpace::claim(uint32_t base, uint32_t length, PortDevice *device, std::string name)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (length == 0 || device == nullptr || base + length < base)
        return false;
    for (const Range &r : ranges_)
        if (base < r.base + r.length && r.base < base + length)
            return false;
    ranges_.push_back(Range{base, length, device, std::move(name)});
    return true;
}

void PortSpace::release(PortDevice *device)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::erase_if(ranges_, [device](const Range &r) { return r.device == device; });
}

const PortSpace::Range *PortSpace::find(uint32_t port) const
{
    for (const Range &r : ranges_)
        if (port >= r.base && port - r.base < r.length)
            return &r;
    return nullptr;
}

uint32_t PortSpace::read(uint32_t port, unsigned width)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint32_t mask = width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    const Range *r = find(port);
    const uint32_t value = (r ? r->device->read(port - r->base, width) : 0xFFFFFFFFu) & mask;
    machine().clock.advance_ns(kPortAccessNs);
    if (recording_)
        record(PortAccess{seq_, machine().clock.now_ns(), false, width, port, value});
    ++seq_;
    return value;
}

void PortSpace::write(uint32_t port, unsigned width, uint32_t value)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint32_t mask = width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    value &= mask;
    machine().clock.advance_ns(kPortAccessNs);
    if (recording_)
        record(PortAccess{seq_, machine().clock.now_ns(), true, width, port, value});
    ++seq_;
    if (const Range *r = find(port))
        r->device->write(port - r->base, width, value);
}

void PortSpace::record(const PortAccess &access)
{
    if (trace_.size() < trace_limit_) {
        trace_.push_back(access);
        return;
    }
    trace_[trace_head_] = access;
    trace_head_ = (trace_head_ + 1) % trace_.size();
}

std::vector<PortAccess> PortSpace::trace() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<PortAccess> out;
    out.reserve(trace_.size());
    out.insert(out.end(), trace_.begin() + static_cast<std::ptrdiff_t>(trace_head_), trace_.end());
    out.insert(out.end(), trace_.begin(), trace_.begin() + static_cast<std::ptrdiff_t>(trace_head_));
    return out;
}

void PortSpace::clear_trace()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    trace_.clear();
    trace_head_ = 0;
    seq_ = 0;
}

void PortSpace::set_trace_limit(size_t accesses)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<PortAccess> kept = trace();
    if (accesses == 0)
        accesses = 1;
    if (kept.size() > accesses)
        kept.erase(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(accesses));
    trace_ = std::move(kept);
    trace_.shrink_to_fit();
    trace_head_ = 0;
    trace_limit_ = accesses;
}

size_t PortSpace::trace_limit() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return trace_limit_;
}

void PortSpace::set_recording(bool on)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    recording_ = on;
}

uint64_t PortSpace::access_count() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return seq_;
}

std::string PortSpace::owner(uint32_t port) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Range *r = find(port);
    return r ? r->name : std::string();
}

bool PortSpace::claimed_range(uint32_t port, uint32_t *base, uint32_t *length) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Range *r = find(port);
    if (r == nullptr)
        return false;
    *base = r->base;
    *length = r->length;
    return true;
}

void PortSpace::reset()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ranges_.clear();
    trace_.clear();
    trace_.shrink_to_fit();
    trace_head_ = 0;
    trace_limit_ = kDefaultTraceLimit;
    seq_ = 0;
    recording_ = true;
}

uint32_t RegisterFile::peek(uint32_t offset, unsigned width) const
{
    uint32_t v = 0;
    for (unsigned i = 0; i < width && offset + i < bytes_.size(); ++i)
        v |= static_cast<uint32_t>(bytes_[offset + i]) << (8 * i);
    return v;
}

void RegisterFile::poke(uint32_t offset, unsigned width, uint32_t value)
{
    for (unsigned i = 0; i < width && offset + i < bytes_.size(); ++i)
        bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t RegisterFile::read(uint32_t offset, unsigned width) { return peek(offset, width); }

void RegisterFile::write(uint32_t offset, unsigned width, uint32_t value)
{
    poke(offset, width, value);
}

} // namespace qorsim

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port)
{
    qorsim::check_port_access("READ_PORT_UCHAR", reinterpret_cast<uintptr_t>(Port), 1);
    return static_cast<UCHAR>(qorsim::machine().ports.read(reinterpret_cast<uintptr_t>(Port), 1));
}

USHORT NTAPI READ_PORT_USHORT(PUSHORT Port)
{
    qorsim::check_port_access("READ_PORT_USHORT", reinterpret_cast<uintptr_t>(Port), 2);
    return static_cast<USHORT>(qorsim::machine().ports.read(reinterpret_cast<uintptr_t>(Port), 2));
}

ULONG NTAPI READ_PORT_ULONG(PULONG Port)
{
    qorsim::check_port_access("READ_PORT_ULONG", reinterpret_cast<uintptr_t>(Port), 4);
    return qorsim::machine().ports.read(reinterpret_cast<uintptr_t>(Port), 4);
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    qorsim::check_port_access("WRITE_PORT_UCHAR", reinterpret_cast<uintptr_t>(Port), 1);
    qorsim::machine().ports.write(reinterpret_cast<uintptr_t>(Port), 1, Value);
}

VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    qorsim::check_port_access("WRITE_PORT_USHORT", reinterpret_cast<uintptr_t>(Port), 2);
    qorsim::machine().ports.write(reinterpret_cast<uintptr_t>(Port), 2, Value);
}

VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    qorsim::check_port_access("WRITE_PORT_ULONG", reinterpret_cast<uintptr_t>(Port), 4);
    qorsim::machine().ports.write(reinterpret_cast<uintptr_t>(Port), 4, Value);
}

} // extern "C"
