// A fresh machine with one chip model claimed at kBase, and helpers for expected access
// sequences.
#pragma once

#include "support/sim_fixture.h"

#include "qorpelk.h"

#include <initializer_list>
#include <vector>

template <class Model> class ModelTest : public SimTest {
protected:
    static constexpr uint32_t kBase = 0xC000;
    Model model;

    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kBase, model.length(), &model, "chip"));
    }
    void TearDown() override {
        sim().ports.release(&model);
        SimTest::TearDown();
    }
};

using Accesses = std::vector<qorsim::PortAccess>;

// Concatenates access sequences.
inline Accesses Seq(std::initializer_list<Accesses> parts) {
    Accesses all;
    for (const Accesses &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Accesses Repeat(size_t n, const qorsim::PortAccess &access) { return Accesses(n, access); }
