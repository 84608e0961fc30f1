// Spin locks and event objects of the simulated kernel. Spin locks are real: a simulated
// DPC on one host thread and a dispatch routine on another exclude each other as on a
// multiprocessor. The lock word holds the owning thread's number, so the verifier can
// name a recursive acquire or a release by a thread that does not hold the lock.
#include "qorsim.h"
#include "virtual_time.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <algorithm>
#include <chrono>
#include <thread>

namespace qorsim {

namespace {
std::atomic<ULONG> g_next_thread{1};
thread_local ULONG t_thread = 0;

ULONG ThisThread()
{
    if (t_thread == 0)
        t_thread = g_next_thread.fetch_add(1);
    return t_thread;
}

std::mutex g_event_mutex;
std::condition_variable g_event_changed;

// What the kernel's wait lists give NT: a waiter knows whether the event was set while it
// waited, even when it was cleared again at once (a pulse).
struct EventState {
    uint64_t sets = 0;
    size_t waiters = 0;
    std::vector<VirtualTime::Block *> programs; // waiting program threads in virtual time
};
std::map<PKEVENT, EventState> g_event_states;
} // namespace

bool wait_event_for(PKEVENT event, uint64_t timeout_ms)
{
    std::unique_lock<std::mutex> lock(g_event_mutex);
    if (event->Header.SignalState != 0)
        return true;
    EventState &state = g_event_states[event];
    const uint64_t seen = state.sets;
    ++state.waiters;
    VirtualTime &time = virtual_time();
    bool released;
    if (time.keeping_time() && VirtualTime::participant()) {
        // A program in a scenario with free-running cards: the timeout runs in virtual
        // time, and the set that releases the thread counts it as running at once.
        VirtualTime::Block block;
        block.wake_mutex = &g_event_mutex;
        block.wake = &g_event_changed;
        constexpr uint64_t kNsPerMs = 1000000;
        time.block(block, timeout_ms > VirtualTime::kNever / kNsPerMs ? VirtualTime::kNever : timeout_ms * kNsPerMs);
        state.programs.push_back(&block);
        g_event_changed.wait(lock, [&] { return g_event_states[event].sets != seen || block.timed_out.load(); });
        released = g_event_states[event].sets != seen;
        std::erase(g_event_states[event].programs, &block);
        time.unblock(block);
    } else {
        released = g_event_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            return g_event_states[event].sets != seen;
        });
    }
    // A released waiter stopped waiting the moment the event was set (KeSetEvent took it
    // off the count); a timed-out one leaves by itself.
    if (!released)
        --g_event_states[event].waiters;
    return released;
}

size_t event_waiters(PKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_event_mutex);
    auto it = g_event_states.find(event);
    return it == g_event_states.end() ? 0 : it->second.waiters;
}

uint64_t event_set_count(PKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_event_mutex);
    auto it = g_event_states.find(event);
    return it == g_event_states.end() ? 0 : it->second.sets;
}

bool event_signalled(PKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_event_mutex);
    return event->Header.SignalState != 0;
}

void initialize_event(PKEVENT event)
{
    std::lock_guard<std::mutex> lock(g_event_mutex);
    event->Header.Type = 0; // NotificationEvent
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.SignalState = 0;
    event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
    g_event_states.erase(event);
}

namespace {
thread_local std::vector<PKSPIN_LOCK> t_held_spin_locks;
// Kernel mutexes: one lock and one condition for all of them, since waits are rare and
// short (a driver serialising its create and close). The owner is the thread's number.
std::mutex g_mutex_lock;
std::condition_variable g_mutex_released;
thread_local std::vector<PRKMUTEX> t_held_mutexes; // one entry per acquire
constexpr UCHAR kMutantObject = 2;

struct _KTHREAD *OwnerOf(ULONG thread) { return reinterpret_cast<struct _KTHREAD *>(static_cast<uintptr_t>(thread)); }
} // namespace

size_t spin_locks_held() { return t_held_spin_locks.size(); }

void check_no_spin_lock_held(const char *where, size_t heldBefore)
{
    // A thread that goes back to its program holding a kernel mutex keeps normal kernel
    // APCs disabled for good: NT stops with APC_INDEX_MISMATCH. Only dispatch routines
    // and DPCs (heldBefore 0) can have taken one.
    if (heldBefore == 0 && !t_held_mutexes.empty()) {
        machine().verifier.violation(std::string(where) + " returned holding a mutex");
        std::vector<PRKMUTEX> held;
        held.swap(t_held_mutexes);
        std::lock_guard<std::mutex> lock(g_mutex_lock);
        for (PRKMUTEX m : held)
            if (++m->Header.SignalState == 1)
                m->OwnerThread = nullptr;
        g_mutex_released.notify_all();
    }
    if (t_held_spin_locks.size() <= heldBefore)
        return;
    machine().verifier.violation_of_routine(std::string(where) + " returned holding a spin lock");
    for (size_t i = heldBefore; i < t_held_spin_locks.size(); ++i)
        __atomic_store_n(t_held_spin_locks[i], 0, __ATOMIC_RELEASE);
    t_held_spin_locks.resize(heldBefore);
}
} // namespace qorsim

using qorsim::machine;

extern "C" {

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    const KIRQL old = qorsim::current_irql();
    if (old > DISPATCH_LEVEL)
        machine().verifier.violation("KfAcquireSpinLock above DISPATCH_LEVEL");
    const ULONG me = qorsim::ThisThread();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
        machine().verifier.violation("KfAcquireSpinLock of a lock this thread already holds");
        return old; // on NT this spins forever
    }
    qorsim::set_current_irql(DISPATCH_LEVEL);
    for (;;) {
        ULONG expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            qorsim::t_held_spin_locks.push_back(SpinLock);
            return old;
        }
        std::this_thread::yield();
    }
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != qorsim::ThisThread())
        machine().verifier.violation("KfReleaseSpinLock of a lock this thread does not hold");
    if (qorsim::current_irql() != DISPATCH_LEVEL)
        machine().verifier.violation("KfReleaseSpinLock while not at DISPATCH_LEVEL");
    if (NewIrql > DISPATCH_LEVEL)
        machine().verifier.violation("KfReleaseSpinLock to an IRQL above DISPATCH_LEVEL");
    std::erase(qorsim::t_held_spin_locks, SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    qorsim::set_current_irql(NewIrql);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG, BOOLEAN Wait)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("KeSetEvent above DISPATCH_LEVEL");
    if (Wait)
        machine().verifier.violation("KeSetEvent with Wait TRUE is not modelled");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(qorsim::g_event_mutex);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        qorsim::EventState &state = qorsim::g_event_states[Event];
        ++state.sets;
        state.waiters = 0; // every thread waiting now is released
        for (qorsim::VirtualTime::Block *program : state.programs)
            qorsim::virtual_time().release(*program);
        state.programs.clear();
    }
    qorsim::g_event_changed.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("KeClearEvent above DISPATCH_LEVEL");
    std::lock_guard<std::mutex> lock(qorsim::g_event_mutex);
    Event->Header.SignalState = 0;
}

// Kernel mutexes. SignalState is 1 while the mutex is free and 1 - n while its owner holds
// it n times. A waiter that is a program thread in virtual time keeps holding time still:
// the owner of a driver's mutex is itself running (it never waits on virtual time while it
// holds it), so it releases without time moving.
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("KeInitializeMutex above DISPATCH_LEVEL");
    std::lock_guard<std::mutex> lock(qorsim::g_mutex_lock);
    Mutex->Header.Type = qorsim::kMutantObject;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead.Flink = Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    auto *mutex = static_cast<PRKMUTEX>(Object);
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    // Only a wait that cannot block may run at DISPATCH_LEVEL: a blocking one there would
    // stop the processor's scheduler.
    if (qorsim::current_irql() > (poll ? DISPATCH_LEVEL : APC_LEVEL))
        machine().verifier.violation(poll ? "KeWaitForSingleObject above DISPATCH_LEVEL"
                                          : "KeWaitForSingleObject that may block above APC_LEVEL");
    if (WaitMode != KernelMode)
        machine().verifier.violation("KeWaitForSingleObject in a wait mode other than KernelMode");
    if (Alertable != FALSE)
        machine().verifier.violation("KeWaitForSingleObject alertable");
    if (mutex == nullptr || mutex->Header.Type != qorsim::kMutantObject) {
        machine().verifier.violation("KeWaitForSingleObject on an object other than a kernel mutex is not modelled");
        return STATUS_INVALID_PARAMETER;
    }
    if (Timeout != nullptr && Timeout->QuadPart > 0) {
        machine().verifier.violation("KeWaitForSingleObject until an absolute time is not modelled");
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG me = qorsim::ThisThread();
    std::unique_lock<std::mutex> lock(qorsim::g_mutex_lock);
    auto mine = [&] { return mutex->Header.SignalState == 1 || mutex->OwnerThread == qorsim::OwnerOf(me); };
    if (Timeout == nullptr) {
        qorsim::g_mutex_released.wait(lock, mine);
    } else if (!qorsim::g_mutex_released.wait_for(lock, std::chrono::nanoseconds(-Timeout->QuadPart * 100), mine)) {
        return STATUS_TIMEOUT;
    }
    if (mutex->Header.SignalState == LONG(INT32_MIN) + 1) {
        machine().verifier.violation("KeWaitForSingleObject: a mutex acquired recursively too often");
        return STATUS_INVALID_PARAMETER;
    }
    --mutex->Header.SignalState;
    mutex->OwnerThread = qorsim::OwnerOf(me);
    qorsim::t_held_mutexes.push_back(mutex);
    return STATUS_SUCCESS;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("KeReleaseMutex above DISPATCH_LEVEL");
    if (Wait)
        machine().verifier.violation("KeReleaseMutex with Wait TRUE is not modelled");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(qorsim::g_mutex_lock);
        previous = Mutex->Header.SignalState;
        // NT stops with MUTANT_NOT_OWNED (STATUS_MUTANT_NOT_OWNED) here.
        if (Mutex->Header.SignalState == 1 || Mutex->OwnerThread != qorsim::OwnerOf(qorsim::ThisThread())) {
            machine().verifier.violation("KeReleaseMutex of a mutex this thread does not own");
            return previous;
        }
        if (++Mutex->Header.SignalState == 1)
            Mutex->OwnerThread = nullptr;
        auto &held = qorsim::t_held_mutexes;
        held.erase(std::find(held.rbegin(), held.rend(), Mutex).base() - 1);
    }
    qorsim::g_mutex_released.notify_all();
    return previous;
}

} // extern "C"
