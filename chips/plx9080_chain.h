// A buffer object (QorDbx) that carries a PLX 9080 scatter-gather chain over a locked
// user buffer reads four of its slots under other names: offset 4 (UserAddress1) is the
// head of the chain of locked chunks, and the Upper triple holds the local-bus address,
// the user buffer's address and its byte count. These accessors keep the reuse in one
// place; the exported record stays as it is.
#pragma once

#include "qor_platform.h"

namespace qor::chain {

inline QorLockedChunk *ChunkChain(const QorDbx *dbx)
{
    return reinterpret_cast<QorLockedChunk *>(static_cast<ULONG_PTR>(dbx->UserAddress1));
}
inline void SetChunkChain(QorDbx *dbx, QorLockedChunk *head)
{
    dbx->UserAddress1 = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(head));
}

inline ULONG LocalAddress(const QorDbx *dbx) { return dbx->Upper.PhysAddr; }
inline void SetLocalAddress(QorDbx *dbx, ULONG address) { dbx->Upper.PhysAddr = address; }

inline ULONG UserBuffer(const QorDbx *dbx)
{
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(dbx->Upper.KernelAddr));
}
inline void SetUserBuffer(QorDbx *dbx, ULONG address)
{
    dbx->Upper.KernelAddr = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address));
}

inline ULONG UserBytes(const QorDbx *dbx) { return dbx->Upper.Count; }
inline void SetUserBytes(QorDbx *dbx, ULONG bytes) { dbx->Upper.Count = bytes; }

} // namespace qor::chain
