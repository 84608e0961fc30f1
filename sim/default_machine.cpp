#include "default_machine.h"

namespace qorsim {

DefaultMachine::DefaultMachine() : built_(default_machine_spec())
{
    // The cards of the three bridge families, in the file's order (S5933 cards on bus 0,
    // then the PLX 9050 and 9080 cards on bus 2).
    for (const BuiltMachine::Card &c : built_.cards())
        if (c.spec->bridge != "none")
            cards_.push_back(Card{bridge_display_name(c.spec->bridge), c.spec->bus, c.spec->device, c.spec->function,
                                  c.pci, c.acquisition});
}

DefaultMachine::~DefaultMachine() = default;

CardRunner::CardRunner(std::vector<models::AcquisitionCard *> cards, std::u16string event,
                       std::chrono::milliseconds patience)
    : cards_(std::move(cards)), event_(std::move(event)), patience_(patience), thread_([this] { run(); })
{
}

CardRunner::~CardRunner()
{
    stop_ = true;
    thread_.join();
}

void CardRunner::run()
{
    auto pendingSince = std::chrono::steady_clock::now();
    bool pending = false;
    while (!stop_) {
        for (models::AcquisitionCard *card : cards_) {
            if (!card->transfer_pending())
                continue;
            if (!pending) {
                pending = true;
                pendingSince = std::chrono::steady_clock::now();
            }
            PKEVENT event = machine().events.find(event_);
            const bool readerWaits = event != nullptr && event_waiters(event) > 0;
            if (readerWaits || std::chrono::steady_clock::now() - pendingSince > patience_) {
                card->run_transfer();
                pending = false;
            }
        }
        std::this_thread::yield();
    }
}

std::vector<models::AcquisitionCard *> DefaultMachine::acquisition_cards() const
{
    return built_.acquisition_cards();
}

} // namespace qorsim
