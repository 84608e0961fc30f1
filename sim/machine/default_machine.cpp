#include "default_machine.h"

#include <cstdlib>

namespace qorsim {

DefaultMachine::DefaultMachine() : built_(default_machine_spec())
{
    // The cards of the three bridge families, in the file's order (S5933 cards on bus 0,
    // then the PLX 9050 and 9080 cards on bus 2).
    for (const BuiltMachine::Card &c : built_.cards())
        if (c.desc->bridge != "none")
            cards_.push_back(Card{bridge_display_name(c.desc->bridge), c.desc->bus, c.desc->device, c.desc->function,
                                  c.pci, c.acquisition});
}

DefaultMachine::~DefaultMachine() = default;

CardRunner::CardRunner(std::vector<models::PacedCard *> cards) : cards_(std::move(cards))
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
        models::PacedCard *next = nullptr;
        uint64_t due = VirtualTime::kNever;
        for (models::PacedCard *card : cards_) {
            const uint64_t t = card->next_due_ns();
            if (t < due) {
                due = t;
                next = card;
            }
        }
        const uint64_t deadline = time.next_deadline();
        if (next != nullptr && due <= deadline) {
            time.advance_to(due);
            if (next->run_due())
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
    return built_.acquisition_cards();
}

PortDevice &DefaultMachine::bridge_of(const std::string &family) const
{
    for (const BuiltMachine::Card &card : built_.cards())
        if (card.desc->bridge == family && card.bridge != nullptr)
            return *card.bridge;
    std::abort(); // the default machine has a card of each bridge family
}

models::Plx9050Fifo &DefaultMachine::plx9050_fifo() const
{
    for (const BuiltMachine::Card &card : built_.cards())
        if (card.addon != nullptr)
            return *card.addon;
    std::abort();
}

models::SampleFifo &DefaultMachine::plx9080_fifo() const
{
    for (const BuiltMachine::Card &card : built_.cards())
        if (card.fifo != nullptr)
            return *card.fifo;
    std::abort();
}

} // namespace qorsim
