#include "reset.h"

extern "C" VOID QORCALL QorControllerReset(QorDevExt *devExt, ULONG opening)
{
    // No translated I/O range, so no chip base: ports near 0 belong to the system board.
    // PortCount alone does not tell, as the chip base is kept when the client asks for no
    // port bases (QorSetupResource).
    if (devExt->PortBase[0] == 0)
        return;
    const ULONG base = devExt->PortBase[0];
    switch (devExt->ControllerType) {
    case QOR_CONTROLLER_S5933: S593_ClearController(base); break;
    case QOR_CONTROLLER_PLX9050:
        if (opening)
            PLX90_ClearController(base);
        break;
    case QOR_CONTROLLER_PLX9080: P9080_ClearController(base); break;
    default: break;
    }
}
