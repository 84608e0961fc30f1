#include "default_machine.h"

namespace qorsim {

namespace {
constexpr uint8_t kIrqAcquisition = 10;
constexpr uint8_t kIrqShared = 11;
constexpr uint32_t kFpgaImageBytes = 2048;
constexpr uint32_t kAcquisitionRateHz = 1000000; // the S5933 cards sample at 1 MS/s
} // namespace

DefaultMachine::DefaultMachine()
{
    Machine &m = machine();

    // Bus 0: two S5933 acquisition cards, a chipset device of two functions, and a card
    // of another vendor. Bus 1 does not exist. Bus 2: a PLX 9050 and, behind an empty
    // function 0, a PLX 9080 at function 2 of a multi-function device, sharing a line.
    auto s5933 = [&](ULONG bus, ULONG device, uint32_t io) {
        PciFunction &f = m.pci.add_function(bus, device, 0, 0x10E8, 0x5A01);
        acquisition_.push_back(std::make_unique<models::AcquisitionCard>(0, 2));
        registers_.push_back(std::make_unique<RegisterFile>(0x20));
        fpga_.push_back(std::make_unique<models::FpgaPort>());
        fpga_.back()->complete_after(kFpgaImageBytes);
        f.set_io_bar(0, io, 0x40, &acquisition_.back()->chip, "s5933");
        f.set_io_bar(1, io + 0x40, 0x20, registers_.back().get(), "card registers");
        f.set_io_bar(2, io + 0x60, 0x10, fpga_.back().get(), "fpga port");
        f.set_interrupt_line(kIrqAcquisition);
        acquisition_.back()->interrupt = f.line();
        acquisition_.back()->sample_rate_hz = kAcquisitionRateHz;
        cards_.push_back(Card{"AMCC S5933", bus, device, 0, &f, acquisition_.back().get()});
    };
    s5933(0, 3, 0xE000);
    m.pci.add_function(0, 0, 0, 0x8086, 0x7000).poke(14, 1, 0x80); // multi-function bridge
    m.pci.add_function(0, 0, 1, 0x8086, 0x7010);
    m.pci.add_function(0, 9, 0, 0x1234, 0x5A01); // another vendor's device with our device ID
    s5933(0, 12, 0xE400);

    // A PLX card: its chip's memory window at BAR0, its I/O window at BAR1, the card's
    // registers at BAR2, and the subsystem IDs the sample driver searches for.
    auto plx = [&](ULONG device, ULONG function, USHORT chipId, USHORT subsystem, uint32_t memory, uint32_t io,
                   uint32_t window, std::unique_ptr<PortDevice> chip, const char *family) {
        PciFunction &f = m.pci.add_function(2, device, function, 0x10B5, chipId);
        if (function != 0)
            f.poke(14, 1, 0x80); // header type: multi-function device
        f.poke(44, 2, 0x1A2B);
        f.poke(46, 2, subsystem);
        chips_.push_back(std::move(chip));
        registers_.push_back(std::make_unique<RegisterFile>(0x20));
        f.set_memory_bar(0, memory, window);
        f.set_io_bar(1, io, window, chips_.back().get(), family);
        f.set_io_bar(2, io + 0x100, 0x20, registers_.back().get(), "card registers");
        f.set_interrupt_line(kIrqShared);
        cards_.push_back(Card{family, 2, device, function, &f, nullptr});
    };
    plx(4, 0, 0x9050, 0x9051, 0xFEB00000, 0xD000, 0x80, std::make_unique<models::Plx9050>(), "PLX PCI 9050");
    plx(6, 2, 0x9080, 0x9081, 0xFEA00000, 0xC000, 0x100, std::make_unique<models::Plx9080>(), "PLX PCI 9080");

    // The sample driver's parameters: buffer sizes in KB, one value per card, the FPGA file.
    const std::u16string parameters = std::u16string(kServiceKey) + u"\\Parameters";
    m.registry.set_dword(parameters, u"AI", 64);
    m.registry.set_dword(parameters, u"AO", 16);
    m.registry.set_dword(parameters, u"DI", 8);
    m.registry.set_dword(parameters, u"DO", 8);
    m.registry.set_dword(parameters, u"0", 7);
    m.registry.set_dword(parameters, u"1", 9);
    m.registry.set_string(parameters, u"FPGA", u"acqfpga.bin");
    std::vector<uint8_t> image(kFpgaImageBytes);
    for (uint32_t i = 0; i < kFpgaImageBytes; ++i)
        image[i] = static_cast<uint8_t>(i * 37 + 11);
    m.files.add(u"acqfpga.bin", image);
}

DefaultMachine::~DefaultMachine()
{
    // The PCI functions hold the register models' port claims; give them back first.
    machine().pci.reset();
}

CardRunner::CardRunner(std::vector<models::AcquisitionCard *> cards) : cards_(std::move(cards))
{
    virtual_time().keeper_begins();
    thread_ = std::thread([this] { run(); });
}

CardRunner::~CardRunner()
{
    stop_ = true;
    virtual_time().stop_waiting();
    thread_.join();
    virtual_time().keeper_ends();
}

void CardRunner::run()
{
    VirtualTime &time = virtual_time();
    while (time.wait_idle(stop_)) {
        // Everything is idle: nothing changes the cards or the blocks until we act. One
        // thing happens per pass, then everything runs until idle again: at the same
        // instant the cards go first, in their order, then the waits and sleeps that run
        // out, in the order they began.
        models::AcquisitionCard *next = nullptr;
        uint64_t due = VirtualTime::kNever;
        for (models::AcquisitionCard *card : cards_) {
            const uint64_t t = card->due_ns();
            if (t < due) {
                due = t;
                next = card;
            }
        }
        const uint64_t deadline = time.next_deadline();
        if (next != nullptr && due <= deadline) {
            time.advance_to(due);
            if (next->run_transfer())
                ++transfers_;
        } else if (deadline != VirtualTime::kNever) {
            time.advance_to(deadline);
            time.expire_next();
        } else if (!time.wait_change(stop_)) {
            break; // nothing is due: wait until something is armed or a program blocks
        }
    }
}

std::vector<models::AcquisitionCard *> DefaultMachine::acquisition_cards() const
{
    std::vector<models::AcquisitionCard *> out;
    for (const auto &card : acquisition_)
        out.push_back(card.get());
    return out;
}

} // namespace qorsim
