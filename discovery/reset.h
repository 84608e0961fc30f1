// Putting a card's bridge chip into its idle state.
#pragma once

#include "qor_platform.h"

// Clears the bridge chip named by the card's ControllerType: the S5933 and the PLX 9080
// always, the PLX 9050 only when the device is being opened (opening nonzero). A card
// with no stored port base is left alone: its PortBase[0] of 0 would address ports near
// 0, which belong to other hardware.
extern "C" VOID QORCALL QorControllerReset(QorDevExt *devExt, ULONG opening);
