// PCI buses and configuration space: functions with their configuration bytes, BARs that
// carry register models into the port space, and the HAL's bus-data operations.
#include "qorsim.h"

#include <cstring>

namespace qorsim {

namespace {
constexpr uint32_t kBar0 = 16, kBar5End = 40;
constexpr uint32_t kInterruptLine = 60, kInterruptPin = 61;

// Fields software cannot change: IDs, status, revision and class, header type,
// subsystem IDs, interrupt pin.
bool ReadOnly(uint32_t offset)
{
    return offset < 4 || (offset >= 6 && offset < 12) || offset == 14 ||
           (offset >= 44 && offset < 48) || offset == kInterruptPin;
}
} // namespace

PciFunction::PciFunction(ULONG bus, ULONG device, ULONG function)
    : bus_(bus), device_(device), function_(function)
{
}

PciFunction::~PciFunction()
{
    for (const Bar &b : bars_)
        if (b.model != nullptr)
            machine().ports.release(b.model);
}

uint32_t PciFunction::read(uint32_t offset, unsigned width) const
{
    uint32_t value = 0;
    for (unsigned i = 0; i < width && offset + i < kConfigBytes; ++i)
        value |= uint32_t(config_[offset + i]) << (8 * i);
    return value;
}

void PciFunction::poke(uint32_t offset, unsigned width, uint32_t value)
{
    for (unsigned i = 0; i < width && offset + i < kConfigBytes; ++i)
        config_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PciFunction::write(uint32_t offset, unsigned width, uint32_t value)
{
    bool barTouched[6] = {};
    for (unsigned i = 0; i < width && offset + i < kConfigBytes; ++i) {
        const uint32_t at = offset + i;
        if (ReadOnly(at))
            continue;
        if (at >= kBar0 && at < kBar5End)
            barTouched[(at - kBar0) / 4] = true;
        config_[at] = static_cast<uint8_t>(value >> (8 * i));
    }
    for (unsigned n = 0; n < 6; ++n) {
        if (!barTouched[n])
            continue;
        const Bar &b = bars_[n];
        const uint32_t raw = read(kBar0 + 4 * n, 4);
        if (!b.present) {
            poke(kBar0 + 4 * n, 4, 0); // an unimplemented BAR reads 0
            continue;
        }
        const uint32_t typeBits = b.io ? 0x1 : 0x0;
        const uint32_t addressMask = ~(b.length - 1) & (b.io ? ~0x3u : ~0xFu);
        poke(kBar0 + 4 * n, 4, (raw & addressMask) | typeBits);
        if (b.io && b.model != nullptr)
            claim(n);
    }
}

void PciFunction::claim(unsigned n)
{
    Bar &b = bars_[n];
    machine().ports.release(b.model);
    const uint32_t base = bar(n) & ~0x3u;
    if (base != 0 && !machine().ports.claim(base, b.length, b.model, b.name))
        machine().verifier.violation("a BAR moved the card's registers onto ports another device claims");
}

void PciFunction::set_io_bar(unsigned n, uint32_t base, uint32_t length, PortDevice *model, std::string name)
{
    Bar &b = bars_[n];
    if (b.model != nullptr)
        machine().ports.release(b.model);
    b = Bar{true, true, length, model, std::move(name)};
    poke(kBar0 + 4 * n, 4, (base & ~0x3u) | 0x1);
    if (model != nullptr)
        claim(n);
}

void PciFunction::set_memory_bar(unsigned n, uint32_t base, uint32_t length)
{
    Bar &b = bars_[n];
    if (b.model != nullptr)
        machine().ports.release(b.model);
    b = Bar{true, false, length, nullptr, ""};
    poke(kBar0 + 4 * n, 4, base & ~0xFu);
}

void PciFunction::set_interrupt_line(uint8_t line)
{
    config_[kInterruptLine] = line;
    config_[kInterruptPin] = line != 0 ? 1 : 0; // INTA
}

unsigned PciFunction::raise_interrupt()
{
    const ULONG line = interrupt_line();
    if (line == 0 || line > Interrupts::kMaxLevel)
        return 0;
    return machine().interrupts.raise(Interrupts::kVectorBase + line);
}

std::function<void()> PciFunction::line()
{
    return [this] { raise_interrupt(); };
}

// ---- buses ------------------------------------------------------------------------------
void PciBuses::add_bus(ULONG bus)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (bus < buses_.size())
        buses_[bus] = true;
}

bool PciBuses::has_bus(ULONG bus) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return bus < buses_.size() && buses_[bus];
}

PciFunction &PciBuses::add_function(ULONG bus, ULONG device, ULONG function, USHORT vendorId, USHORT deviceId)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    add_bus(bus);
    auto &slot = functions_[{bus, device & 0x1F, function & 0x7}];
    slot = std::make_unique<PciFunction>(bus, device & 0x1F, function & 0x7);
    slot->poke(0, 2, vendorId);
    slot->poke(2, 2, deviceId);
    return *slot;
}

PciFunction *PciBuses::find(ULONG bus, ULONG slot) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = functions_.find({bus, slot & 0x1F, (slot >> 5) & 0x7});
    return it == functions_.end() ? nullptr : it->second.get();
}

std::vector<ConfigWrite> PciBuses::writes() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return writes_;
}

uint64_t PciBuses::reads() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return reads_;
}

void PciBuses::note_write(ConfigWrite write)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    writes_.push_back(write);
}

void PciBuses::note_read()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++reads_;
}

bool PciBuses::assigned(ULONG bus, ULONG slot) const { return assignee(bus, slot) != nullptr; }

PDEVICE_OBJECT PciBuses::assignee(ULONG bus, ULONG slot) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = assigned_.find({bus, slot & 0xFF});
    return it == assigned_.end() ? nullptr : it->second;
}

PciFunction *PciBuses::function_of(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto &[where, holder] : assigned_)
        if (holder == device)
            return find(where.first, where.second);
    return nullptr;
}

std::vector<PciFunction *> PciBuses::functions() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<PciFunction *> out;
    for (const auto &[where, function] : functions_)
        out.push_back(function.get());
    return out;
}

PciFunction *PciBuses::io_owner(uint32_t port, unsigned *bar) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto &[where, function] : functions_) {
        for (unsigned n = 0; n < 6; ++n) {
            const PciFunction::Bar &b = function->bar_info(n);
            const uint32_t base = function->bar(n) & ~0x3u;
            if (b.present && b.io && base != 0 && port >= base && port - base < b.length) {
                *bar = n;
                return function.get();
            }
        }
    }
    return nullptr;
}

bool PciBuses::assign(ULONG bus, ULONG slot, PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto [it, added] = assigned_.emplace(std::make_pair(bus, slot & 0xFF), device);
    return added || it->second == device;
}

void PciBuses::release(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::erase_if(assigned_, [device](const auto &entry) { return entry.second == device; });
}

size_t PciBuses::assigned_count() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return assigned_.size();
}

void PciBuses::reset()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    functions_.clear();
    buses_.assign(256, false);
    assigned_.clear();
    writes_.clear();
    reads_ = 0;
}

} // namespace qorsim

using qorsim::machine;

extern "C" {

// A missing bus reads as 0 bytes; an empty slot as VendorID 0xFFFF (2 bytes).
ULONG NTAPI HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                          ULONG Length)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("HalGetBusData above DISPATCH_LEVEL");
    if (BusDataType != PCIConfiguration || !machine().pci.has_bus(BusNumber))
        return 0;
    machine().pci.note_read();
    auto *out = static_cast<uint8_t *>(Buffer);
    const qorsim::PciFunction *function = machine().pci.find(BusNumber, SlotNumber);
    if (function == nullptr) {
        const uint8_t empty[2] = {0xFF, 0xFF};
        const ULONG n = Length < 2 ? Length : 2;
        std::memcpy(out, empty, n);
        return n;
    }
    const ULONG n = Length < qorsim::PciFunction::kConfigBytes ? Length : qorsim::PciFunction::kConfigBytes;
    std::memcpy(out, function->config(), n);
    return n;
}

ULONG NTAPI HalSetBusDataByOffset(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber,
                                  PVOID Buffer, ULONG Offset, ULONG Length)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("HalSetBusDataByOffset above DISPATCH_LEVEL");
    if (BusDataType != PCIConfiguration || !machine().pci.has_bus(BusNumber))
        return 0;
    qorsim::PciFunction *function = machine().pci.find(BusNumber, SlotNumber);
    if (function == nullptr || Offset >= qorsim::PciFunction::kConfigBytes)
        return 0;
    if (Offset + Length > qorsim::PciFunction::kConfigBytes)
        Length = qorsim::PciFunction::kConfigBytes - Offset;
    const auto *in = static_cast<const uint8_t *>(Buffer);
    // Up to 4 bytes at a time, so that a BAR changes in one step.
    uint32_t first = 0;
    for (ULONG at = 0; at < Length; at += 4) {
        const unsigned width = Length - at < 4 ? Length - at : 4;
        uint32_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value |= uint32_t(in[at + i]) << (8 * i);
        function->write(Offset + at, width, value);
        if (at == 0)
            first = value;
    }
    const uint32_t value = first;
    machine().pci.note_write(qorsim::ConfigWrite{BusNumber, SlotNumber & 0xFF, Offset, Length, value});
    return Length;
}

} // extern "C"
