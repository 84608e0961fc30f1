// The transfer state machine of a buffer object, shared by the request dispatch (start,
// progress, stop, double-buffer mode and half query) and the client's DPC (one step per
// finished block). Every operation holds the buffer's spin lock from its first read of
// the state to its last write, so the DPC and a request never see each other half done.
// Only the S5933 is started and stopped here; PLX clients drive their chip themselves
// and report progress through DoneBytes.
#include "dbx.h"

namespace {

constexpr USHORT kSyncModeRequested = 1;
constexpr USHORT kHalfLower = 0;
constexpr USHORT kHalfUpper = 1;
constexpr USHORT kMailboxSelect = 3; // incoming mailbox 4
constexpr USHORT kMailboxByte = 3;   // its byte 3

bool IsS5933(const QorDevExt *ext) { return ext->ControllerType == QOR_CONTROLLER_S5933; }
bool IsSet(const QorDbx *dbx, USHORT bit) { return (dbx->Flags & bit) != 0; }
void Set(QorDbx *dbx, USHORT bit, bool on)
{
    dbx->Flags = static_cast<USHORT>(on ? dbx->Flags | bit : dbx->Flags & ~bit);
}

// Event pulse: every thread waiting now is released, and the event is left not signalled.
void Pulse(PKEVENT event)
{
    KeSetEvent(event, 0, FALSE);
    KeClearEvent(event);
}

ULONG Samples(ULONG bytes, USHORT sampleBytes) { return sampleBytes == 0 ? 0 : bytes / sampleBytes; }

void Answer(QorAsyResult *out, ULONG bytes, USHORT sampleBytes, USHORT stopped)
{
    out->SampleCount = Samples(bytes, sampleBytes);
    out->Stopped = stopped;
}

} // namespace

extern "C" BOOLEAN QORCALL QorIocContPreProc(QorDevExt *, QorDbx *dbx, PIRP irp)
{
    auto *request = static_cast<QorContRequest *>(irp->AssociatedIrp.SystemBuffer);
    if (dbx == nullptr) {
        request->Status = QorErrNoBuffer;
        return FALSE;
    }
    {
        qor::SpinLockGuard guard(&dbx->Lock);
        SHORT refusal = QorOk;
        if (request->ListCount > dbx->ListLimit) {
            refusal = QorErrListTooLong;
        } else if (IsSet(dbx, DbxBusy)) {
            refusal = QorErrBusy;
        } else {
            // These two stay even when a later check refuses the start.
            dbx->TransferBytes = dbx->SampleBytes * request->SampleCount;
            Set(dbx, DbxSync, request->SyncMode == kSyncModeRequested);
            if (IsSet(dbx, DbxSync) && (IsSet(dbx, DbxDoubleBuffer) || IsSet(dbx, DbxMailbox)))
                refusal = QorErrSynchronous;
            else if (IsSet(dbx, DbxNoView) && IsSet(dbx, DbxDoubleBuffer))
                refusal = QorErrNotDoubleBuffer;
            else if (!IsSet(dbx, DbxNoView)) {
                const ULONG limit = IsSet(dbx, DbxDoubleBuffer) ? dbx->Size / 2 : dbx->Size;
                if (dbx->TransferBytes > limit) {
                    refusal = QorErrBufferTooSmall;
                } else {
                    dbx->Whole.Count = dbx->TransferBytes;
                    dbx->Upper.Count = dbx->TransferBytes;
                    // An output buffer starts with its upper half handed to the user,
                    // while the card plays the lower one.
                    const bool output = IsSet(dbx, DbxOutput);
                    Set(dbx, DbxUserUpper, output);
                    Set(dbx, DbxUpperReady, output);
                }
            }
        }
        if (refusal != QorOk) {
            request->Status = refusal;
            return FALSE;
        }
        KeClearEvent(dbx->Event);
        Set(dbx, DbxHwUpper, false);
        Set(dbx, DbxLowerReady, false);
        Set(dbx, DbxRequestFlag, request->RequestFlag != 0);
        Set(dbx, DbxBusy, true);
        dbx->PendingIrp = IsSet(dbx, DbxSync) ? irp : nullptr;
        dbx->RepeatCount = IsSet(dbx, DbxOutput) ? request->RepeatCount : 1;
        dbx->DoneBytes = 0;
    }
    request->Status = QorOk;
    return TRUE;
}

extern "C" NTSTATUS QORCALL QorIocContPostProc(QorDevExt *ext, QorDbx *dbx)
{
    if (dbx == nullptr)
        return STATUS_INVALID_PARAMETER;
    qor::SpinLockGuard guard(&dbx->Lock);
    if (IsS5933(ext)) {
        const ULONG base = ext->PortBase[0];
        if (IsSet(dbx, DbxOutput)) {
            S593_StartODMA(base, &dbx->Whole);
        } else {
            S593_StartIDMA(base, &dbx->Whole);
            if (IsSet(dbx, DbxMailbox))
                S593_StartIMB(base, kMailboxSelect, kMailboxByte);
        }
    }
    return IsSet(dbx, DbxSync) ? STATUS_PENDING : STATUS_SUCCESS;
}

extern "C" VOID QORCALL QorDpcDbx(QorDbx *dbx)
{
    qor::SpinLockGuard guard(&dbx->Lock);
    if (IsSet(dbx, DbxSync)) {
        PIRP irp = dbx->PendingIrp;
        dbx->PendingIrp = nullptr;
        if (irp != nullptr) {
            irp->IoStatus.Status = STATUS_SUCCESS; // Information stays as validation set it
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        }
        Set(dbx, DbxBusy, false);
    } else if (IsSet(dbx, DbxDoubleBuffer)) {
        dbx->DoneBytes = 0;
        const bool upperFinished = IsSet(dbx, DbxHwUpper);
        Set(dbx, DbxLowerReady, !upperFinished);
        Set(dbx, DbxUpperReady, upperFinished);
        Set(dbx, DbxHwUpper, !upperFinished);
        Pulse(dbx->Event);
    } else if (dbx->RepeatCount == 1) {
        Set(dbx, DbxBusy, false);
        Pulse(dbx->Event);
    } else {
        dbx->DoneBytes = 0;
        dbx->RepeatCount = static_cast<USHORT>(dbx->RepeatCount - 1); // 0 runs 65536 passes
    }
}

extern "C" VOID QORCALL QorDpcDsen(QorDsen *dsen)
{
    if (dsen != nullptr)
        Pulse(dsen->Event0);
}

extern "C" BOOLEAN QORCALL QorIocDbfHalfReady(QorDevExt *, QorDbx *dbx, QorDbfHalfResult *out)
{
    if (dbx == nullptr) {
        out->Status = QorErrNoBuffer;
        return FALSE;
    }
    {
        qor::SpinLockGuard guard(&dbx->Lock);
        if (!IsSet(dbx, DbxDoubleBuffer)) {
            out->Status = QorErrNotDoubleBuffer;
            return FALSE;
        }
        const bool upper = IsSet(dbx, DbxUserUpper);
        out->Half = upper ? kHalfUpper : kHalfLower;
        out->Ready = IsSet(dbx, upper ? DbxUpperReady : DbxLowerReady) ? 1 : 0;
        if (out->Ready)
            Set(dbx, DbxUserUpper, !upper); // the user moves on to the other half
    }
    out->Status = QorOk;
    return TRUE;
}

extern "C" BOOLEAN QORCALL QorIocDbfMode(QorDevExt *, QorDbx *dbx, QorDbfModeRequest *io)
{
    if (dbx == nullptr) {
        io->Status = QorErrNoBuffer;
        return FALSE;
    }
    {
        qor::SpinLockGuard guard(&dbx->Lock);
        if (IsSet(dbx, DbxBusy)) {
            io->Status = QorErrBusy;
            return FALSE;
        }
        Set(dbx, DbxDoubleBuffer, io->Enable != 0);
        Set(dbx, DbxUserUpper, false);
    }
    io->Status = QorOk;
    return TRUE;
}

namespace {

// Progress and stop share their refusals; `measure` runs under the buffer's lock with the
// busy state as it found it and fills in the answer.
template <class Measure> BOOLEAN AnswerProgress(QorDbx *dbx, QorAsyResult *out, Measure measure)
{
    if (dbx == nullptr) {
        out->Status = QorErrNoBuffer;
        return FALSE;
    }
    {
        qor::SpinLockGuard guard(&dbx->Lock);
        if (IsSet(dbx, DbxSync)) {
            out->Status = QorErrSynchronous;
            return FALSE;
        }
        measure(IsSet(dbx, DbxBusy));
    }
    out->Status = QorOk;
    return TRUE;
}

} // namespace

extern "C" BOOLEAN QORCALL QorIocAsyCheck(QorDevExt *ext, QorDbx *dbx, QorAsyResult *out)
{
    return AnswerProgress(dbx, out, [&](bool busy) {
        USHORT stopped = busy ? 0 : 1;
        ULONG bytes;
        if (!IsS5933(ext)) {
            bytes = dbx->DoneBytes;
        } else if (IsSet(dbx, DbxOutput)) {
            bytes = dbx->TransferBytes - S593_OutCountLeft(ext->PortBase[0]);
            // An output transfer is over only when the card has taken the FIFO's data too.
            if (!busy)
                stopped = S593_OutFlushFIFO(ext->PortBase[0]);
        } else if (IsSet(dbx, DbxMailbox)) {
            bytes = busy ? 0 : dbx->DoneBytes;
        } else {
            bytes = busy ? dbx->TransferBytes - S593_InCountLeft(ext->PortBase[0]) : dbx->TransferBytes;
        }
        Answer(out, bytes, dbx->SampleBytes, stopped);
    });
}

extern "C" BOOLEAN QORCALL QorIocAsyClear(QorDevExt *ext, QorDbx *dbx, QorAsyResult *out)
{
    return AnswerProgress(dbx, out, [&](bool busy) {
        const ULONG base = ext->PortBase[0];
        ULONG bytes;
        if (!IsS5933(ext)) {
            bytes = dbx->DoneBytes; // stopping a PLX channel is the client's
        } else if (IsSet(dbx, DbxOutput)) {
            bytes = dbx->TransferBytes - S593_StopODMA(base); // stopped busy or not
        } else if (IsSet(dbx, DbxMailbox)) {
            if (busy) {
                bytes = dbx->TransferBytes - S593_StopIDMA(base);
                S593_StopIMB(base);
            } else {
                bytes = dbx->DoneBytes;
            }
        } else {
            bytes = busy ? dbx->TransferBytes - S593_StopIDMA(base) : dbx->TransferBytes;
        }
        Answer(out, bytes, dbx->SampleBytes, 1);
        Set(dbx, DbxBusy, false);
        Set(dbx, DbxHwUpper, false);
        Set(dbx, DbxUpperReady, false);
        Set(dbx, DbxLowerReady, false);
        KeClearEvent(dbx->Event);
    });
}
