#include "reset.h"

extern "C" VOID QORCALL QorControllerReset(QorDevExt *devExt, ULONG opening)
{
    if (devExt->PortCount == 0)
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
