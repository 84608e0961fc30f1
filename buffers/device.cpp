// Open, close and description of a card's device. The first open resets the bridge chip,
// maps the buffers into the opening process and creates the named events; later opens
// are only counted, and the last close undoes the first. The description tells a program
// where the buffers are in its own address space and what the events are called.
#include "dbx.h"
#include "owners.h"
#include "reset.h"
#include "views.h"

namespace {

constexpr USHORT kDespFlag1 = 0x0002;
constexpr USHORT kDespNoView = 0x4000;

QorDevExt *ExtensionOf(PDEVICE_OBJECT device)
{
    if (device == nullptr)
        return nullptr;
    auto *ext = static_cast<QorDevExt *>(device->DeviceExtension);
    return ext != nullptr && ext->DriverBlock != nullptr ? ext : nullptr;
}

// The prefix of the card's event names: the client's base name and the card index, after
// the object directory for the kernel form, bare for the form user programs open.
PUNICODE_STRING MakeEventPrefix(const QorDevExt *ext, bool kernelForm)
{
    qor::UcsOwner number(QorNewUcs(qor::kNumberCapacity));
    qor::UcsOwner prefix(QorNewUcs(qor::kNameCapacity));
    if (!number || !prefix)
        return nullptr;
    if (kernelForm)
        QorCatWcs(prefix.get(), QOR_W("\\BaseNamedObjects\\"));
    QorCatUcs(prefix.get(), ext->DriverBlock->BaseName);
    RtlIntegerToUnicodeString(ext->CardIndex, 10, number.get());
    QorCatUcs(prefix.get(), number.get());
    return prefix.release();
}

bool OpenBuffers(QorDevExt *ext, PUNICODE_STRING prefix)
{
    const QorDriverBlock *block = ext->DriverBlock;
    for (ULONG kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        QorDbx *dbx = ext->Buffers[kind];
        if (dbx == nullptr)
            continue;
        const QorDespBuffer &entry = block->Desp->Buffers[kind];
        QorOpenDbx(dbx);
        USHORT flags = 0;
        if (entry.Flags & kDespFlag1)
            flags |= DbxDespFlag1;
        if (entry.Flags & kDespNoView)
            flags |= DbxNoView;
        if (kind & 1)
            flags |= DbxOutput;
        dbx->Flags = flags;
        dbx->Param = block->BufferParam[kind];
        dbx->SampleBytes = static_cast<USHORT>((entry.SampleBits + 7) / 8);
        dbx->ListLimit = entry.ListLimit;
        if (!(flags & DbxNoView) && !QorOpenDbxView(dbx))
            return false;
        if (dbx->UserAddress0 != 0 && !qor::NoteView(ext, dbx->UserAddress0, true)) {
            ZwUnmapViewOfSection(NtCurrentProcess(), reinterpret_cast<PVOID>(dbx->UserAddress0));
            dbx->UserAddress0 = 0;
            dbx->UserAddress1 = 0;
            return false;
        }
        if (!QorOpenDbxEvent(dbx, kind, prefix))
            return false;
    }
    if (ext->DualIntEvents != nullptr && !QorOpenDsen(ext->DualIntEvents, QOR_EVENT_DUAL_INT_FIRST, prefix))
        return false;
    if (ext->AuxEvent != nullptr && !QorOpenDsen(ext->AuxEvent, QOR_EVENT_AUX, prefix))
        return false;
    return true;
}

// One buffer kind's description entry. False when a view or the event name cannot be made.
bool DescribeBuffer(const QorDevExt *ext, ULONG kind, bool ownViews, PUNICODE_STRING userPrefix,
                    QorDespBuffer *entry)
{
    const QorDbx *dbx = ext->Buffers[kind];
    if (dbx == nullptr) {
        entry->BufferSize = 0;
        entry->UserAddress0 = 0;
        entry->UserAddress1 = 0;
        entry->EventName[0] = 0;
        return true;
    }
    entry->BufferSize = dbx->Size;
    if (ownViews && dbx->Size != 0) {
        // A later opener gets views in its own process, made for this query and kept
        // until its process lets go of the card.
        const ULONG user = QorMapTheMemory(dbx->Whole.KernelAddr, dbx->Size);
        if (user == 0)
            return false;
        if (!qor::NoteView(ext, user, false)) {
            ZwUnmapViewOfSection(NtCurrentProcess(), reinterpret_cast<PVOID>(user));
            return false;
        }
        entry->UserAddress0 = user;
        entry->UserAddress1 = user + dbx->Size / 2;
    } else {
        entry->UserAddress0 = dbx->UserAddress0;
        entry->UserAddress1 = dbx->UserAddress1;
    }
    return QorGetAnsiEventName(kind, userPrefix, entry->EventName) != FALSE;
}

} // namespace

extern "C" BOOLEAN QORCALL QorOpenDevice(PDEVICE_OBJECT deviceObject)
{
    QorDevExt *ext = ExtensionOf(deviceObject);
    if (ext == nullptr)
        return FALSE;
    if (ext->Opened) {
        if (!qor::NoteOpener(ext, false))
            return FALSE;
        ++ext->ExtraOpens;
        return TRUE;
    }
    qor::UcsOwner prefix(MakeEventPrefix(ext, true));
    if (!prefix || !qor::NoteOpener(ext, true))
        return FALSE;
    QorControllerReset(ext, TRUE);
    // A failure undoes what this open made: the views go from the opening process (whose
    // context this is) and the events are closed. Left in place, the next first open
    // would forget their handles and views, and nothing would ever release them. The
    // device stays closed and the next create runs the first open again.
    if (!OpenBuffers(ext, prefix.get())) {
        qor::ForgetViews(ext);
        for (QorDbx *dbx : ext->Buffers)
            QorCloseDbx(dbx);
        QorCloseDsen(ext->DualIntEvents);
        QorCloseDsen(ext->AuxEvent);
        return FALSE;
    }
    ext->Opened = 1;
    ext->ExtraOpens = 0;
    return TRUE;
}

extern "C" NTSTATUS QORCALL QorCloseDevice(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (QorDevExt *ext = ExtensionOf(deviceObject)) {
        if (ext->ExtraOpens != 0) {
            --ext->ExtraOpens;
        } else {
            QorControllerReset(ext, FALSE);
            // Views still mapped go now, each in its own process: their pages return to
            // the kernel when the card is dropped.
            qor::ForgetViews(ext);
            for (QorDbx *dbx : ext->Buffers)
                QorCloseDbx(dbx);
            QorCloseDsen(ext->DualIntEvents);
            QorCloseDsen(ext->AuxEvent);
            ext->Opened = 0;
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN QORCALL QorIocGetDesp(QorDevExt *devExt, QorDesp *out)
{
    out->Status = QorErrDescription; // until the description is complete
    qor::UcsOwner prefix(MakeEventPrefix(devExt, false));
    if (!prefix)
        return FALSE;
    *out = *devExt->DriverBlock->Desp;
    out->Status = QorErrDescription;
    out->BusNumber = devExt->BusNumber;
    out->SlotNumber = static_cast<USHORT>(devExt->SlotNumber);
    // A caller other than the first opener's process gets views of its own: the addresses
    // in the buffer objects are the first opener's.
    const bool ownViews = devExt->ExtraOpens != 0 || (devExt->Opened && !qor::IsFirstOpener(devExt));
    for (ULONG kind = 0; kind < QOR_BUFFER_KINDS; ++kind)
        if (!DescribeBuffer(devExt, kind, ownViews, prefix.get(), &out->Buffers[kind]))
            return FALSE;
    if (devExt->DualIntEvents != nullptr) {
        QorGetAnsiEventName(QOR_EVENT_DUAL_INT_FIRST, prefix.get(), out->EventName4);
        QorGetAnsiEventName(QOR_EVENT_DUAL_INT_SECOND, prefix.get(), out->EventName6);
    } else {
        out->HasDualInt = 0;
        out->EventName4[0] = 0;
    }
    if (devExt->AuxEvent != nullptr) {
        QorGetAnsiEventName(QOR_EVENT_AUX, prefix.get(), out->EventName5);
    } else {
        out->HasAuxEvent = 0;
        out->EventName5[0] = 0;
    }
    out->OpenCount = devExt->ExtraOpens;
    out->Status = QorOk;
    return TRUE;
}

extern "C" VOID QORCALL QorCleanupDevice(PDEVICE_OBJECT deviceObject)
{
    if (QorDevExt *ext = ExtensionOf(deviceObject))
        qor::NoteCleanup(ext);
}
