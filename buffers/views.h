// The user views of a card's buffers that the library mapped, by process, and the opens
// of the card by process, so that the views go when their process lets go of the card.
#pragma once

#include "qor_platform.h"

namespace qor {

// An open of the card in the calling process (its create); `first` for the first open,
// whose process holds the views kept in the buffer objects. False when the record cannot
// be allocated; nothing is recorded then.
bool NoteOpener(const QorDevExt *ext, bool first);
// A view the library mapped in the calling process; `primary` for the first opener's
// views held in the buffer objects. False when the record cannot be allocated: the caller
// unmaps the view and fails.
bool NoteView(const QorDevExt *ext, ULONG userAddress, bool primary);
// True when the calling process made the first open and has not let go of it: the views
// kept in the buffer objects are its own.
bool IsFirstOpener(const QorDevExt *ext);
// The calling process lets go of one open (its cleanup): at its last, its views of the
// card are unmapped in its own context, and a primary view's address leaves the buffer.
void NoteCleanup(QorDevExt *ext);
// Every view of the card still mapped goes, each in its own process (attached to it when
// that is not the calling one), and every record of the card is freed: the last close
// and the drop.
void ForgetViews(QorDevExt *ext);

} // namespace qor
