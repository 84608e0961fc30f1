// The verifier's record of broken rules, each with its culprit named.
#include "culprit.h"
#include "image_context.h"
#include "qorsim.h"

#include <csignal>
#include <cstdio>

namespace qorsim {

namespace {
// In a driver image, the place in it that called the kernel, as the loader noted it.
std::string ImageSite()
{
    const std::string caller = image_caller();
    return caller.empty() ? std::string() : " (" + caller + ")";
}
} // namespace

void Verifier::violation(std::string what) { record(what + ImageSite() + culprit_text()); }

void Verifier::violation_of_routine(std::string what) { record(what + ImageSite() + culprit_text(nullptr)); }

void Verifier::record(std::string what)
{
    bool first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = violations_.empty();
        violations_.push_back(what);
    }
    if (break_ && first) {
        // The debugger stops here, on the thread that broke the rule, with the driver's
        // frames below this one.
        std::fprintf(stderr, "qorsim: violation: %s\n", what.c_str());
        std::raise(SIGTRAP);
    }
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
