// Port ownership checks of READ_PORT_* and WRITE_PORT_*.
#include "port_owner.h"

#include "culprit.h"
#include "qorsim.h"
#include "trace_decode.h"

#include <cstdio>

namespace qorsim {

namespace {

// What the trace decoder calls the model behind a BAR.
std::string ModelOf(const PciFunction::Bar &bar)
{
    if (bar.name == "card registers")
        return "registers";
    if (bar.name == "8254")
        return "counters";
    if (bar.name == "fpga port")
        return "fpga";
    if (bar.name == "s5933" || bar.name == "plx9050" || bar.name == "plx9080")
        return bar.name;
    return "none";
}

std::string Label(const PciFunction &f)
{
    char label[24];
    std::snprintf(label, sizeof label, "%lu:%02lu.%lu", static_cast<unsigned long>(f.bus()),
                  static_cast<unsigned long>(f.device()), static_cast<unsigned long>(f.function()));
    return label;
}

// "INTCSR of the plx9050 range (BAR0) of card 0:05.0"
std::string RegisterText(const PciFunction &f, unsigned bar, uint32_t port, unsigned width)
{
    const PciFunction::Bar &b = f.bar_info(bar);
    PortRegion region;
    region.base = f.bar(bar) & ~0x3u;
    region.length = b.length;
    region.card = Label(f);
    region.model = ModelOf(b);
    const DecodedAccess d = decode_access(PortAccess{0, 0, false, width, port, 0}, {region});
    const std::string what = b.name.empty() ? std::string("the range") : "the " + b.name + " range";
    return d.reg + " of " + what + " (BAR" + std::to_string(bar) + ") of card " + region.card;
}

std::string Hex(uint32_t v, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, v);
    return text;
}

} // namespace

void check_port_access(const char *routine, uint32_t port, unsigned width)
{
    PciBuses &pci = machine().pci;
    unsigned bar = 0;
    const PciFunction *owner = pci.io_owner(port, &bar);
    const PDEVICE_OBJECT device = current_device();
    const PciFunction *mine = device ? pci.function_of(device) : nullptr;
    const std::string access = std::string(routine) + " of port " + Hex(port, 4);
    if (owner == nullptr) {
        uint32_t base = 0, length = 0;
        if (!machine().ports.claimed_range(port, &base, &length)) {
            machine().verifier.violation(access + ", which no card decodes");
            return;
        }
        if (mine == nullptr && port - base + width > length)
            machine().verifier.violation(access + ": the access runs past the end of the range " + Hex(base, 4) + "-" +
                                         Hex(base + length - 1, 4));
        if (mine != nullptr)
            machine().verifier.violation(access + ", which is no register of card " + Label(*mine) + " of " +
                                         device_label(device));
        return;
    }
    if (mine != nullptr && owner != mine) {
        machine().verifier.violation(access + ", " + RegisterText(*owner, bar, port, width) +
                                     ", which is no register of card " + Label(*mine) + " of " + device_label(device));
        return;
    }
    const uint32_t base = owner->bar(bar) & ~0x3u;
    if (port - base + width > owner->bar_info(bar).length)
        machine().verifier.violation(access + " (" + std::to_string(width) + " bytes), " +
                                     RegisterText(*owner, bar, port, width) + ": the access runs past the range's end " +
                                     Hex(base + owner->bar_info(bar).length - 1, 4));
}

} // namespace qorsim
