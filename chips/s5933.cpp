// AMCC S5933 PCI bridge: bus-master transfer control, FIFO flushing and mailbox
// interrupts. Every access is a 32-bit access to an operation register; the functions
// keep no state, the chip's registers carry it.
#include "port_access.h"
#include "qor_s5933.h"

namespace {

// Operation registers, offsets from the register base.
constexpr ULONG kFifo = S5933_FIFO;   // add-on-to-PCI FIFO (read side)
constexpr ULONG kMwar = S5933_MWAR;   // bus-master write (input) address
constexpr ULONG kMwtc = S5933_MWTC;   // bus-master write (input) byte count
constexpr ULONG kMrar = S5933_MRAR;   // bus-master read (output) address
constexpr ULONG kMrtc = S5933_MRTC;   // bus-master read (output) byte count
constexpr ULONG kIntcsr = S5933_INTCSR; // interrupt control and status
constexpr ULONG kMcsr = S5933_MCSR;   // bus-master control and status

// INTCSR: mailbox interrupt selection and enables, transfer-complete interrupt enables.
constexpr unsigned kIntOutMailboxByteShift = S5933_INTCSR_OMB_BYTE_SHIFT;
constexpr unsigned kIntOutMailboxSelectShift = S5933_INTCSR_OMB_SELECT_SHIFT;
constexpr ULONG kIntOutMailboxSelection = S5933_INTCSR_OMB_SELECTION;
constexpr ULONG kIntOutMailboxEnable = S5933_INTCSR_OMB_ENABLE;
constexpr unsigned kIntInMailboxByteShift = S5933_INTCSR_IMB_BYTE_SHIFT;
constexpr unsigned kIntInMailboxSelectShift = S5933_INTCSR_IMB_SELECT_SHIFT;
constexpr ULONG kIntInMailboxSelection = S5933_INTCSR_IMB_SELECTION;
constexpr ULONG kIntInMailboxEnable = S5933_INTCSR_IMB_ENABLE;
constexpr ULONG kIntWriteCompleteEnable = S5933_INTCSR_WRITE_DONE_ENABLE; // input transfer done
constexpr ULONG kIntReadCompleteEnable = S5933_INTCSR_READ_DONE_ENABLE;  // output transfer done
constexpr ULONG kIntPendingFlags = S5933_INTCSR_PENDING;     // write one to clear
constexpr ULONG kIntAsserted = S5933_INTCSR_ASSERTED;
constexpr ULONG kIntFifoControl = S5933_INTCSR_FIFO_CONTROL;

// MCSR.
constexpr ULONG kMcsrPciToAddonEmpty = S5933_MCSR_P2A_EMPTY; // outgoing FIFO drained to the card
constexpr ULONG kMcsrAddonToPciEmpty = S5933_MCSR_A2P_EMPTY; // nothing left for the host
constexpr ULONG kMcsrWriteFifoManagement = S5933_MCSR_WRITE_FIFO_MGMT;
constexpr ULONG kMcsrWriteEnable = S5933_MCSR_WRITE_ENABLE;
constexpr ULONG kMcsrReadFifoManagement = S5933_MCSR_READ_FIFO_MGMT;
constexpr ULONG kMcsrReadEnable = S5933_MCSR_READ_ENABLE;
constexpr ULONG kMcsrPciToAddonReset = S5933_MCSR_P2A_RESET;
constexpr ULONG kMcsrAddonToPciReset = S5933_MCSR_A2P_RESET;
constexpr ULONG kMcsrMailboxReset = S5933_MCSR_MAILBOX_RESET;

// The quiet state: both counts at 0x100, both FIFOs and the mailbox flags reset with the
// transfers disabled, every pending flag acknowledged and every interrupt source off.
constexpr ULONG kClearCount = 0x100;
constexpr ULONG kClearMcsr = kMcsrWriteFifoManagement | kMcsrReadFifoManagement | kMcsrPciToAddonReset
                             | kMcsrAddonToPciReset | kMcsrMailboxReset;
constexpr ULONG kClearIntcsr = kIntPendingFlags | kIntAsserted | kIntFifoControl;
static_assert(kClearMcsr == 0x0E002200 && kClearIntcsr == 0x28BF0000);

constexpr unsigned kOutFlushPolls = 256;  // MCSR reads before giving up on the drain
// The add-on-to-PCI FIFO is eight dwords deep; the bound leaves room for dwords the
// add-on still writes while the FIFO drains, and keeps the loop short at raised IRQL.
constexpr unsigned kInFlushMaxDwords = 12;
constexpr ULONG kDword = 4;

constexpr ULONG Reg(ULONG base, ULONG offset) { return base + offset; }

// Mailbox interrupt selection: two bits of mailbox and two of byte, as the chip encodes
// them; higher argument bits are dropped.
constexpr ULONG kSelectField = 3;
constexpr ULONG MailboxSelection(USHORT mailbox, USHORT byteSelect, unsigned mailboxShift, unsigned byteShift)
{
    return ((mailbox & kSelectField) << mailboxShift) | ((byteSelect & kSelectField) << byteShift);
}

} // namespace

extern "C" VOID QORCALL S593_ClearController(ULONG base)
{
    qor::PortWrite32(Reg(base, kMwtc), kClearCount);
    qor::PortWrite32(Reg(base, kMrtc), kClearCount);
    qor::PortWrite32(Reg(base, kMcsr), kClearMcsr);
    qor::PortWrite32(Reg(base, kIntcsr), kClearIntcsr);
}

extern "C" VOID QORCALL S593_StartODMA(ULONG base, QorDbxDescriptor *descriptor)
{
    qor::PortWrite32(Reg(base, kMrar), descriptor->PhysAddr);
    qor::PortWrite32(Reg(base, kMrtc), descriptor->Count);
    qor::PortModify<ULONG>(Reg(base, kIntcsr), 0, kIntReadCompleteEnable);
    qor::PortModify<ULONG>(Reg(base, kMcsr), 0, kMcsrPciToAddonReset | kMcsrReadEnable);
}

extern "C" VOID QORCALL S593_StartIDMA(ULONG base, QorDbxDescriptor *descriptor)
{
    qor::PortWrite32(Reg(base, kMwar), descriptor->PhysAddr);
    qor::PortWrite32(Reg(base, kMwtc), descriptor->Count);
    qor::PortModify<ULONG>(Reg(base, kIntcsr), 0, kIntWriteCompleteEnable);
    qor::PortModify<ULONG>(Reg(base, kMcsr), 0, kMcsrAddonToPciReset | kMcsrWriteEnable);
}

extern "C" ULONG QORCALL S593_StopODMA(ULONG base)
{
    const ULONG left = qor::PortRead32(Reg(base, kMrtc));
    qor::PortModify<ULONG>(Reg(base, kIntcsr), kIntReadCompleteEnable, 0);
    qor::PortModify<ULONG>(Reg(base, kMcsr), kMcsrReadEnable, kMcsrPciToAddonReset);
    return left;
}

extern "C" ULONG QORCALL S593_StopIDMA(ULONG base)
{
    const ULONG left = qor::PortRead32(Reg(base, kMwtc));
    qor::PortModify<ULONG>(Reg(base, kIntcsr), kIntWriteCompleteEnable, 0);
    qor::PortModify<ULONG>(Reg(base, kMcsr), kMcsrWriteEnable, kMcsrAddonToPciReset);
    return left;
}

extern "C" ULONG QORCALL S593_OutCountLeft(ULONG base) { return qor::PortRead32(Reg(base, kMrtc)); }

extern "C" ULONG QORCALL S593_InCountLeft(ULONG base) { return qor::PortRead32(Reg(base, kMwtc)); }

extern "C" BOOLEAN QORCALL S593_OutFlushFIFO(ULONG base)
{
    for (unsigned poll = 0; poll < kOutFlushPolls; ++poll)
        if (qor::PortRead32(Reg(base, kMcsr)) & kMcsrPciToAddonEmpty)
            return TRUE;
    return FALSE;
}

// Moves what the bus master left in the add-on-to-PCI FIFO into the region being filled,
// wrapping to the next region when this one is full. The result counts from the lower of
// the two region addresses, the start of the whole buffer when they are its two halves.
extern "C" ULONG QORCALL S593_InFlushFIFO(ULONG base, ULONG regionBytes, ULONG fillAddress, ULONG nextAddress)
{
    ULONG position = nextAddress < fillAddress ? fillAddress - nextAddress : 0;
    ULONG offset = regionBytes - qor::PortRead32(Reg(base, kMwtc));
    position += offset;
    ULONG destination = fillAddress;
    for (unsigned moved = 0; moved < kInFlushMaxDwords; ++moved) {
        if (offset >= regionBytes) {
            destination = nextAddress;
            offset = 0;
            position = nextAddress >= fillAddress ? nextAddress - fillAddress : 0;
        }
        if (qor::PortRead32(Reg(base, kMcsr)) & kMcsrAddonToPciEmpty)
            break;
        *reinterpret_cast<volatile ULONG *>(destination + offset) = qor::PortRead32(Reg(base, kFifo));
        offset += kDword;
        position += kDword;
    }
    return position;
}

extern "C" VOID QORCALL S593_StartIMB(ULONG base, USHORT mailbox, USHORT byteSelect)
{
    qor::PortModify<ULONG>(Reg(base, kIntcsr), kIntInMailboxSelection,
                           kIntInMailboxEnable
                               | MailboxSelection(mailbox, byteSelect, kIntInMailboxSelectShift, kIntInMailboxByteShift));
}

extern "C" VOID QORCALL S593_StartOMB(ULONG base, USHORT mailbox, USHORT byteSelect)
{
    qor::PortModify<ULONG>(Reg(base, kIntcsr), kIntOutMailboxSelection,
                           kIntOutMailboxEnable
                               | MailboxSelection(mailbox, byteSelect, kIntOutMailboxSelectShift, kIntOutMailboxByteShift));
}

extern "C" VOID QORCALL S593_StopIMB(ULONG base) { qor::PortModify<ULONG>(Reg(base, kIntcsr), kIntInMailboxEnable, 0); }

extern "C" VOID QORCALL S593_StopOMB(ULONG base)
{
    qor::PortModify<ULONG>(Reg(base, kIntcsr), kIntOutMailboxEnable, 0);
}
