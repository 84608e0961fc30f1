// Deferred procedure calls: KeInitializeDpc and KeInsertQueueDpc, run in queue order on a
// host thread that stands for the processor's DPC activity, at DISPATCH_LEVEL.
#include "qorsim.h"
#include "virtual_time.h"
#include "image_context.h"

namespace qorsim {

namespace {
// A queued DPC is marked through its Lock field, as the kernel marks an inserted DPC.
PULONG_PTR const kQueuedMark = reinterpret_cast<PULONG_PTR>(1);
} // namespace

DpcQueue::~DpcQueue()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool DpcQueue::insert(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dpc->Lock == kQueuedMark)
            return false;
        dpc->Lock = kQueuedMark;
        dpc->SystemArgument1 = argument1;
        dpc->SystemArgument2 = argument2;
        queue_.push_back(dpc);
        virtual_time().work_begins(); // a queued DPC holds virtual time still until it has run
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
    }
    changed_.notify_all();
    return true;
}

void DpcQueue::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        PKDPC dpc = queue_.front();
        queue_.erase(queue_.begin());
        dpc->Lock = nullptr;
        busy_ = true;
        PVOID a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        const std::function<void(PKDPC)> observer = observer_;
        lock.unlock();
        if (observer)
            observer(dpc);
        set_current_irql(DISPATCH_LEVEL);
        enter_image_context();
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2);
        check_no_spin_lock_held("a DPC routine");
        if (current_irql() != DISPATCH_LEVEL)
            machine().verifier.violation("a DPC routine returned at an IRQL other than DISPATCH_LEVEL");
        set_current_irql(PASSIVE_LEVEL);
        lock.lock();
        busy_ = false;
        ++executed_;
        virtual_time().work_ends();
        changed_.notify_all();
    }
}

void DpcQueue::observe(std::function<void(PKDPC)> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void DpcQueue::drain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

uint64_t DpcQueue::executed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return executed_;
}

void DpcQueue::reset()
{
    drain();
    std::lock_guard<std::mutex> lock(mutex_);
    executed_ = 0;
}

} // namespace qorsim

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = 0x13; // DpcObject
    Dpc->Importance = 1; // MediumImportance
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->Lock = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    return qorsim::machine().dpcs.insert(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

} // extern "C"
