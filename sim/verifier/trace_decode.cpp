#include "trace_decode.h"

#include "models/fpga_port.h"
#include "models/plx9050.h"
#include "models/plx9080.h"
#include "models/s5933.h"

#include <cstdio>

namespace qorsim {

namespace {

struct Bit {
    unsigned bit;
    const char *set; // what the bit means when it is 1
};

struct Register {
    uint32_t offset;
    uint32_t size; // bytes the register spans
    const char *name;
    std::vector<Bit> bits;
};

using M = models::S5933;

// AMCC S5933 operation registers.
const std::vector<Register> &s5933_registers()
{
    static const std::vector<Register> regs = {
        {0x00, 4, "OMB1", {}}, {0x04, 4, "OMB2", {}}, {0x08, 4, "OMB3", {}}, {0x0C, 4, "OMB4", {}},
        {0x10, 4, "IMB1", {}}, {0x14, 4, "IMB2", {}}, {0x18, 4, "IMB3", {}}, {0x1C, 4, "IMB4", {}},
        {M::kFifo, 4, "FIFO", {}},
        {M::kMwar, 4, "MWAR", {}}, {M::kMwtc, 4, "MWTC", {}},
        {M::kMrar, 4, "MRAR", {}}, {M::kMrtc, 4, "MRTC", {}},
        {M::kMbef, 4, "MBEF", {}},
        {M::kIntcsr, 4, "INTCSR",
         {{4, "outgoing mailbox interrupt enabled"},
          {12, "incoming mailbox interrupt enabled"},
          {14, "interrupt on write transfer complete"},
          {15, "interrupt on read transfer complete"},
          {16, "outgoing mailbox interrupt"},
          {17, "incoming mailbox interrupt"},
          {18, "write transfer complete"},
          {19, "read transfer complete"},
          {20, "master abort"},
          {21, "target abort"},
          {23, "interrupt asserted"}}},
        {M::kMcsr, 4, "MCSR",
         {{0, "outgoing FIFO full"},
          {1, "outgoing FIFO has 4+ free"},
          {2, "outgoing FIFO empty"},
          {3, "incoming FIFO full"},
          {4, "incoming FIFO has 4+ words"},
          {5, "incoming FIFO empty"},
          {6, "read count zero"},
          {7, "write count zero"},
          {8, "write priority over read"},
          {9, "write FIFO management"},
          {10, "write transfer enabled"},
          {12, "read priority over write"},
          {13, "read FIFO management"},
          {14, "read transfer enabled"},
          {24, "add-on reset"},
          {25, "reset outgoing FIFO"},
          {26, "reset incoming FIFO"},
          {27, "reset mailbox flags"}}},
    };
    return regs;
}

using P50 = models::Plx9050;

const std::vector<Register> &plx9050_registers()
{
    static const std::vector<Register> regs = [] {
        std::vector<Register> r = {
            {0x00, 4, "LAS0RR", {}}, {0x04, 4, "LAS1RR", {}}, {0x08, 4, "LAS2RR", {}}, {0x0C, 4, "LAS3RR", {}},
            {0x10, 4, "EROMRR", {}}, {0x14, 4, "LAS0BA", {}}, {0x18, 4, "LAS1BA", {}}, {0x1C, 4, "LAS2BA", {}},
            {0x20, 4, "LAS3BA", {}}, {0x24, 4, "EROMBA", {}}, {0x28, 4, "LAS0BRD", {}}, {0x2C, 4, "LAS1BRD", {}},
            {0x30, 4, "LAS2BRD", {}}, {0x34, 4, "LAS3BRD", {}}, {0x38, 4, "EROMBRD", {}}, {0x3C, 4, "CS0BASE", {}},
            {0x40, 4, "CS1BASE", {}}, {0x44, 4, "CS2BASE", {}}, {0x48, 4, "CS3BASE", {}},
            {P50::kIntcsr, 4, "INTCSR",
             {{0, "LINT1 enabled"},
              {1, "LINT1 active high"},
              {2, "LINT1 asserted"},
              {3, "LINT2 enabled"},
              {4, "LINT2 active high"},
              {5, "LINT2 asserted"},
              {6, "PCI interrupt enabled"},
              {7, "software interrupt"}}},
        };
        Register cntrl{P50::kCntrl, 4, "CNTRL", {}};
        static const char *pinText[P50::kPins][3] = {
            {"USER0 general-purpose", "USER0 output", "USER0 high"},
            {"USER1 general-purpose", "USER1 output", "USER1 high"},
            {"USER2 general-purpose", "USER2 output", "USER2 high"},
            {"USER3 general-purpose", "USER3 output", "USER3 high"}};
        for (unsigned pin = 0; pin < P50::kPins; ++pin)
            for (unsigned b = 0; b < 3; ++b)
                cntrl.bits.push_back(Bit{3 * pin + b, pinText[pin][b]});
        cntrl.bits.push_back(Bit{29, "reload configuration"});
        cntrl.bits.push_back(Bit{30, "local bus held in reset"});
        r.push_back(cntrl);
        return r;
    }();
    return regs;
}

using P80 = models::Plx9080;

const std::vector<Register> &plx9080_registers()
{
    static const std::vector<Bit> mode = {{6, "ready input"},       {7, "BTERM input"},
                                          {8, "local burst"},       {9, "scatter-gather"},
                                          {10, "done interrupt"},   {11, "local address held"},
                                          {12, "demand mode"},      {17, "interrupt to PCI"}};
    static const std::vector<Bit> dpr = {{0, "descriptor in PCI memory"},
                                         {1, "end of chain"},
                                         {2, "interrupt after terminal count"},
                                         {3, "local to PCI"}};
    static const std::vector<Bit> csr = {{0, "enable"}, {1, "start"}, {2, "abort"}, {3, "clear interrupt"}, {4, "done"}};
    static const std::vector<Register> regs = {
        {0x00, 4, "LAS0RR", {}}, {0x04, 4, "LAS0BA", {}}, {0x08, 4, "MARBR", {}}, {0x0C, 4, "BIGEND", {}},
        {0x10, 4, "EROMRR", {}}, {0x14, 4, "EROMBA", {}}, {0x18, 4, "LBRD0", {}}, {0x1C, 4, "DMRR", {}},
        {0x20, 4, "DMLBAM", {}}, {0x24, 4, "DMLBAI", {}}, {0x28, 4, "DMPBAM", {}}, {0x2C, 4, "DMCFGA", {}},
        {0x40, 4, "MBOX0", {}}, {0x44, 4, "MBOX1", {}}, {0x48, 4, "MBOX2", {}}, {0x4C, 4, "MBOX3", {}},
        {0x50, 4, "MBOX4", {}}, {0x54, 4, "MBOX5", {}}, {0x58, 4, "MBOX6", {}}, {0x5C, 4, "MBOX7", {}},
        {0x60, 4, "P2LDBELL", {}}, {0x64, 4, "L2PDBELL", {}},
        {P80::kIntcsr, 4, "INTCSR",
         {{8, "PCI interrupt enabled"},
          {9, "PCI doorbell interrupt enabled"},
          {10, "PCI abort interrupt enabled"},
          {11, "local interrupt input enabled"},
          {13, "doorbell interrupt active"},
          {15, "local interrupt active"},
          {16, "local interrupt output enabled"},
          {18, "DMA 0 interrupt enabled"},
          {19, "DMA 1 interrupt enabled"},
          {21, "DMA 0 interrupt active"},
          {22, "DMA 1 interrupt active"}}},
        {P80::kCntrl, 4, "CNTRL", {{29, "reload configuration"}, {30, "software reset"}, {31, "EEPROM present"}}},
        {0x70, 4, "PCIHIDR", {}}, {0x74, 4, "PCIHREV", {}},
        {P80::kDmaMode0, 4, "DMAMODE0", mode}, {0x84, 4, "DMAPADR0", {}}, {0x88, 4, "DMALADR0", {}},
        {0x8C, 4, "DMASIZ0", {}}, {P80::kDmaDpr0, 4, "DMADPR0", dpr},
        {P80::kDmaMode1, 4, "DMAMODE1", mode}, {0x98, 4, "DMAPADR1", {}}, {0x9C, 4, "DMALADR1", {}},
        {0xA0, 4, "DMASIZ1", {}}, {P80::kDmaDpr1, 4, "DMADPR1", dpr},
        {P80::kDmaCsr, 1, "DMACSR0", csr}, {P80::kDmaCsr + 1, 1, "DMACSR1", csr},
        {0xAC, 4, "DMAARB", {}}, {P80::kDmaThr, 4, "DMATHR", {}},
    };
    return regs;
}

// The sample cards' own register block: digital ports and an 8254 with byte spacing.
constexpr uint32_t kCardDigitalIn = 0x08, kCardDigitalOut = 0x0A, kCardCounters = 0x10;

std::string hex(uint32_t value, int digits = 0)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string bits_in_words(const std::vector<Bit> &bits, uint32_t value)
{
    std::string out;
    for (const Bit &b : bits)
        if (value & (1u << b.bit))
            out += std::string(out.empty() ? "" : ", ") + b.set;
    return out;
}

void decode_table(const std::vector<Register> &regs, uint32_t offset, const PortAccess &a, DecodedAccess &d)
{
    for (const Register &r : regs) {
        if (offset < r.offset || offset >= r.offset + r.size)
            continue;
        const unsigned shift = 8 * (offset - r.offset);
        d.reg = r.name;
        if (shift != 0)
            d.reg += "[" + std::to_string(shift / 8) + "]";
        // The bits the access carries, in the register's own numbering.
        const uint32_t mask = a.width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * a.width)) - 1);
        d.meaning = bits_in_words(r.bits, (a.value & mask) << shift);
        return;
    }
    d.reg = "+" + hex(offset, 2);
}

std::string counter_control(uint32_t value)
{
    const unsigned select = (value >> 6) & 3, access = (value >> 4) & 3, mode = (value >> 1) & 7;
    if (select == 3)
        return "read-back command";
    std::string out = "counter " + std::to_string(select);
    static const char *accessText[] = {"latch count", "low byte only", "high byte only", "low then high byte"};
    out += std::string(", ") + accessText[access];
    if (access != 0)
        out += ", mode " + std::to_string(mode > 5 ? mode - 4 : mode) + ((value & 1) ? ", BCD" : ", binary");
    return out;
}

void decode_counters(uint32_t offset, uint32_t spacing, const PortAccess &a, DecodedAccess &d)
{
    const uint32_t index = offset / spacing;
    if (offset % spacing != 0 || index > 3) {
        d.reg = "8254+" + hex(offset, 2);
        return;
    }
    if (index == 3) {
        d.reg = "8254 CONTROL";
        if (a.write)
            d.meaning = counter_control(a.value & 0xFF);
    } else {
        d.reg = "8254 COUNTER" + std::to_string(index);
    }
}

void decode_fpga(uint32_t offset, const PortAccess &a, DecodedAccess &d)
{
    using F = models::FpgaPort;
    if (offset != 0) {
        d.reg = "FPGA+" + hex(offset, 2);
        return;
    }
    if (a.write) {
        d.reg = "FPGA CONTROL";
        if (a.width < 2)
            d.meaning = "narrower than the control word: ignored";
        else if (a.value & F::kProgramLine)
            d.meaning = "hold the program line (configuration reset)";
        else if ((a.value & 0xFFFF) == 0)
            d.meaning = "release the program line, or configuration byte 0x00";
        else
            d.meaning = "configuration byte " + hex(a.value & 0xFF, 2);
    } else {
        d.reg = "FPGA STATUS";
        d.meaning = bits_in_words({{0, "ready"}, {1, "complete"}, {2, "done"}, {3, "busy"}}, a.value);
    }
}

} // namespace

std::vector<PortRegion> port_regions(const BuiltMachine &built)
{
    std::vector<PortRegion> out;
    for (const BuiltMachine::Card &c : built.cards()) {
        char label[24];
        std::snprintf(label, sizeof label, "%lu:%02lu.%lu", static_cast<unsigned long>(c.desc->bus),
                      static_cast<unsigned long>(c.desc->device), static_cast<unsigned long>(c.desc->function));
        for (unsigned b = 0; b < 6; ++b) {
            const BarSpec &bar = c.desc->bars[b];
            if (!bar.present || !bar.io)
                continue;
            PortRegion r;
            r.base = c.pci->bar(b) & ~3u; // where the BAR is now
            r.length = bar.length;
            r.card = label;
            r.name = c.desc->name;
            r.model = bar.model == "bridge" ? c.desc->bridge : bar.model;
            out.push_back(r);
        }
    }
    return out;
}

DecodedAccess decode_access(const PortAccess &a, const std::vector<PortRegion> &regions)
{
    DecodedAccess d;
    const PortRegion *region = nullptr;
    for (const PortRegion &r : regions)
        if (a.port >= r.base && a.port - r.base < r.length)
            region = &r;
    if (region == nullptr) {
        d.reg = "port " + hex(a.port, 4);
        d.meaning = a.write ? "" : "no card answers";
        return d;
    }
    d.card = region->card;
    d.model = region->model;
    const uint32_t offset = a.port - region->base;
    if (region->model == "s5933") {
        decode_table(s5933_registers(), offset, a, d);
    } else if (region->model == "plx9050") {
        decode_table(plx9050_registers(), offset, a, d);
    } else if (region->model == "plx9080") {
        decode_table(plx9080_registers(), offset, a, d);
    } else if (region->model == "fpga") {
        decode_fpga(offset, a, d);
    } else if (region->model == "counters") {
        decode_counters(offset, region->length >= 16 ? 4 : region->length >= 8 ? 2 : 1, a, d);
    } else if (region->model == "registers") {
        if (offset >= kCardCounters && offset < kCardCounters + 4)
            decode_counters(offset - kCardCounters, 1, a, d);
        else if (offset == kCardDigitalIn)
            d.reg = "DIGITAL IN";
        else if (offset == kCardDigitalOut)
            d.reg = "DIGITAL OUT";
        else
            d.reg = "+" + hex(offset, 2);
    } else {
        d.reg = "+" + hex(offset, 2);
    }
    return d;
}

namespace {
std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
} // namespace

bool TraceFilter::matches(const DecodedAccess &d, const PortRegion *region) const
{
    bool card = cards.empty();
    for (const std::string &c : cards)
        card = card || (!d.card.empty() && (d.card == c || (region && upper(region->name).find(upper(c)) != std::string::npos) ||
                                             upper(d.model) == upper(c)));
    bool reg = registers.empty();
    for (const std::string &r : registers) {
        const std::string name = upper(d.reg);
        // "MCSR" selects MCSR and its bytes (MCSR[3]); "8254" every counter register.
        reg = reg || name == upper(r) || name.rfind(upper(r) + "[", 0) == 0 || name.rfind(upper(r) + " ", 0) == 0;
    }
    return card && reg;
}

std::string format_access(const PortAccess &a, const DecodedAccess &d)
{
    char head[80];
    std::snprintf(head, sizeof head, "%12.4f ms  %-8s %-9s ", a.time_ns / 1e6, d.card.empty() ? "-" : d.card.c_str(),
                  d.model.empty() ? "-" : d.model.c_str());
    std::string line = head + d.reg + (a.write ? " <- " : " -> ") + hex(a.value, static_cast<int>(a.width * 2));
    if (!d.meaning.empty())
        line += ": " + d.meaning;
    return line;
}

size_t write_trace(std::FILE *out, const std::vector<PortAccess> &trace, const std::vector<PortRegion> &regions,
                   const TraceFilter &filter)
{
    size_t lines = 0;
    for (const PortAccess &a : trace) {
        const DecodedAccess d = decode_access(a, regions);
        const PortRegion *region = nullptr;
        for (const PortRegion &r : regions)
            if (a.port >= r.base && a.port - r.base < r.length)
                region = &r;
        if (!filter.matches(d, region))
            continue;
        std::fprintf(out, "%s\n", format_access(a, d).c_str());
        ++lines;
    }
    return lines;
}

} // namespace qorsim
