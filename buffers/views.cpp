// Views of the acquisition buffers by process. A view maps contiguous memory that the
// kernel hands to someone else once the card's buffers are freed, so a view may not
// outlive the open it was made for: a program that kept one would write into the kernel's
// pages. Each process's views go when its last open of the card is cleaned up (in its
// own context), and whatever is left at the last close goes then, in its owner's context.
//
// The records form one list for all cards, under a spin lock: creates, cleanups and
// description queries of different programs run at once. Unmapping happens outside the
// lock, at PASSIVE_LEVEL.
#include "views.h"

namespace {

struct ViewRecord {
    ViewRecord *Next;
    const QorDevExt *Ext;
    PEPROCESS Process;
    ULONG UserAddress; // 0: the record counts opens
    ULONG Opens;
    BOOLEAN Primary; // a view kept in a buffer object, or the first opener's record
};

ViewRecord *g_records = nullptr;
KSPIN_LOCK g_lock = 0; // a zero lock is a released lock

class ListLock {
public:
    ListLock() : old_(KfAcquireSpinLock(&g_lock)) {}
    ~ListLock() { KfReleaseSpinLock(&g_lock, old_); }
    ListLock(const ListLock &) = delete;
    ListLock &operator=(const ListLock &) = delete;

private:
    KIRQL old_;
};

ViewRecord *NewRecord(const QorDevExt *ext, ULONG userAddress, bool primary)
{
    auto *r = static_cast<ViewRecord *>(QorNewNpp(sizeof(ViewRecord)));
    if (r != nullptr) {
        r->Ext = ext;
        // The record keeps the process object: a view left at the last close is unmapped
        // attached to its process, which may have ended by then.
        r->Process = IoGetCurrentProcess();
        ObReferenceObject(r->Process);
        r->UserAddress = userAddress;
        r->Opens = userAddress == 0 ? 1 : 0;
        r->Primary = primary ? TRUE : FALSE;
    }
    return r;
}

bool AddRecord(const QorDevExt *ext, ULONG userAddress, bool primary)
{
    ViewRecord *r = NewRecord(ext, userAddress, primary);
    if (r == nullptr)
        return false;
    ListLock lock;
    r->Next = g_records;
    g_records = r;
    return true;
}

// Takes out the records of `ext` that `match` accepts; returns them as a list.
template <class Match> ViewRecord *TakeOut(const QorDevExt *ext, Match match)
{
    ViewRecord *taken = nullptr;
    ListLock lock;
    for (ViewRecord **link = &g_records; *link != nullptr;) {
        ViewRecord *r = *link;
        if (r->Ext == ext && match(r)) {
            *link = r->Next;
            r->Next = taken;
            taken = r;
        } else {
            link = &r->Next;
        }
    }
    return taken;
}

// Unmaps and frees the records of a taken list.
void Release(QorDevExt *ext, ViewRecord *taken)
{
    const PEPROCESS current = IoGetCurrentProcess();
    while (taken != nullptr) {
        ViewRecord *next = taken->Next;
        if (taken->UserAddress != 0) {
            const bool attach = taken->Process != current;
            if (attach)
                KeAttachProcess(reinterpret_cast<PKPROCESS>(taken->Process));
            ZwUnmapViewOfSection(NtCurrentProcess(), reinterpret_cast<PVOID>(taken->UserAddress));
            if (attach)
                KeDetachProcess();
            if (taken->Primary) {
                for (QorDbx *dbx : ext->Buffers) {
                    if (dbx != nullptr && dbx->UserAddress0 == taken->UserAddress) {
                        dbx->UserAddress0 = 0;
                        dbx->UserAddress1 = 0;
                    }
                }
            }
        }
        ObDereferenceObject(taken->Process);
        QorDeleteNpp(taken);
        taken = next;
    }
}

} // namespace

namespace qor {

bool NoteOpener(const QorDevExt *ext, bool first)
{
    const PEPROCESS process = IoGetCurrentProcess();
    {
        ListLock lock;
        for (ViewRecord *r = g_records; r != nullptr; r = r->Next) {
            if (r->Ext == ext && r->Process == process && r->UserAddress == 0) {
                ++r->Opens;
                return true;
            }
        }
    }
    return AddRecord(ext, 0, first);
}

bool NoteView(const QorDevExt *ext, ULONG userAddress, bool primary)
{
    return AddRecord(ext, userAddress, primary);
}

bool IsFirstOpener(const QorDevExt *ext)
{
    const PEPROCESS process = IoGetCurrentProcess();
    ListLock lock;
    for (ViewRecord *r = g_records; r != nullptr; r = r->Next)
        if (r->Ext == ext && r->Process == process && r->UserAddress == 0 && r->Primary)
            return true;
    return false;
}

void NoteCleanup(QorDevExt *ext)
{
    const PEPROCESS process = IoGetCurrentProcess();
    bool last = false;
    {
        ListLock lock;
        for (ViewRecord *r = g_records; r != nullptr; r = r->Next) {
            if (r->Ext == ext && r->Process == process && r->UserAddress == 0) {
                last = --r->Opens == 0;
                break;
            }
        }
    }
    if (last)
        Release(ext, TakeOut(ext, [process](const ViewRecord *r) { return r->Process == process; }));
}

void ForgetViews(QorDevExt *ext)
{
    Release(ext, TakeOut(ext, [](const ViewRecord *) { return true; }));
}

} // namespace qor
