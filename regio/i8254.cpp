// 8254 counter requests for three register layouts that differ only in the spacing of
// the registers and the width of the writes (reads are always bytes), and the split of a
// pacer divisor into two cascaded 16-bit counts.
#include "i8254.h"

#include "port_access.h"

namespace {

constexpr USHORT kMaxCounter = 12; // counter blocks of up to four 8254s behind one base
constexpr USHORT kMaxMode = 5;
constexpr USHORT kMaxBcd = 1;
constexpr ULONG kRejectedCount = 1; // a count of 1 cannot run in the periodic modes

// Control word fields.
constexpr unsigned kSelectShift = 6;
constexpr USHORT kAccessLowThenHigh = 3u << 4;
constexpr unsigned kModeShift = 1;
constexpr unsigned kControlRegister = 3; // in register spacings from the base
constexpr unsigned kByteBits = 8;
constexpr ULONG kByteMask = 0xFF;

constexpr USHORT LatchCommand(USHORT counter) { return static_cast<USHORT>(counter << kSelectShift); }

// One implementation for every layout: Spacing is the distance between registers, Width
// the type of the control and data writes. The control word and the latch command go out
// whole in the wider layouts (counters 4 to 12 set bits above the byte) and as their low
// byte in the byte layout; the count goes out a byte at a time, zero-extended.
template <ULONG Spacing, class Width> struct CounterBlock {
    static ULONG Control(ULONG base) { return base + kControlRegister * Spacing; }
    static ULONG Data(ULONG base, USHORT counter) { return base + counter * Spacing; }

    static BOOLEAN Set(ULONG base, QorCounterRequest *request)
    {
        const USHORT control = I8254_GetMode(request);
        if (control == 0)
            return FALSE;
        const ULONG data = Data(base, request->Counter);
        qor::PortWrite<Width>(Control(base), static_cast<Width>(control));
        qor::PortWrite<Width>(data, static_cast<Width>(request->Count & kByteMask));
        qor::PortWrite<Width>(data, static_cast<Width>((request->Count >> kByteBits) & kByteMask));
        return TRUE;
    }

    static BOOLEAN Get(ULONG base, QorCounterRequest *request)
    {
        if (request->Counter > kMaxCounter) {
            request->Status = QorErrCounterNumber;
            return FALSE;
        }
        request->Status = QorOk;
        const ULONG data = Data(base, request->Counter);
        qor::PortWrite<Width>(Control(base), static_cast<Width>(LatchCommand(request->Counter)));
        const ULONG low = qor::PortRead8(data);
        const ULONG high = qor::PortRead8(data);
        request->Count = low | (high << kByteBits);
        return TRUE;
    }
};

using LongBlock = CounterBlock<4, ULONG>;
using WordBlock = CounterBlock<2, USHORT>;
using ByteBlock = CounterBlock<1, UCHAR>;

// Pacer split.
constexpr ULONG kSmallestDivisor = 4;
constexpr ULONG kMinimumCount = 2;
constexpr ULONG kCountLimit = 0x10000; // counts must stay below this to fit 16 bits
constexpr unsigned kCountBits = 16;

} // namespace

extern "C" USHORT QORCALL I8254_GetMode(QorCounterRequest *request)
{
    request->Status = QorOk;
    if (request->Counter > kMaxCounter || request->Count == kRejectedCount) {
        request->Status = QorErrCounterNumber;
        return 0;
    }
    if (request->Mode > kMaxMode || request->Bcd > kMaxBcd) {
        request->Status = QorErrCounterMode;
        return 0;
    }
    return static_cast<USHORT>((request->Counter << kSelectShift) | kAccessLowThenHigh
                               | (request->Mode << kModeShift) | request->Bcd);
}

extern "C" BOOLEAN QORCALL I8254L_IocCtrSet(ULONG base, QorCounterRequest *request) { return LongBlock::Set(base, request); }
extern "C" BOOLEAN QORCALL I8254W_IocCtrSet(ULONG base, QorCounterRequest *request) { return WordBlock::Set(base, request); }
extern "C" BOOLEAN QORCALL I8254B_IocCtrSet(ULONG base, QorCounterRequest *request) { return ByteBlock::Set(base, request); }
extern "C" BOOLEAN QORCALL I8254L_IocCtrGet(ULONG base, QorCounterRequest *request) { return LongBlock::Get(base, request); }
extern "C" BOOLEAN QORCALL I8254W_IocCtrGet(ULONG base, QorCounterRequest *request) { return WordBlock::Get(base, request); }
extern "C" BOOLEAN QORCALL I8254B_IocCtrGet(ULONG base, QorCounterRequest *request) { return ByteBlock::Get(base, request); }

// The first count is the divisor shifted right by the smallest k that makes it fit 16
// bits, the second is 2^k. From 0x80000000 up k is 16 and the second count is packed as
// 0, the count an 8254 counter divides by 65536 with.
extern "C" ULONG QORCALL QorSplitePacer(ULONG divisor)
{
    if (divisor < kSmallestDivisor)
        return (kMinimumCount << kCountBits) | kMinimumCount;
    unsigned k = 1;
    while ((divisor >> k) >= kCountLimit)
        ++k;
    const ULONG first = divisor >> k;
    const ULONG second = (1UL << k) & (kCountLimit - 1); // 2^16 packs as 0
    return (first << kCountBits) | second;
}
