// The embedded default machine: PCI buses with acquisition cards of the three bridge
// families among other devices, the sample driver's registry parameters and the FPGA
// configuration file it downloads. A scenario builds it on the current Machine, which
// must have been reset; the models live as long as the object.
#pragma once

#include "qorsim.h"
#include "models/acquisition.h"
#include "models/fpga_port.h"
#include "models/plx9050.h"
#include "models/plx9080.h"

#include <memory>

namespace qorsim {

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

private:
    std::vector<Card> cards_;
    std::vector<std::unique_ptr<models::AcquisitionCard>> acquisition_;
    std::vector<std::unique_ptr<RegisterFile>> registers_;
    std::vector<std::unique_ptr<models::FpgaPort>> fpga_;
    std::vector<std::unique_ptr<models::Plx9050>> plx9050_;
    std::vector<std::unique_ptr<models::Plx9080>> plx9080_;
};

} // namespace qorsim
