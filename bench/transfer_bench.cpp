// The DPC step and the start, progress and stop handlers, per call, on a PLX 9080 buffer
// object (the library drives no chip for it, so no port access is counted). The spin-lock
// and event calls each path makes are measured alone, made the same way from the same
// loop, and subtracted: the figures are the transfer state machine's own instructions.
#include <cstdio>

#include "icount.h"
#include "qor_platform.h"
#include "qorsim.h"
#include "table.h"

namespace {

constexpr uint32_t kCalls = 64; // even: the double-buffer step alternates its two halves

struct Scene {
    QorDevExt ext{};
    QorDbx dbx{};
    qorsim::IoctlRequest *start = nullptr;
    QorAsyResult result{};
};

// The platform calls of each path, alone.
void LockOnly(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    const KIRQL old = KfAcquireSpinLock(&scene->dbx.Lock);
    KfReleaseSpinLock(&scene->dbx.Lock, old);
}
void LockAndPulse(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    const KIRQL old = KfAcquireSpinLock(&scene->dbx.Lock);
    KeSetEvent(scene->dbx.Event, 0, FALSE);
    KeClearEvent(scene->dbx.Event);
    KfReleaseSpinLock(&scene->dbx.Lock, old);
}
void LockAndClear(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    const KIRQL old = KfAcquireSpinLock(&scene->dbx.Lock);
    KeClearEvent(scene->dbx.Event);
    KfReleaseSpinLock(&scene->dbx.Lock, old);
}

void DpcStep(void *s) { QorDpcDbx(&static_cast<Scene *>(s)->dbx); }
void Start(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    scene->dbx.Flags &= static_cast<USHORT>(~DbxBusy); // each call a fresh start
    QorIocContPreProc(&scene->ext, &scene->dbx, scene->start->irp());
}
void PostStart(void *s) { QorIocContPostProc(&static_cast<Scene *>(s)->ext, &static_cast<Scene *>(s)->dbx); }
void Progress(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    QorIocAsyCheck(&scene->ext, &scene->dbx, &scene->result);
}
void Stop(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    QorIocAsyClear(&scene->ext, &scene->dbx, &scene->result);
}
// The start's own flag reset, made without the start.
void StartBaseline(void *s)
{
    auto *scene = static_cast<Scene *>(s);
    scene->dbx.Flags &= static_cast<USHORT>(~DbxBusy);
    LockAndClear(s);
}

double Dpc(Scene &scene, USHORT flags, USHORT repeat, void (*calls)(void *))
{
    scene.dbx.Flags = flags;
    scene.dbx.RepeatCount = repeat;
    scene.dbx.PendingIrp = nullptr;
    return bench::PerCall(DpcStep, calls, &scene, kCalls);
}

} // namespace

namespace bench {

bool TransferRows(Table &table)
{
    Scene scene;
    scene.ext.ControllerType = QOR_CONTROLLER_PLX9080;
    KeInitializeSpinLock(&scene.dbx.Lock);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\BaseNamedObjects\\QorBench0");
    HANDLE handle;
    scene.dbx.Event = IoCreateNotificationEvent(&name, &handle);
    if (scene.dbx.Event == nullptr) {
        std::fprintf(stderr, "qor_bench: no event\n");
        return false;
    }
    scene.dbx.Size = 1u << 20;
    scene.dbx.SampleBytes = 2;
    scene.dbx.ListLimit = 4;

    const double doubleBuffer = Dpc(scene, DbxBusy | DbxDoubleBuffer, 1, LockAndPulse);
    const double lastPass = Dpc(scene, DbxBusy, 1, LockAndPulse);
    const double countDown = Dpc(scene, DbxBusy, 0, LockOnly); // 0: 65536 passes to go
    const double sync = Dpc(scene, DbxBusy | DbxSync, 1, LockOnly);
    table.push_back({"QorDpcDbx step, double buffer (halves alternate)", doubleBuffer, 50});
    table.push_back({"QorDpcDbx step, last pass", lastPass, 50});
    table.push_back({"QorDpcDbx step, pass counted down", countDown, 50});
    table.push_back({"QorDpcDbx step, synchronous, nothing pending", sync, 50});

    QorContRequest request{};
    request.SampleCount = 1024;
    request.ListCount = 1;
    qorsim::IoctlRequest start(QOR_IOCTL_CODE(0x875), &request, 22, 2);
    scene.start = &start;
    scene.dbx.Flags = 0;
    table.push_back({"QorIocContPreProc, input start", bench::PerCall(Start, StartBaseline, &scene, kCalls)});
    table.push_back({"QorIocContPostProc", bench::PerCall(PostStart, LockOnly, &scene, kCalls)});
    scene.dbx.Flags = DbxBusy;
    table.push_back({"QorIocAsyCheck, busy", bench::PerCall(Progress, LockOnly, &scene, kCalls)});
    table.push_back({"QorIocAsyClear", bench::PerCall(Stop, LockAndClear, &scene, kCalls)});
    ZwClose(handle);
    return true;
}

} // namespace bench
