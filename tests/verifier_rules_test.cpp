// Wrong arguments and IRQLs of platform calls are verifier violations, as a checked NT
// kernel with the driver verifier would stop on them; the right ones pass.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "support/sim_fixture.h"
#include "qor_platform.h"

namespace {

struct RuleRow {
    const char *name;
    void (*call)();
    const char *violation; // a part of the report; null: the call is right
};

class VerifierRules : public SimTest, public ::testing::WithParamInterface<RuleRow> {};

// Runs the enclosed calls at an IRQL and goes back to PASSIVE_LEVEL.
struct AtIrql {
    explicit AtIrql(KIRQL irql) { qorsim::set_current_irql(irql); }
    ~AtIrql() { qorsim::set_current_irql(PASSIVE_LEVEL); }
};

void Allocate(POOL_TYPE type)
{
    qorsim::machine().pool.free(ExAllocatePoolWithTag(type, 16, 0x206B6444));
}

// Writes `past` bytes behind the end of a 16-byte block, then frees it.
void Overrun(size_t past)
{
    auto *p = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, 16, 0x206B6444));
    std::memset(p, 0, 16 + past);
    ExFreePool(p);
}

void Delay(KPROCESSOR_MODE mode, BOOLEAN alertable)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10;
    KeDelayExecutionThread(mode, alertable, &interval);
}

// Locks 4 bytes of a program's private memory in the given mode.
void LockUserBuffer(KPROCESSOR_MODE mode)
{
    qorsim::Process &p = qorsim::machine().processes.create("app");
    qorsim::InProcess in(p);
    const uintptr_t user = p.allocate_private(4096);
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(user), 4, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, mode, IoModifyAccess);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    p.free_private(user);
    qorsim::machine().processes.end(p);
}

void AllocateMdlWithQuota()
{
    static uint8_t page[4096];
    IoFreeMdl(IoAllocateMdl(page, 16, FALSE, TRUE, nullptr));
}

void QueryRegistryAtApcLevel()
{
    RTL_QUERY_REGISTRY_TABLE table[1] = {};
    AtIrql apc(APC_LEVEL);
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, u"\\Registry\\Machine\\None", table,
                           nullptr, nullptr);
}

void DecimalAtDispatch()
{
    WCHAR digits[8];
    UNICODE_STRING s{0, sizeof digits, digits};
    AtIrql dispatch(DISPATCH_LEVEL);
    RtlIntegerToUnicodeString(12, 10, &s);
}

// A DPC that takes a spin lock and returns with it (once with and once without its
// release). The report also gives the lock back, so the next taker does not spin for good.
KSPIN_LOCK g_dpc_lock;

template <bool Release>
VOID NTAPI TakeTheLock(PKDPC, PVOID, PVOID, PVOID)
{
    const KIRQL old = KfAcquireSpinLock(&g_dpc_lock);
    if (Release)
        KfReleaseSpinLock(&g_dpc_lock, old);
}

template <bool Release>
void DpcTakingALock()
{
    static KDPC dpc;
    KeInitializeSpinLock(&g_dpc_lock);
    KeInitializeDpc(&dpc, TakeTheLock<Release>, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    qorsim::machine().dpcs.drain();
    KfReleaseSpinLock(&g_dpc_lock, KfAcquireSpinLock(&g_dpc_lock));
}

KMUTEX g_mutex;

// Takes the mutex (twice when `depth` is 2, as its owner may) and gives it back, at an IRQL
// and with a timeout; `releases` of the acquires are released again.
void Mutex(KIRQL irql, bool poll, int depth, int releases)
{
    KeInitializeMutex(&g_mutex, 0);
    AtIrql at(irql);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    for (int i = 0; i < depth; ++i)
        KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, poll ? &zero : nullptr);
    for (int i = 0; i < releases; ++i)
        KeReleaseMutex(&g_mutex, FALSE);
}

// Another thread releases a mutex this one holds.
void ReleaseByAnotherThread()
{
    KeInitializeMutex(&g_mutex, 0);
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
    std::thread([] { KeReleaseMutex(&g_mutex, FALSE); }).join();
    KeReleaseMutex(&g_mutex, FALSE);
}

// A second thread's wait for a held mutex times out; the owner's release lets the next
// wait through at once.
void WaitForAHeldMutex()
{
    KeInitializeMutex(&g_mutex, 0);
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS whileHeld = 0, afterRelease = 0;
    LARGE_INTEGER shortly;
    shortly.QuadPart = -10000; // 1 ms
    std::thread([&] { whileHeld = KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, &shortly); }).join();
    KeReleaseMutex(&g_mutex, FALSE);
    std::thread([&] {
        afterRelease = KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&g_mutex, FALSE);
    }).join();
    if (whileHeld != STATUS_TIMEOUT || afterRelease != STATUS_SUCCESS)
        qorsim::machine().verifier.violation("the mutex let a second owner in, or kept it out after the release");
}

VOID NTAPI KeepTheMutex(PKDPC, PVOID, PVOID, PVOID)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, &zero);
}

void DpcKeepingAMutex()
{
    static KDPC dpc;
    KeInitializeMutex(&g_mutex, 0);
    KeInitializeDpc(&dpc, KeepTheMutex, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    qorsim::machine().dpcs.drain();
}

void AttachTwice()
{
    KeAttachProcess(reinterpret_cast<PKPROCESS>(PsInitialSystemProcess));
    KeAttachProcess(reinterpret_cast<PKPROCESS>(PsInitialSystemProcess));
    KeDetachProcess();
}

const RuleRow kRules[] = {
    {"nonpaged_at_dispatch", [] { AtIrql d(DISPATCH_LEVEL); Allocate(NonPagedPool); }, nullptr},
    {"paged_at_apc", [] { AtIrql a(APC_LEVEL); Allocate(PagedPool); }, nullptr},
    {"paged_at_dispatch", [] { AtIrql d(DISPATCH_LEVEL); Allocate(PagedPool); }, "paged pool at DISPATCH_LEVEL"},
    {"must_succeed", [] { Allocate(static_cast<POOL_TYPE>(2)); }, "must-succeed"},
    {"quota_charged", [] { Allocate(static_cast<POOL_TYPE>(8)); }, "quota"},
    {"no_pool_type", [] { Allocate(static_cast<POOL_TYPE>(0x40)); }, "no pool type"},
    {"pool_block_filled", [] { Overrun(0); }, nullptr},
    {"pool_block_overrun", [] { Overrun(1); }, "a write past the end of a pool block of 16 bytes"},
    {"delay_kernel_mode", [] { Delay(KernelMode, FALSE); }, nullptr},
    {"delay_user_mode", [] { Delay(UserMode, FALSE); }, "wait mode"},
    {"delay_alertable", [] { Delay(KernelMode, TRUE); }, "alertable"},
    {"delay_at_apc", [] { AtIrql a(APC_LEVEL); Delay(KernelMode, FALSE); }, "above PASSIVE_LEVEL"},
    {"probe_user_buffer_user_mode", [] { LockUserBuffer(UserMode); }, nullptr},
    {"probe_user_buffer_kernel_mode", [] { LockUserBuffer(KernelMode); }, "in KernelMode"},
    {"mdl_quota", AllocateMdlWithQuota, "quota"},
    {"registry_at_apc", QueryRegistryAtApcLevel, "RtlQueryRegistryValues above PASSIVE_LEVEL"},
    {"decimal_at_dispatch", DecimalAtDispatch, "RtlIntegerToUnicodeString above PASSIVE_LEVEL"},
    {"attach_while_attached", AttachTwice, "attached already"},
    {"dpc_releases_its_lock", DpcTakingALock<true>, nullptr},
    {"dpc_returns_holding_a_lock", DpcTakingALock<false>, "a DPC routine returned holding a spin lock"},
    {"mutex_taken_twice_and_released", [] { Mutex(PASSIVE_LEVEL, false, 2, 2); }, nullptr},
    {"mutex_polled_at_dispatch", [] { Mutex(DISPATCH_LEVEL, true, 1, 1); }, nullptr},
    {"mutex_waited_for_at_dispatch", [] { Mutex(DISPATCH_LEVEL, false, 1, 1); }, "may block above APC_LEVEL"},
    {"mutex_released_once_too_often", [] { Mutex(PASSIVE_LEVEL, false, 1, 2); }, "does not own"},
    {"mutex_released_by_another_thread", ReleaseByAnotherThread, "does not own"},
    {"mutex_keeps_out_a_second_owner", WaitForAHeldMutex, nullptr},
    {"dpc_returns_holding_a_mutex", DpcKeepingAMutex, "a DPC routine returned holding a mutex"},
};

TEST_P(VerifierRules, WrongArgumentsAndLevelsAreReported)
{
    const RuleRow &row = GetParam();
    row.call();
    const auto violations = sim().verifier.violations();
    if (row.violation == nullptr) {
        EXPECT_TRUE(violations.empty()) << violations.front();
        return;
    }
    ASSERT_EQ(violations.size(), 1u) << (violations.empty() ? "none" : violations.front());
    EXPECT_NE(violations[0].find(row.violation), std::string::npos) << violations[0];
    sim().verifier.reset();
}

INSTANTIATE_TEST_SUITE_P(Calls, VerifierRules, ::testing::ValuesIn(kRules),
                         RowName<::testing::TestParamInfo<RuleRow>>);

// The library's own waits, pool blocks and events keep to the rules (the fixture fails
// the test on any violation); its event handles are made in the system process even when
// a program's thread asks.
TEST(VerifierRulesLibrary, SystemProcessScopeAttachesOnlyFromAnotherProcess)
{
    qorsim::machine().reset();
    qorsim::Process &p = qorsim::machine().processes.create("app");
    {
        qorsim::InProcess in(p);
        EXPECT_NE(IoGetCurrentProcess(), PsInitialSystemProcess);
        {
            qor::SystemProcessScope system;
            EXPECT_EQ(IoGetCurrentProcess(), PsInitialSystemProcess);
        }
        EXPECT_NE(IoGetCurrentProcess(), PsInitialSystemProcess);
    }
    {
        qor::SystemProcessScope system; // already there: no attach, so no detach either
        EXPECT_EQ(IoGetCurrentProcess(), PsInitialSystemProcess);
    }
    EXPECT_TRUE(qorsim::machine().verifier.violations().empty());
    qorsim::machine().reset();
}

} // namespace
