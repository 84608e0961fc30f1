// A fresh simulated machine for every test; at the end nothing may be left in the pool or
// as an MDL, and the verifier must have seen no violation.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "qorsim.h"
#include "leaks.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { qorsim::machine().reset(); }
    void TearDown() override {
        // Pool, contiguous memory, MDLs, views of the system process, kernel handles,
        // interrupts, devices, links, timers and IRPs still held, each named.
        EXPECT_EQ(qorsim::leak_report(), "");
        EXPECT_EQ(qorsim::machine().pci.assigned_count(), 0u) << "slot resources still assigned";
        EXPECT_TRUE(qorsim::machine().verifier.violations().empty())
            << "first violation: " << qorsim::machine().verifier.violations().front();
        qorsim::machine().reset();
    }

    qorsim::Machine &sim() { return qorsim::machine(); }

    // Recorded port accesses since the last clear, without their sequence and time.
    std::vector<qorsim::PortAccess> accesses() const { return qorsim::machine().ports.trace(); }
};

// A block of ports that a card decodes but where nothing answers: reads float high, writes
// go nowhere. For tests that check a register sequence on the trace alone (a port no card
// decodes is a verifier violation).
class OpenBus : public qorsim::PortDevice {
public:
    uint32_t read(uint32_t, unsigned) override { return 0xFFFFFFFFu; }
    void write(uint32_t, unsigned, uint32_t) override {}
};

// Shorthands for expected port accesses.
inline qorsim::PortAccess In(unsigned width, uint32_t port, uint32_t value) {
    return qorsim::PortAccess{0, 0, false, width, port, value};
}
inline qorsim::PortAccess Out(unsigned width, uint32_t port, uint32_t value) {
    return qorsim::PortAccess{0, 0, true, width, port, value};
}

// gtest prints mismatching accesses readably.
namespace qorsim {
inline void PrintTo(const PortAccess &a, std::ostream *os) { *os << describe(a); }
} // namespace qorsim

// A readable test name from a table row's "name" field.
template <class Info> std::string RowName(const Info &info) {
    std::string n;
    for (const char *p = info.param.name; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}
