// PLX PCI 9080 scatter-gather chain over a user buffer: the buffer's pages are locked in
// chunks, each chunk under its own MDL, and one 16-byte descriptor per piece of a page is
// written into the buffer object's contiguous memory, where a channel started with
// P9080_StartDMA walks them.
#include "plx9080_chain.h"

namespace {

using namespace qor::chain;

constexpr ULONG kPageShift = 12;
constexpr ULONG kPageBytes = 1u << kPageShift;
constexpr ULONG kPageOffsetMask = kPageBytes - 1;
// One MDL holds its page numbers in a 16-bit size, so a chunk stays well below 64 MB:
// 15,360 pages.
constexpr ULONG kChunkBytes = 0x3C00000;
constexpr ULONG kTransferAlign = 4; // the channel moves whole dwords

// The chip's descriptor, as it reads it from PCI memory.
struct Descriptor {
    ULONG PciAddress;
    ULONG LocalAddress;
    ULONG TransferSize;
    ULONG Next;
};
static_assert(sizeof(Descriptor) == 16);

// Low bits of a descriptor's next pointer (the address bits are 16-byte aligned).
constexpr ULONG kNextInPciMemory = 1u << 0;
constexpr ULONG kNextEndOfChain = 1u << 1;
constexpr ULONG kNextLocalToPci = 1u << 3; // this descriptor moves card data into memory

// Descriptors a buffer needs: one per page it spans, and one more for every chunk
// boundary that falls inside a page, which happens when the buffer does not start on a
// page boundary (chunks are whole pages long).
ULONG DescriptorsNeeded(ULONG address, ULONG bytes)
{
    const ULONG pages = (((address & kPageOffsetMask) + ((bytes - 1) & kPageOffsetMask)) >> kPageShift)
                        + ((bytes - 1) >> kPageShift) + 1;
    if ((address & kPageOffsetMask) == 0)
        return pages;
    const ULONG chunks = (bytes - 1) / kChunkBytes + 1;
    return pages + (chunks - 1);
}

// Locks [address, address + length) of the current process under a new MDL and makes its
// chain node. Null on failure, with nothing left allocated or locked.
QorLockedChunk *LockChunk(ULONG address, ULONG length)
{
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)), length, FALSE, TRUE,
                             nullptr);
    if (mdl == nullptr)
        return nullptr;
    if (!QorProbeAndLock(mdl)) {
        IoFreeMdl(mdl);
        return nullptr;
    }
    auto *chunk = static_cast<QorLockedChunk *>(QorNewNpp(sizeof(QorLockedChunk)));
    if (chunk == nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        return nullptr;
    }
    chunk->Mdl = mdl;
    chunk->Length = length;
    chunk->Next = nullptr;
    return chunk;
}

// One descriptor. `next` is the physical address of the following slot with the link bits.
inline void Write(Descriptor *slot, ULONG pciAddress, ULONG local, ULONG size, ULONG next)
{
    slot->PciAddress = pciAddress;
    slot->LocalAddress = local;
    slot->TransferSize = size;
    slot->Next = next;
}

// One pass over the locked chunks, each page number read once. Per chunk: the piece from
// its first byte to the end of that page, then whole pages, then the piece left in the
// last page. Every descriptor links to the slot after it, so the link grows by one slot
// per descriptor; the last piece of a chunk links to the first piece of the next, and the
// last descriptor of all gets the end-of-chain link instead once the pass is done.
void WriteDescriptors(QorDbx *dbx)
{
    const bool output = (dbx->Flags & DbxOutput) != 0;
    const ULONG link = output ? kNextInPciMemory : kNextInPciMemory | kNextLocalToPci;
    const ULONG local = LocalAddress(dbx);
    auto *slot = static_cast<Descriptor *>(dbx->Whole.KernelAddr);
    ULONG next = (dbx->Whole.PhysAddr + sizeof(Descriptor)) | link; // slots are 16-byte aligned
    constexpr ULONG kSlotBytes = sizeof(Descriptor);

    for (const QorLockedChunk *chunk = ChunkChain(dbx); chunk != nullptr; chunk = chunk->Next) {
        const PFN_NUMBER *page = MmGetMdlPfnArray(chunk->Mdl);
        const ULONG offset = MmGetMdlByteOffset(chunk->Mdl);
        ULONG remaining = chunk->Length;

        const ULONG first = remaining < kPageBytes - offset ? remaining : kPageBytes - offset;
        Write(slot++, (static_cast<ULONG>(*page++) << kPageShift) + offset, local, first, next);
        next += kSlotBytes;
        remaining -= first;

        // Whole pages, two at a time, then the odd one.
        ULONG wholePages = remaining >> kPageShift;
        for (; wholePages >= 2; wholePages -= 2) {
            Write(slot, static_cast<ULONG>(page[0]) << kPageShift, local, kPageBytes, next);
            Write(slot + 1, static_cast<ULONG>(page[1]) << kPageShift, local, kPageBytes, next + kSlotBytes);
            slot += 2;
            page += 2;
            next += 2 * kSlotBytes;
        }
        if (wholePages != 0) {
            Write(slot++, static_cast<ULONG>(*page++) << kPageShift, local, kPageBytes, next);
            next += kSlotBytes;
        }

        const ULONG tail = remaining & kPageOffsetMask;
        if (tail != 0) {
            Write(slot++, static_cast<ULONG>(*page) << kPageShift, local, tail, next);
            next += kSlotBytes;
        }
    }
    slot[-1].Next = link | kNextEndOfChain; // the address bits of the end link are 0
}

} // namespace

extern "C" BOOLEAN QORCALL P9080_BuildDmaDscr(QorDbx *dbx)
{
    ULONG address = UserBuffer(dbx);
    const ULONG bytes = UserBytes(dbx);
    if (bytes == 0 || bytes % kTransferAlign != 0 || address % kTransferAlign != 0)
        return FALSE;
    if (dbx->Size / sizeof(Descriptor) < DescriptorsNeeded(address, bytes))
        return FALSE;

    QorLockedChunk *last = nullptr;
    for (ULONG remaining = bytes; remaining != 0;) {
        const ULONG length = remaining < kChunkBytes ? remaining : kChunkBytes;
        QorLockedChunk *chunk = LockChunk(address, length);
        if (chunk == nullptr)
            return FALSE; // chunks locked so far stay on the chain for P9080_ClearDmaDscr
        if (last == nullptr) {
            SetChunkChain(dbx, chunk);
            dbx->TransferBytes = bytes;
            dbx->DoneBytes = 0;
        } else {
            last->Next = chunk;
        }
        last = chunk;
        address += length;
        remaining -= length;
    }
    WriteDescriptors(dbx);
    return TRUE;
}

extern "C" VOID QORCALL P9080_ClearDmaDscr(QorDbx *dbx)
{
    QorLockedChunk *chunk = ChunkChain(dbx);
    while (chunk != nullptr) {
        if (chunk->Mdl != nullptr) {
            MmUnlockPages(chunk->Mdl);
            IoFreeMdl(chunk->Mdl);
        }
        QorLockedChunk *next = chunk->Next;
        QorDeleteNpp(chunk);
        chunk = next;
    }
    SetChunkChain(dbx, nullptr);
    SetUserBytes(dbx, 0);
}
