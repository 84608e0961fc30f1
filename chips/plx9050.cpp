// PLX PCI 9050 bridge: controller clear and software reset, the PCI and local interrupt
// enables, the dual-interrupt request pair and the four user I/O pins. INTCSR is reached
// through its low byte, the reset through CNTRL's top byte and the pins through CNTRL's
// low 16 bits; the access widths are those the chip's users rely on.
#include "port_access.h"
#include "qor_plx9050.h"

namespace {

// Local configuration registers, offsets from the register base.
constexpr ULONG kIntcsrLow = PLX9050_INTCSR; // INTCSR bits 0-7
constexpr ULONG kCntrlLow = PLX9050_CNTRL;  // CNTRL bits 0-15: user I/O pins
constexpr ULONG kCntrlTop = PLX9050_CNTRL_TOP;  // CNTRL bits 24-31

// INTCSR low byte.
constexpr UCHAR kLint1Enable = PLX9050_INTCSR_LINT1_ENABLE;
constexpr UCHAR kLint1ActiveHigh = PLX9050_INTCSR_LINT1_POLARITY;
constexpr unsigned kLint1StatusBit = 2; // read only
constexpr UCHAR kLint2Enable = PLX9050_INTCSR_LINT2_ENABLE;
constexpr UCHAR kLint2ActiveHigh = PLX9050_INTCSR_LINT2_POLARITY;
constexpr unsigned kLint2StatusBit = 5; // read only
constexpr UCHAR kPciIntEnable = PLX9050_INTCSR_PCI_INT_ENABLE;
constexpr UCHAR kIntcsrQuiet = 0; // every interrupt off, both local inputs active low

// CNTRL byte 3: bit 30 of CNTRL, the PCI adapter software reset, is bit 6 here.
constexpr UCHAR kCntrlTopSoftReset = PLX9050_CNTRL_SOFT_RESET >> 24;
constexpr UCHAR kCntrlTopIdle = 0;

// User I/O pin n owns CNTRL bits 3n to 3n+2: function select, direction, data.
constexpr USHORT kPinNumberMask = 3;
constexpr unsigned kPinFieldBits = 3;
constexpr USHORT kPinField = 7;
constexpr unsigned kPinDataBit = 2;

// Which input PLX90_SetInt switches.
enum : USHORT { kWhichPci = 0, kWhichLint1 = 1, kWhichLint2 = 2 };

constexpr ULONG Reg(ULONG base, ULONG offset) { return base + offset; }

constexpr UCHAR SetBits(UCHAR value, UCHAR bits, bool on)
{
    return static_cast<UCHAR>(on ? value | bits : value & ~bits);
}

constexpr UCHAR Bit(UCHAR value, unsigned bit) { return static_cast<UCHAR>((value >> bit) & 1u); }

constexpr unsigned PinShift(USHORT pin) { return kPinFieldBits * (pin & kPinNumberMask); }

void PulseSoftReset(ULONG base)
{
    qor::PortWrite8(Reg(base, kCntrlTop), kCntrlTopSoftReset);
    qor::PortWrite8(Reg(base, kCntrlTop), kCntrlTopIdle);
}

} // namespace

extern "C" VOID QORCALL PLX90_ClearController(ULONG base)
{
    qor::PortWrite8(Reg(base, kIntcsrLow), kIntcsrQuiet);
    PulseSoftReset(base);
}

extern "C" VOID QORCALL PLX90_SoftReset(ULONG base) { PulseSoftReset(base); }

extern "C" VOID QORCALL PLX90_SetInt(ULONG base, USHORT which, USHORT enable)
{
    const bool on = enable != 0;
    UCHAR intcsr = qor::PortRead8(Reg(base, kIntcsrLow));
    switch (which) {
    case kWhichPci: intcsr = SetBits(intcsr, kPciIntEnable, on); break;
    case kWhichLint1: intcsr = SetBits(SetBits(intcsr, kLint1Enable, on), kLint1ActiveHigh, true); break;
    case kWhichLint2: intcsr = SetBits(SetBits(intcsr, kLint2Enable, on), kLint2ActiveHigh, true); break;
    default: break; // no such input: the byte goes back unchanged
    }
    qor::PortWrite8(Reg(base, kIntcsrLow), intcsr);
}

extern "C" VOID QORCALL PLX90_IocSetDualInt(QorDevExt *devExt, QorDualIntRequest *request)
{
    request->Status = QorOk;
    QorDsen *dsen = devExt->DualIntEvents;
    const ULONG base = devExt->PortBase[0];
    qor::SpinLockGuard guard(&dsen->Lock);
    KeClearEvent(dsen->Event0);
    KeClearEvent(dsen->Event1);
    dsen->Int1Enabled = request->Int1Enable != 0;
    dsen->Int2Enabled = request->Int2Enable != 0;
    dsen->Int1Param = request->Int1Param;
    dsen->Int2Param = request->Int2Param;

    // The enables reach the chip by their lowest bit only; the polarities by being nonzero.
    UCHAR intcsr = qor::PortRead8(Reg(base, kIntcsrLow));
    intcsr = SetBits(intcsr, kLint1ActiveHigh, request->Int1Polarity != 0);
    intcsr = SetBits(intcsr, kLint2ActiveHigh, request->Int2Polarity != 0);
    intcsr = SetBits(intcsr, kLint1Enable, (request->Int1Enable & 1u) != 0);
    intcsr = SetBits(intcsr, kLint2Enable, (request->Int2Enable & 1u) != 0);
    intcsr = SetBits(intcsr, kPciIntEnable, true);
    qor::PortWrite8(Reg(base, kIntcsrLow), intcsr);
}

extern "C" VOID QORCALL PLX90_IocGetDualInt(QorDevExt *devExt, QorDualIntRequest *result)
{
    result->Status = QorOk;
    QorDsen *dsen = devExt->DualIntEvents;
    qor::SpinLockGuard guard(&dsen->Lock);
    result->Int1Param = static_cast<UCHAR>(dsen->Int1Param);
    result->Int2Param = static_cast<UCHAR>(dsen->Int2Param);
    const UCHAR intcsr = qor::PortRead8(Reg(devExt->PortBase[0], kIntcsrLow));
    result->Int1Enable = (intcsr & kLint1Enable) != 0;
    result->Int1Polarity = (intcsr & kLint1ActiveHigh) != 0;
    result->Int1Status = Bit(intcsr, kLint1StatusBit);
    result->Int2Enable = (intcsr & kLint2Enable) != 0;
    result->Int2Polarity = (intcsr & kLint2ActiveHigh) != 0;
    result->Int2Status = Bit(intcsr, kLint2StatusBit);
}

extern "C" VOID QORCALL PLX90_SetUserIoPin(ULONG base, USHORT pin, USHORT value)
{
    const unsigned shift = PinShift(pin);
    qor::PortModify<USHORT>(Reg(base, kCntrlLow), static_cast<USHORT>(kPinField << shift),
                            static_cast<USHORT>((value & kPinField) << shift));
}

extern "C" VOID QORCALL PLX90_GetUserIoPin(ULONG base, USHORT pin, PUSHORT value)
{
    const USHORT cntrl = qor::PortRead16(Reg(base, kCntrlLow));
    *value = static_cast<USHORT>((cntrl >> (PinShift(pin) + kPinDataBit)) & 1u);
}
