// The steps of a card's device setup, in the order QorEnumDevice runs them. They work on
// the card that QorFindDeviceNext left in the record and report failures in its
// LastStatus field.
#pragma once

#include "qor_platform.h"

extern "C" {

// Creates the card's device object "\Device\<DeviceName><k>" with its link
// "<DosLinkPrefix><k>" (k = CardCount) and a zero-filled QorDevExt, and initialises its
// DPC and I/O timer when the client gave routines for them. FALSE when a name cannot be
// allocated or the device cannot be created; nothing is left behind then.
BOOLEAN QORCALL QorSetupDevExt(QorFindRecord *record);

// Has the HAL assign the slot's resources, translates every I/O range (keeping the first
// PortCount bases), connects the interrupt and moves a PLX 9050 register window away from
// an address with bit 7 set. FALSE with LastStatus 0xC000009A (no resources), 0xC000002E
// (a port not translated) or 0xC000016C (interrupt not connected); whatever was taken
// stays in the extension for QorDropDevice to release.
BOOLEAN QORCALL QorSetupResource(QorFindRecord *record);

// Translates the bus address of one I/O range; the low 32 bits go to *translated.
BOOLEAN QORCALL QorSetupIoPort(QorFindRecord *record, PULONG translated,
                               PCM_PARTIAL_RESOURCE_DESCRIPTOR port);

// Gets the system vector of the bus interrupt level and connects the client's interrupt
// routine to it, shared and level-sensitive, with the device object as context.
BOOLEAN QORCALL QorSetupInterrupt(QorFindRecord *record, PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt);

} // extern "C"

namespace qor {
// A card family with two device IDs: a search for 0x2B94 finds 0x2B93 cards too.
constexpr USHORT kFamily2B94 = 0x2B94, kFamily2B93 = 0x2B93;
} // namespace qor
