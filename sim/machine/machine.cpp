// The simulated machine: the one current instance, the per-thread IRQL and the verifier.
#include "qorsim.h"
#include "image_context.h"
#include "virtual_time.h"

namespace qorsim {

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

Machine &machine()
{
    static Machine instance;
    return instance;
}

void Machine::reset()
{
    dpcs.reset();
    reset_user_handles();
    mdls.reset(); // before the processes whose pages they lock
    processes.reset();
    handles.reset();
    files.reset();
    events.reset();
    memory.reset();
    faults.clear();
    pool.reset();
    ports.reset();
    clock.reset();
    virtual_time().reset();
    verifier.reset();
    objects.reset();
    registry.reset();
    interrupts.reset();
    timers.reset();
    pci.reset();
    foreign_completions.clear();
    t_irql = PASSIVE_LEVEL;
}

void Faults::fail_nth(Fault kind, uint64_t n, bool every_after)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Rule &r = rules_[static_cast<int>(kind)];
    r.at = n == 0 ? 0 : r.calls + n;
    r.every_after = every_after;
}

void Faults::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (Rule &r : rules_)
        r = Rule{};
}

bool Faults::take(Fault kind)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Rule &r = rules_[static_cast<int>(kind)];
    ++r.calls;
    return r.at != 0 && (r.calls == r.at || (r.every_after && r.calls > r.at));
}

KIRQL current_irql() { return t_irql; }
void set_current_irql(KIRQL irql) { t_irql = irql; }

void Verifier::violation(std::string what)
{
    // In a driver image, the place in it that made the call.
    const std::string caller = image_caller();
    if (!caller.empty())
        what += " (" + caller + ")";
    std::lock_guard<std::mutex> lock(mutex_);
    violations_.push_back(std::move(what));
}

std::vector<std::string> Verifier::violations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
}

void Verifier::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    violations_.clear();
}

} // namespace qorsim

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) { return qorsim::current_irql(); }
