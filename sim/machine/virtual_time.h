// Virtual time for scenarios with free-running cards. The host threads that stand for user
// programs (every thread inside an InProcess) and the DPCs in flight hold the machine's
// time still while they run; a time keeper (the card runner) moves it on only when all of
// them are idle, to the next thing that happens: a card finishing a transfer or a program's
// wait or sleep running out. What a scenario reports is then a function of the scenario,
// whatever the host's load: a program that is slower than the card in simulated time loses
// halves, one that keeps up never does. Without a time keeper, waits run in host time as
// before and sleeps only move the clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qorsim {

class VirtualTime {
public:
    static constexpr uint64_t kNever = UINT64_MAX;

    // A program thread blocked in a wait or a sleep. Whoever ends the block (an event set
    // on the program's behalf, or the time keeper at the deadline) counts the thread as
    // running again at that moment, before the thread itself wakes, so that time cannot
    // move on in between.
    struct Block {
        uint64_t deadline = kNever;
        uint64_t order = 0; // blocks with the same deadline run out in the order they began
        bool released = false;
        std::atomic<bool> timed_out{false};
        std::mutex *wake_mutex = nullptr; // what the thread waits on
        std::condition_variable *wake = nullptr;
    };

    // ---- program threads ----
    void join();  // the calling thread runs a simulated program (outermost InProcess)
    void leave();
    static bool participant(); // the calling thread has joined
    bool keeping_time() const { return keepers_.load() > 0; }
    // Virtual time of the last thing that happened, in ns: where deadlines and the cards'
    // transfer ends count from (the port-access costs on Clock do not move it).
    uint64_t now_ns() const { return now_.load(); }

    // The calling participant blocks until `timeout_ns` from now (kNever: no deadline);
    // called with *block.wake_mutex held.
    void block(Block &block, uint64_t timeout_ns);
    // Releases a blocked participant on its behalf (an event was set); no effect when its
    // block already ended.
    void release(Block &block);
    // The participant is awake again: forgets the block.
    void unblock(Block &block);
    // A participant sleeps for `ns` of virtual time.
    void sleep_ns(uint64_t ns);
    // A participant waits in host time for something only moving time brings (a pended
    // request the DPC completes): it stops holding time still until step_in. Time may
    // move on between the completion and step_in; no scenario's counts depend on that.
    void step_out();
    void step_in();

    // ---- work in flight that holds time still: queued and running DPCs ----
    void work_begins();
    void work_ends();

    // ---- the time keeper ----
    void keeper_begins();
    void keeper_ends();
    // Waits until every participant is blocked and no work is in flight; false on stop.
    bool wait_idle(const std::atomic<bool> &stop);
    // Waits for any change since the last wait_idle (nothing was due); false on stop.
    bool wait_change(const std::atomic<bool> &stop);
    uint64_t next_deadline() const;
    // Moves time on to t (never back).
    void advance_to(uint64_t t);
    // Times out the block whose deadline has come first (of equal ones, the one that
    // began first); one at a time, so that programs released together cannot race.
    void expire_next();
    // Something the keeper schedules from changed (a card armed a transfer).
    void poke();
    void stop_waiting(); // wakes a keeper's waits to look at its stop flag

    void reset(); // time back to 0; participants and work stay as they are

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Block *> blocked_;
    uint64_t running_ = 0, work_ = 0, generation_ = 0, seen_generation_ = 0, order_ = 0;
    std::atomic<uint64_t> now_{0};
    std::atomic<int> keepers_{0};
};

VirtualTime &virtual_time();

} // namespace qorsim
