// What a driver left behind, listed one object a line with the code that made it: pool
// blocks (tag, size, allocating routine), contiguous blocks, MDLs, views mapped in the
// system process (a view in a program's address space goes when the program ends, as on
// NT), kernel handles, connected interrupts, devices, symbolic links, I/O timers and IRPs
// still held.
#pragma once

#include <string>

namespace qorsim {

// Records who made a kernel object that is not a pool block (a contiguous block, an MDL,
// a view): the calling code and the driver routine the thread runs. Keyed by the object's
// address; a later object at the same address replaces the record.
void note_origin(const void *object, const void *caller);
// " (made by X in the DPC routine Y)", or "" when nothing was recorded.
std::string origin_text(const void *object);
void forget_origin(const void *object);
void clear_origins();

// Every leak of the current machine; empty when nothing is left.
std::string leak_report();

} // namespace qorsim
