// Acquisition buffer objects and event pairs. A buffer is one physically contiguous block
// below 128 MB: one descriptor (physical address and count) hands a whole transfer, or one
// half of a double-buffered one, to the bridge chip, and the user program reads the same
// pages through an uncached view of \Device\PhysicalMemory, so nothing is copied.
#include "dbx.h"

#include "owners.h"
#include "registry.h"

namespace {

constexpr USHORT kDespPresent = 0x0001;
constexpr USHORT kDespNeedsBuffer = 0x0006;
constexpr USHORT kDeviceIdPackedSize = 0x4D05; // cards whose size value counts in MB steps
constexpr ULONG kStepDownKb = 40;
// Largest request that can be met below the highest acceptable address.
constexpr ULONG kMaxBufferKb = qor::kBufferHighestAddress / 1024;
constexpr ACCESS_MASK kSectionAllAccess = 0xF001F;
constexpr ULONG kViewProtection = PAGE_READWRITE | PAGE_NOCACHE;

// The size setting of a 0x4D05 card: 4 KB per started megabyte, plus 4 KB.
ULONG PackedSizeKb(ULONG v) { return (((v + 0x3FF) & ~0x300UL) >> 8) + 4; }

bool MakeEvent(ULONG index, PUNICODE_STRING prefix, PKEVENT *event, PHANDLE handle)
{
    qor::UcsOwner name(QorCreateEventName(index, prefix));
    if (!name)
        return false;
    // The handle lives until the last close or the drop, which may come from another
    // program or from unload: it is made in the system process.
    qor::SystemProcessScope system;
    *event = IoCreateNotificationEvent(name.get(), handle);
    if (*event == nullptr)
        return false;
    // A new event is created signalled, and an existing one keeps its last state: every
    // open starts from not signalled.
    KeClearEvent(*event);
    return true;
}

void CloseEvent(PHANDLE handle, PKEVENT *event)
{
    if (*handle != nullptr) {
        qor::SystemProcessScope system; // where MakeEvent made it
        ZwClose(*handle);
        *handle = nullptr;
        *event = nullptr;
    }
}

} // namespace

extern "C" BOOLEAN QORCALL QorSetupBuffer(QorFindRecord *find)
{
    QorDevExt *ext = find->DevExt;
    const QorDesp *desp = find->DriverBlock->Desp;
    for (ULONG kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        ext->Buffers[kind] = nullptr;
        const QorDespBuffer &entry = desp->Buffers[kind];
        if (!(entry.Flags & kDespPresent) || !(entry.Flags & kDespNeedsBuffer) || entry.ListLimit == 0)
            continue;
        auto *dbx = static_cast<QorDbx *>(QorNewNpp(sizeof(QorDbx)));
        if (dbx == nullptr)
            return FALSE;
        ext->Buffers[kind] = dbx;
        ULONG sizeKb = QorReadParameterReg(find->RegistryPath, kind);
        if (sizeKb == 0)
            continue; // an object without memory: a zero lock is a released lock
        if (find->DeviceId == kDeviceIdPackedSize)
            sizeKb = PackedSizeKb(sizeKb);
        if (!QorSetupDbxBuffer(dbx, entry.ListLimit, sizeKb))
            return FALSE;
    }
    if (desp->HasDualInt && (ext->DualIntEvents = QorSetupDsen()) == nullptr)
        return FALSE;
    if (desp->HasAuxEvent && (ext->AuxEvent = QorSetupDsen()) == nullptr)
        return FALSE;
    return TRUE;
}

extern "C" BOOLEAN QORCALL QorSetupDbxBuffer(QorDbx *dbx, USHORT listLimit, ULONG sizeKb)
{
    KeInitializeSpinLock(&dbx->Lock);
    dbx->ListLimit = listLimit;
    dbx->Size = 0;
    dbx->Whole.KernelAddr = nullptr;
    if (sizeKb == 0)
        return TRUE;

    ULONG kb = sizeKb;
    // Requests above the reachable window fail whatever memory is free; skip them in the
    // same 40 KB steps, which also keeps the byte count from wrapping.
    if (kb > kMaxBufferKb)
        kb -= (kb - kMaxBufferKb + kStepDownKb - 1) / kStepDownKb * kStepDownKb;
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = qor::kBufferHighestAddress;
    for (;;) {
        const ULONG bytes = ((kb + 3) & ~3UL) * 1024; // whole pages
        auto *memory = static_cast<PUCHAR>(MmAllocateContiguousMemory(bytes, highest));
        if (memory != nullptr) {
            const ULONG half = bytes / 2;
            const ULONG phys = static_cast<ULONG>(MmGetPhysicalAddress(memory).QuadPart);
            dbx->Size = bytes;
            dbx->Whole = QorDbxDescriptor{phys, memory, bytes};
            dbx->Upper = QorDbxDescriptor{phys + half, memory + half, half};
            return TRUE;
        }
        if (kb <= kStepDownKb)
            return FALSE; // contiguous memory is too short even for the smallest step
        kb -= kStepDownKb;
    }
}

extern "C" QorDsen *QORCALL QorSetupDsen(void)
{
    auto *dsen = static_cast<QorDsen *>(QorNewNpp(sizeof(QorDsen)));
    if (dsen != nullptr)
        KeInitializeSpinLock(&dsen->Lock);
    return dsen;
}

extern "C" VOID QORCALL QorOpenDbx(QorDbx *dbx)
{
    if (dbx == nullptr)
        return;
    dbx->Flags = 0;
    dbx->TransferBytes = 0;
    dbx->DoneBytes = 0;
    dbx->PendingIrp = nullptr;
    dbx->UserAddress1 = 0;
    dbx->UserAddress0 = 0;
    dbx->EventHandle = nullptr;
}

extern "C" ULONG QORCALL QorMapTheMemory(PVOID kernelAddr, ULONG size)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, QOR_W("\\Device\\PhysicalMemory"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE section = nullptr;
    if (!NT_SUCCESS(ZwOpenSection(&section, kSectionAllAccess, &attributes)))
        return 0;

    PVOID sectionObject = nullptr;
    ULONG user = 0;
    if (NT_SUCCESS(ObReferenceObjectByHandle(section, kSectionAllAccess, nullptr, KernelMode, &sectionObject,
                                             nullptr))) {
        const PHYSICAL_ADDRESS physical = MmGetPhysicalAddress(kernelAddr);
        // The section offset comes back rounded down to the allocation granularity; the
        // buffer starts that many bytes into the view.
        PHYSICAL_ADDRESS offset = physical;
        PVOID base = nullptr;
        ULONG viewSize = size;
        if (NT_SUCCESS(ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, size, &offset, &viewSize,
                                          ViewShare, 0, kViewProtection)))
            user = reinterpret_cast<ULONG>(base) + static_cast<ULONG>(physical.QuadPart - offset.QuadPart);
        // The view holds the section; the reference taken to validate the handle is not
        // needed past the mapping.
        ObDereferenceObject(sectionObject);
    }
    ZwClose(section);
    return user;
}

extern "C" BOOLEAN QORCALL QorOpenDbxView(QorDbx *dbx)
{
    if (dbx->Size == 0)
        return TRUE;
    const ULONG user = QorMapTheMemory(dbx->Whole.KernelAddr, dbx->Size);
    if (user == 0)
        return FALSE;
    dbx->UserAddress0 = user;
    dbx->UserAddress1 = user + dbx->Size / 2;
    return TRUE;
}

extern "C" PUNICODE_STRING QORCALL QorCreateEventName(ULONG index, PUNICODE_STRING prefix)
{
    qor::UcsOwner number(QorNewUcs(qor::kNumberCapacity));
    qor::UcsOwner name(QorNewUcs(qor::kNameCapacity));
    if (!number || !name)
        return nullptr;
    QorCatUcs(name.get(), prefix);
    RtlIntegerToUnicodeString(index, 10, number.get());
    QorCatUcs(name.get(), number.get());
    return name.release();
}

extern "C" BOOLEAN QORCALL QorGetAnsiEventName(ULONG index, PUNICODE_STRING prefix, PCHAR out)
{
    qor::UcsOwner name(QorCreateEventName(index, prefix));
    if (!name)
        return FALSE;
    ANSI_STRING ansi;
    ansi.Length = 0;
    ansi.MaximumLength = qor::kAnsiNameBytes;
    ansi.Buffer = out;
    // A name of up to 15 characters arrives NUL-terminated; a longer one is cut by the
    // conversion, whose status does not fail the query.
    RtlUnicodeStringToAnsiString(&ansi, name.get(), FALSE);
    return TRUE;
}

extern "C" BOOLEAN QORCALL QorOpenDbxEvent(QorDbx *dbx, ULONG index, PUNICODE_STRING prefix)
{
    return MakeEvent(index, prefix, &dbx->Event, &dbx->EventHandle) ? TRUE : FALSE;
}

extern "C" BOOLEAN QORCALL QorOpenDsen(QorDsen *dsen, ULONG index, PUNICODE_STRING prefix)
{
    dsen->Int2Param = 0;
    dsen->Int2Enabled = 0;
    dsen->Int1Param = 0;
    dsen->Int1Enabled = 0;
    if (!MakeEvent(index, prefix, &dsen->Event0, &dsen->EventHandle0))
        return FALSE;
    if (index == QOR_EVENT_DUAL_INT_FIRST &&
        !MakeEvent(QOR_EVENT_DUAL_INT_SECOND, prefix, &dsen->Event1, &dsen->EventHandle1))
        return FALSE;
    return TRUE;
}

extern "C" VOID QORCALL QorCloseDbx(QorDbx *dbx)
{
    if (dbx == nullptr)
        return;
    dbx->Flags &= ~DbxBusy;
    CloseEvent(&dbx->EventHandle, &dbx->Event);
    // The view belongs to the process that opened the device, which may not be the one
    // closing it; it goes when that process ends.
    if (dbx->UserAddress0 != 0) {
        dbx->UserAddress1 = 0;
        dbx->UserAddress0 = 0;
    }
}

extern "C" VOID QORCALL QorCloseDsen(QorDsen *dsen)
{
    if (dsen == nullptr)
        return;
    CloseEvent(&dsen->EventHandle0, &dsen->Event0);
    CloseEvent(&dsen->EventHandle1, &dsen->Event1);
}

extern "C" VOID QORCALL QorDropDbx(QorDbx *dbx)
{
    if (dbx == nullptr)
        return;
    CloseEvent(&dbx->EventHandle, &dbx->Event);
    if (dbx->UserAddress0 != 0)
        ZwUnmapViewOfSection(NtCurrentProcess(), reinterpret_cast<PVOID>(dbx->UserAddress0));
    if (dbx->Whole.KernelAddr != nullptr)
        MmFreeContiguousMemory(dbx->Whole.KernelAddr);
    QorDeleteNpp(dbx);
}

extern "C" VOID QORCALL QorDropDsen(QorDsen *dsen)
{
    if (dsen == nullptr)
        return;
    CloseEvent(&dsen->EventHandle0, &dsen->Event0);
    CloseEvent(&dsen->EventHandle1, &dsen->Event1);
    QorDeleteNpp(dsen);
}
