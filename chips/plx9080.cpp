// PLX PCI 9080 bridge: software reset, the controller clear that loads the card's fixed
// local-bus configuration, a DMA channel's local bus width, and starting and stopping a
// channel in scatter-gather mode. DMACSR and the reset byte are 8-bit registers, the rest
// 32-bit.
#include "port_access.h"
#include "qor_plx9080.h"

namespace {

// Local configuration registers, offsets from the register base.
constexpr ULONG kLas0rr = PLX9080_LAS0RR;  // local address space 0 range
constexpr ULONG kLas0ba = PLX9080_LAS0BA;  // local address space 0 local base
constexpr ULONG kLbrd0 = PLX9080_LBRD0;   // local address space 0 bus region descriptor
constexpr ULONG kIntcsr = PLX9080_INTCSR;  // interrupt control and status
constexpr ULONG kCntrl = PLX9080_CNTRL;   // control
constexpr ULONG kCntrlTop = PLX9080_CNTRL_TOP; // CNTRL bits 24-31
constexpr ULONG kDmaMode0 = PLX9080_DMAMODE0;
constexpr ULONG kDmaDpr0 = PLX9080_DMADPR0;  // channel 0 descriptor pointer
constexpr ULONG kDmaCsr0 = PLX9080_DMACSR0;  // 8-bit
constexpr ULONG kDmaThr = PLX9080_DMATHR;   // DMA FIFO thresholds
constexpr ULONG kChannelRegStride = PLX9080_DMA_CHANNEL_STRIDE; // DMAMODE1/DMADPR1 above DMAMODE0/DMADPR0
constexpr ULONG kChannelCsrStride = PLX9080_DMACSR1 - PLX9080_DMACSR0;    // DMACSR1 above DMACSR0
constexpr ULONG kChannels = 2;

// CNTRL byte 3 (CNTRL bits 24-31 as bits 0-7).
// CNTRL bits 28 and 31 stay set while the card runs; bit 30 is the PCI adapter software
// reset.
constexpr UCHAR kCntrlTopKeep28 = PLX9080_CNTRL_TOP_BIT28;
constexpr UCHAR kCntrlTopSoftReset = PLX9080_CNTRL_TOP_SOFT_RESET;
constexpr UCHAR kCntrlTopKeep31 = PLX9080_CNTRL_TOP_BIT31;
constexpr UCHAR kCntrlTopRun = kCntrlTopKeep28 | kCntrlTopKeep31;
constexpr UCHAR kCntrlTopReset = kCntrlTopRun | kCntrlTopSoftReset;
static_assert(kCntrlTopReset == 0xD0 && kCntrlTopRun == 0x90);
constexpr unsigned kResetHoldReads = 100; // the reset lasts this many reads of the byte

// DMAMODE.
constexpr ULONG kModeWidthMask = PLX9080_DMAMODE_WIDTH_MASK;
constexpr ULONG kModeWidth8 = PLX9080_DMAMODE_WIDTH8, kModeWidth16 = PLX9080_DMAMODE_WIDTH16, kModeWidth32 = PLX9080_DMAMODE_WIDTH32;
constexpr ULONG kModeReadyInput = PLX9080_DMAMODE_READY_INPUT;
constexpr ULONG kModeBtermInput = PLX9080_DMAMODE_BTERM_INPUT;
constexpr ULONG kModeLocalBurst = PLX9080_DMAMODE_LOCAL_BURST;
constexpr ULONG kModeScatterGather = PLX9080_DMAMODE_CHAINING;
constexpr ULONG kModeDoneInterrupt = PLX9080_DMAMODE_DONE_INT;
constexpr ULONG kModeConstantLocalAddress = PLX9080_DMAMODE_LOCAL_CONSTANT;
constexpr ULONG kModeDemand = PLX9080_DMAMODE_DEMAND;
constexpr ULONG kModeInterruptToPci = PLX9080_DMAMODE_INT_TO_PCI;

// DMACSR.
constexpr UCHAR kCsrEnable = PLX9080_DMACSR_ENABLE;
constexpr UCHAR kCsrStart = PLX9080_DMACSR_START;
constexpr UCHAR kCsrAbort = PLX9080_DMACSR_ABORT;
constexpr UCHAR kCsrClearInterrupt = PLX9080_DMACSR_CLEAR_INTERRUPT;
constexpr UCHAR kCsrDone = PLX9080_DMACSR_DONE;
constexpr UCHAR kCsrIdle = 0;
constexpr unsigned kAbortPolls = 100;

// DMADPR: descriptors in PCI memory; direction local bus to PCI (input).
constexpr ULONG kDprPciMemory = PLX9080_DMADPR_PCI_MEMORY;
constexpr ULONG kDprLocalToPci = PLX9080_DMADPR_LOCAL_TO_PCI;

// INTCSR.
constexpr ULONG kIntPciEnable = PLX9080_INTCSR_PCI_INT_ENABLE;
constexpr ULONG kIntLocalInputEnable = PLX9080_INTCSR_LOCAL_INPUT_ENABLE;
constexpr ULONG kIntDma0Enable = PLX9080_INTCSR_DMA0_ENABLE;
constexpr ULONG kIntDma1Enable = PLX9080_INTCSR_DMA1_ENABLE;
constexpr ULONG kIntAllOff = 0;

// The card's fixed configuration.
constexpr ULONG kLas0Range64BytesIo = 0xFFFFFFC1;
constexpr ULONG kLas0BaseEnabled = 0x00000001;
constexpr ULONG kLbrd0Setting = 0x4B0003C3;
constexpr ULONG kCntrlSetting = 0x9000767C;
constexpr ULONG kDmaMode0Setting = kModeWidth16 | kModeReadyInput | kModeBtermInput | kModeLocalBurst
                                   | kModeDoneInterrupt | kModeConstantLocalAddress | kModeDemand
                                   | kModeInterruptToPci;
constexpr ULONG kDmaMode1Setting = kDmaMode0Setting & ~kModeReadyInput;
constexpr ULONG kDmaThrSetting = 0x44447A47;
static_assert(kDmaMode0Setting == 0x00021DC1 && kDmaMode1Setting == 0x00021D81);

constexpr ULONG Reg(ULONG base, ULONG offset) { return base + offset; }
constexpr ULONG ModeReg(ULONG base, ULONG channel) { return base + kDmaMode0 + channel * kChannelRegStride; }
constexpr ULONG DprReg(ULONG base, ULONG channel) { return base + kDmaDpr0 + channel * kChannelRegStride; }
constexpr ULONG CsrReg(ULONG base, ULONG channel) { return base + kDmaCsr0 + channel * kChannelCsrStride; }

} // namespace

extern "C" VOID QORCALL P9080_SoftReset(ULONG base)
{
    qor::PortWrite8(Reg(base, kCntrlTop), kCntrlTopReset);
    for (unsigned read = 0; read < kResetHoldReads; ++read)
        (void)qor::PortRead8(Reg(base, kCntrlTop));
    qor::PortWrite8(Reg(base, kCntrlTop), kCntrlTopRun);
}

extern "C" VOID QORCALL P9080_ClearController(ULONG base)
{
    P9080_SoftReset(base);
    qor::PortWrite32(Reg(base, kLas0rr), kLas0Range64BytesIo);
    qor::PortWrite32(Reg(base, kLas0ba), kLas0BaseEnabled);
    qor::PortWrite32(Reg(base, kLbrd0), kLbrd0Setting);
    qor::PortWrite32(Reg(base, kIntcsr), kIntAllOff);
    qor::PortWrite32(Reg(base, kCntrl), kCntrlSetting);
    qor::PortWrite8(CsrReg(base, 0), kCsrIdle);
    qor::PortWrite32(ModeReg(base, 0), kDmaMode0Setting);
    qor::PortWrite8(CsrReg(base, 1), kCsrIdle);
    qor::PortWrite32(ModeReg(base, 1), kDmaMode1Setting);
    qor::PortWrite32(Reg(base, kDmaThr), kDmaThrSetting);
}

// Any channel other than 0 selects channel 1's mode register.
extern "C" VOID QORCALL P9080_SetDMAWidth(ULONG base, ULONG channel, ULONG width)
{
    const ULONG port = ModeReg(base, channel == 0 ? 0 : 1);
    const ULONG mode = qor::PortRead32(port);
    ULONG code;
    switch (width) {
    case 1: code = kModeWidth8; break;
    case 2: code = kModeWidth16; break;
    case 4: code = kModeWidth32; break;
    default: return; // no such bus width: leave the channel as it is
    }
    qor::PortWrite32(port, (mode & ~kModeWidthMask) | code);
}

extern "C" BOOLEAN QORCALL P9080_StopDMA(ULONG base, ULONG channel)
{
    if (channel >= kChannels)
        return FALSE;
    const ULONG csr = CsrReg(base, channel);
    if (qor::PortRead8(csr) & kCsrDone) {
        qor::PortWrite8(csr, kCsrIdle);
        qor::PortWrite8(csr, kCsrClearInterrupt);
        return TRUE;
    }
    // Clear the enable (the start bit does nothing without it), then abort; the chip
    // reports done once the abort has taken effect.
    qor::PortWrite8(csr, kCsrStart);
    qor::PortWrite8(csr, kCsrAbort);
    bool done = false;
    for (unsigned poll = 0; poll < kAbortPolls && !done; ++poll)
        done = (qor::PortRead8(csr) & kCsrDone) != 0;
    qor::PortWrite8(csr, kCsrClearInterrupt);
    return done;
}

extern "C" BOOLEAN QORCALL P9080_StartDMA(ULONG base, ULONG channel, QorDbx *dbx)
{
    if (channel >= kChannels)
        return FALSE;
    qor::PortModify<ULONG>(ModeReg(base, channel), 0, kModeScatterGather);
    const ULONG direction = (dbx->Flags & DbxOutput) ? 0 : kDprLocalToPci;
    qor::PortWrite32(DprReg(base, channel), dbx->Whole.PhysAddr | kDprPciMemory | direction);
    qor::PortModify<ULONG>(Reg(base, kIntcsr), 0,
                           kIntPciEnable | kIntLocalInputEnable | (channel == 0 ? kIntDma0Enable : kIntDma1Enable));
    qor::PortWrite8(CsrReg(base, channel), kCsrEnable);
    qor::PortWrite8(CsrReg(base, channel), kCsrEnable | kCsrStart);
    return TRUE;
}
