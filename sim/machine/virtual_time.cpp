// Virtual time: who holds the machine's time still, and the keeper that moves it on.
#include "virtual_time.h"

#include <algorithm>

#include "qorsim.h"

namespace qorsim {

namespace {
thread_local int t_joined = 0;
} // namespace

VirtualTime &virtual_time()
{
    static VirtualTime instance;
    return instance;
}

bool VirtualTime::participant() { return t_joined > 0; }

void VirtualTime::join()
{
    if (t_joined++ > 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
    ++generation_;
}

void VirtualTime::leave()
{
    if (t_joined == 0 || --t_joined > 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        ++generation_;
    }
    changed_.notify_all();
}

void VirtualTime::block(Block &block, uint64_t timeout_ns)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t now = now_.load();
        block.deadline = timeout_ns == kNever || timeout_ns > kNever - now ? kNever : now + timeout_ns;
        block.order = order_++;
        block.released = false;
        block.timed_out = false;
        blocked_.push_back(&block);
        --running_;
        ++generation_;
    }
    changed_.notify_all();
}

void VirtualTime::release(Block &block)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (block.released)
        return;
    block.released = true;
    std::erase(blocked_, &block);
    ++running_;
    ++generation_;
}

void VirtualTime::unblock(Block &block)
{
    // Woken by something that did not count the thread back in (a wait on an event that
    // was already set, or one that a thread outside the scenario set): the same release.
    release(block);
}

void VirtualTime::sleep_ns(uint64_t ns)
{
    if (!keeping_time() || !participant()) {
        machine().clock.advance_ns(ns);
        return;
    }
    Block b;
    b.wake_mutex = &mutex_;
    b.wake = &changed_;
    block(b, ns);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return b.released; });
}

void VirtualTime::step_out()
{
    if (t_joined == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        ++generation_;
    }
    changed_.notify_all();
}

void VirtualTime::step_in()
{
    if (t_joined == 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
    ++generation_;
}

void VirtualTime::work_begins()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++work_;
    ++generation_;
}

void VirtualTime::work_ends()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --work_;
        ++generation_;
    }
    changed_.notify_all();
}

void VirtualTime::keeper_begins() { ++keepers_; }

void VirtualTime::keeper_ends()
{
    --keepers_;
    stop_waiting();
}

bool VirtualTime::wait_idle(const std::atomic<bool> &stop)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stop.load() || (running_ == 0 && work_ == 0); });
    seen_generation_ = generation_;
    return !stop.load();
}

bool VirtualTime::wait_change(const std::atomic<bool> &stop)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stop.load() || generation_ != seen_generation_; });
    return !stop.load();
}

uint64_t VirtualTime::next_deadline() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t next = kNever;
    for (const Block *b : blocked_)
        next = std::min(next, b->deadline);
    return next;
}

void VirtualTime::advance_to(uint64_t t)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (t > now_.load())
        now_ = t;
    machine().clock.advance_to(now_.load());
    ++generation_;
}

void VirtualTime::expire_next()
{
    std::mutex *wakeMutex = nullptr;
    std::condition_variable *wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Block *first = nullptr;
        for (Block *b : blocked_)
            if (b->deadline <= now_.load() &&
                (first == nullptr || b->deadline < first->deadline ||
                 (b->deadline == first->deadline && b->order < first->order)))
                first = b;
        if (first == nullptr)
            return;
        first->released = true;
        first->timed_out = true;
        std::erase(blocked_, first);
        ++running_;
        ++generation_;
        wakeMutex = first->wake_mutex;
        wake = first->wake;
    }
    // The block may be gone once its thread wakes: only the wake objects are used.
    std::lock_guard<std::mutex> lock(*wakeMutex);
    wake->notify_all();
}

void VirtualTime::poke()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
    }
    changed_.notify_all();
}

void VirtualTime::stop_waiting()
{
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

void VirtualTime::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = 0;
    order_ = 0;
    ++generation_;
}

} // namespace qorsim
