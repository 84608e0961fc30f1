// The simulated machine has one processor: the HAL gives every interrupt the affinity of
// processor 0, and one thing at a time holds its virtual time. Its host threads (the
// programs, the DPC thread, the card runner) may still run on every core of the host,
// which gives more interleavings than one processor would (the tests keep it so, to shake
// out races between programs), or share one host core as the machine's processor does.
// On one core the samples a card model writes into simulated RAM stay in the cache of the
// core whose program reads them, instead of crossing between cores at every half: a long
// acquisition ran about twice as fast on a two-core host.
#pragma once

#include <string>

namespace qorsim {

// Keeps the calling thread, and every thread started after the call by it or by threads
// it started, on the host core it runs on now. Call before the machine starts its
// threads. False, with the host's reason in *error, when the host refuses; the threads
// then keep every core, and nothing else changes.
bool share_one_host_core(std::string *error);

} // namespace qorsim
