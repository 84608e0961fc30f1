// Fails each pool allocation of an operation in turn: run k fails the kth allocation the
// operation makes, until a run goes through without a failure. Every run must report
// what happened (true: the operation's documented success) and leave the pool as it
// found it, so the operation under test frees what it took on every failure path and the
// caller frees what a success hands out.
#pragma once

#include <gtest/gtest.h>

#include "qorsim.h"

// Returns the number of allocations the run without a failure made.
template <class Run> uint64_t SweepAllocationFailures(Run run) {
    qorsim::Pool &pool = qorsim::machine().pool;
    for (uint64_t k = 1; k <= 64; ++k) {
        const uint64_t failures = pool.failures();
        const uint64_t allocations = pool.allocations();
        const size_t live = pool.live_blocks().size();
        pool.fail_nth(k);
        const bool succeeded = run();
        pool.clear_faults();
        const bool injected = pool.failures() != failures;
        EXPECT_EQ(succeeded, !injected) << "allocation " << k << " failing";
        EXPECT_EQ(pool.live_blocks().size(), live) << "allocation " << k << " failing";
        if (!injected)
            return pool.allocations() - allocations;
    }
    ADD_FAILURE() << "the operation never ran without an injected failure";
    return 0;
}
