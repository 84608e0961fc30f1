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

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace qorsim {

// Runs the acquisition cards' pending transfers on a thread of their own: a card produces
// its next block when a reader waits on `event` (the user's named event of the buffer,
// under \BaseNamedObjects), or after `patience` without one, as a free-running card would.
class CardRunner {
public:
    CardRunner(std::vector<models::AcquisitionCard *> cards, std::u16string event,
               std::chrono::milliseconds patience = std::chrono::milliseconds(50));
    ~CardRunner(); // stops the thread
    CardRunner(const CardRunner &) = delete;
    CardRunner &operator=(const CardRunner &) = delete;

private:
    void run();
    std::vector<models::AcquisitionCard *> cards_;
    std::u16string event_;
    std::chrono::milliseconds patience_;
    std::atomic<bool> stop_{false};
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

    const BuiltMachine &built() const { return built_; }

private:
    BuiltMachine built_;
    std::vector<Card> cards_;
};

} // namespace qorsim
