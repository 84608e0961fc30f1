// The default machine (sim/machines/default.json, embedded in the program): PCI buses
// with acquisition cards of the three bridge families among other devices, the sample
// driver's registry parameters and the FPGA configuration file it downloads. A scenario
// builds it on the current Machine, which must have been reset; the models live as long
// as the object.
#pragma once

#include "qorsim.h"
#include "machine_file.h"
#include "models/acquisition.h"
#include "models/fpga_port.h"
#include "models/plx9050.h"
#include "models/plx9080.h"
#include "virtual_time.h"

#include <atomic>
#include <memory>
#include <thread>

namespace qorsim {

// Keeps virtual time for scenarios with free-running acquisition cards, on a thread of its
// own: whenever every simulated program is blocked and no DPC is in flight, it moves time
// on to the next thing that happens, a card's armed transfer coming due at its sample
// rate (the card then runs it and interrupts) or a program's wait or sleep running out,
// and runs it. Nothing waits for the host's scheduler, so the scenario's counts, losses
// and sequence are the same on any host. Program threads take part through InProcess.
class CardRunner {
public:
    explicit CardRunner(std::vector<models::PacedCard *> cards);
    explicit CardRunner(const std::vector<models::AcquisitionCard *> &cards)
        : CardRunner(std::vector<models::PacedCard *>(cards.begin(), cards.end())) {}
    ~CardRunner(); // stops the thread
    CardRunner(const CardRunner &) = delete;
    CardRunner &operator=(const CardRunner &) = delete;

    uint64_t transfers() const { return transfers_.load(); }

private:
    void run();
    std::vector<models::PacedCard *> cards_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> transfers_{0};
    std::thread thread_;
};

class DefaultMachine {
public:
    static constexpr const char16_t *kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acqdrv";
    static constexpr const char *kServiceKeyAscii = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acqdrv";

    struct Card {
        std::string family; // bridge chip
        ULONG bus, device, function;
        PciFunction *pci;
        models::AcquisitionCard *acquisition; // S5933 cards: the sample source
    };

    DefaultMachine();
    ~DefaultMachine();
    DefaultMachine(const DefaultMachine &) = delete;
    DefaultMachine &operator=(const DefaultMachine &) = delete;

    const std::vector<Card> &cards() const { return cards_; }
    std::vector<models::AcquisitionCard *> acquisition_cards() const;
    // Every card paced in virtual time: the S5933 cards and the 9050 cards' FIFOs.
    std::vector<models::PacedCard *> paced_cards() const { return built_.paced_cards(); }
    // The first PLX 9050 card's add-on FIFO.
    models::Plx9050Fifo &plx9050_fifo() const;
    // The PLX cards' bridge models, for tests that drive their local interrupt inputs.
    models::Plx9050 &plx9050() const { return static_cast<models::Plx9050 &>(bridge_of("plx9050")); }
    models::Plx9080 &plx9080() const { return static_cast<models::Plx9080 &>(bridge_of("plx9080")); }
    // The first PLX 9080 card's local bus: the FIFO its DMA channels read and write.
    models::SampleFifo &plx9080_fifo() const;

    const BuiltMachine &built() const { return built_; }

private:
    PortDevice &bridge_of(const std::string &family) const; // the first card of that family
    BuiltMachine built_;
    std::vector<Card> cards_;
};

} // namespace qorsim
