// Digital I/O and port I/O requests. Digital I/O works on values only: the client reads
// and writes its digital port itself, the library masks a read down to the requested
// bytes or bit and merges a write into the port's current value. Port I/O makes one
// access of the requested width at an offset from the card's second port base.
#include "pio.h"

namespace {

// The masks cover ports of up to 4 bytes; a wider port is treated as a 4-byte port, so
// that neither the byte count nor the bit index can reach past the tables or the value.
constexpr USHORT kMaxPortWidth = 4;

USHORT EffectiveWidth(USHORT portWidth) { return portWidth > kMaxPortWidth ? kMaxPortWidth : portWidth; }

} // namespace

extern "C" BOOLEAN QORCALL QorIocPioCheck(USHORT portWidth, QorPioRequest *request)
{
    const USHORT width = EffectiveWidth(portWidth);
    if (request->ByteCount > width) {
        request->Status = QorErrByteCount;
        return FALSE;
    }
    if (request->ByteCount != 0) {
        request->Value &= qor::kPioKeepMask[request->ByteCount];
        request->Status = QorOk;
        return TRUE;
    }
    if (request->BitIndex >= 8u * width) {
        request->Status = QorErrBitIndex; // the bit does not exist on the port
        return FALSE;
    }
    request->Status = QorOk;
    return TRUE;
}

extern "C" BOOLEAN QORCALL QorIocPioRead(USHORT portWidth, QorPioRequest *request)
{
    if (!QorIocPioCheck(portWidth, request))
        return FALSE;
    if (request->ByteCount == 0)
        request->Value = (request->Value >> request->BitIndex) & 1;
    return TRUE;
}

extern "C" BOOLEAN QORCALL QorIocPioWrite(USHORT portWidth, QorPioRequest *request, ULONG currentValue)
{
    if (!QorIocPioCheck(portWidth, request))
        return FALSE; // nothing merged: the client must leave the port alone
    if (request->ByteCount != 0) {
        // Value was cut to the requested bytes by the check.
        request->Value |= currentValue & qor::kPioMergeMask[request->ByteCount];
    } else {
        const ULONG bit = 1UL << request->BitIndex;
        request->Value = (currentValue & ~bit) | ((request->Value & 1) << request->BitIndex);
    }
    return TRUE;
}

namespace {

// A width that differs from the card's is reported, but the access is still made with
// the request's width when that is 1, 2 or 4; any other width makes no access.
ULONG PortIoAddress(QorDevExt *devExt, USHORT portWidth, QorPortIoRequest *request)
{
    if (request->Width != portWidth)
        request->Status = QorErrPortWidth;
    return devExt->PortBase[1] + request->Offset;
}

} // namespace

extern "C" VOID QORCALL QorIocPortIoRead(QorDevExt *devExt, USHORT portWidth, QorPortIoRequest *request)
{
    const ULONG port = PortIoAddress(devExt, portWidth, request);
    switch (request->Width) {
    case 1: request->Value = qor::PortRead8(port); break;
    case 2: request->Value = qor::PortRead16(port); break;
    case 4: request->Value = qor::PortRead32(port); break;
    default: break;
    }
}

extern "C" VOID QORCALL QorIocPortIoWrite(QorDevExt *devExt, USHORT portWidth, QorPortIoRequest *request)
{
    const ULONG port = PortIoAddress(devExt, portWidth, request);
    switch (request->Width) {
    case 1: qor::PortWrite8(port, static_cast<UCHAR>(request->Value)); break;
    case 2: qor::PortWrite16(port, static_cast<USHORT>(request->Value)); break;
    case 4: qor::PortWrite32(port, request->Value); break;
    default: break;
    }
}
