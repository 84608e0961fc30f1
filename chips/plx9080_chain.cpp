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
    // No quota charge: the MDL may be freed in another process's context, which would be
    // given back a quota it was never charged.
    PMDL mdl = IoAllocateMdl(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)), length, FALSE, FALSE,
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

// One pass over the locked chunks, each page number read once and each slot written
// once. The last piece of a chunk links to the first piece of the next.
void WriteDescriptors(QorDbx *dbx)
{
    const bool output = (dbx->Flags & DbxOutput) != 0;
    const ULONG link = output ? kNextInPciMemory : kNextInPciMemory | kNextLocalToPci;
    const ULONG end = link | kNextEndOfChain;
    const ULONG local = LocalAddress(dbx);
    auto *slot = static_cast<Descriptor *>(dbx->Whole.KernelAddr);
    ULONG slotPhys = dbx->Whole.PhysAddr;

    for (const QorLockedChunk *chunk = ChunkChain(dbx); chunk != nullptr; chunk = chunk->Next) {
        const PFN_NUMBER *page = MmGetMdlPfnArray(chunk->Mdl);
        ULONG offset = MmGetMdlByteOffset(chunk->Mdl);
        ULONG remaining = chunk->Length;
        for (;;) {
            const ULONG piece = remaining < kPageBytes - offset ? remaining : kPageBytes - offset;
            slot->PciAddress = (static_cast<ULONG>(*page) << kPageShift) + offset;
            slot->LocalAddress = local;
            slot->TransferSize = piece;
            remaining -= piece;
            if (remaining == 0 && chunk->Next == nullptr) {
                slot->Next = end;
                return;
            }
            slotPhys += sizeof(Descriptor);
            slot->Next = slotPhys | link;
            ++slot;
            if (remaining == 0)
                break; // on to the next chunk
            offset = 0;
            ++page;
        }
    }
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
