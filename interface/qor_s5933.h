/*
 * qor_s5933.h - the AMCC S5933 PCI bridge's operation registers, as its data sheet names
 * them. Offsets are from the chip's I/O register base (QorDevExt.PortBase[0]); every
 * operation register is 32 bits wide. Shared by the library, the sample driver and client
 * drivers; C99 and C++.
 */
#ifndef QOR_S5933_H
#define QOR_S5933_H

/* ---- operation registers ---------------------------------------------------------- */
#define S5933_OMB1 0x00UL   /* outgoing mailbox 1: host to add-on */
#define S5933_OMB2 0x04UL   /* outgoing mailbox 2 */
#define S5933_OMB3 0x08UL   /* outgoing mailbox 3 */
#define S5933_OMB4 0x0CUL   /* outgoing mailbox 4 */
#define S5933_IMB1 0x10UL   /* incoming mailbox 1: add-on to host */
#define S5933_IMB2 0x14UL   /* incoming mailbox 2 */
#define S5933_IMB3 0x18UL   /* incoming mailbox 3 */
#define S5933_IMB4 0x1CUL   /* incoming mailbox 4 */
#define S5933_FIFO 0x20UL   /* FIFO port: reads the add-on-to-PCI side, writes the PCI-to-add-on side */
#define S5933_MWAR 0x24UL   /* bus-master write address: where an input (add-on to memory) transfer goes */
#define S5933_MWTC 0x28UL   /* bus-master write transfer count: bytes of the input transfer left */
#define S5933_MRAR 0x2CUL   /* bus-master read address: where an output (memory to add-on) transfer reads */
#define S5933_MRTC 0x30UL   /* bus-master read transfer count: bytes of the output transfer left */
#define S5933_MBEF 0x34UL   /* mailbox empty/full status, one bit per mailbox byte */
#define S5933_INTCSR 0x38UL /* interrupt control and status */
#define S5933_MCSR 0x3CUL   /* bus-master control and status */
#define S5933_REGISTER_BYTES 0x40UL /* the operation register range */

/* ---- INTCSR ------------------------------------------------------------------------ */
#define S5933_INTCSR_OMB_BYTE_SHIFT 0      /* outgoing mailbox interrupt: byte of the mailbox (2 bits) */
#define S5933_INTCSR_OMB_SELECT_SHIFT 2    /* outgoing mailbox interrupt: which mailbox (2 bits) */
#define S5933_INTCSR_OMB_SELECTION 0x0000000FUL
#define S5933_INTCSR_OMB_ENABLE 0x00000010UL /* interrupt when the add-on reads the selected byte */
#define S5933_INTCSR_IMB_BYTE_SHIFT 8      /* incoming mailbox interrupt: byte of the mailbox (2 bits) */
#define S5933_INTCSR_IMB_SELECT_SHIFT 10   /* incoming mailbox interrupt: which mailbox (2 bits) */
#define S5933_INTCSR_IMB_SELECTION 0x00000F00UL
#define S5933_INTCSR_IMB_ENABLE 0x00001000UL /* interrupt when the add-on writes the selected byte */
#define S5933_INTCSR_WRITE_DONE_ENABLE 0x00004000UL /* interrupt when MWTC reaches zero */
#define S5933_INTCSR_READ_DONE_ENABLE 0x00008000UL  /* interrupt when MRTC reaches zero */
#define S5933_INTCSR_OMB_INT 0x00010000UL    /* outgoing mailbox interrupt pending (write one to clear) */
#define S5933_INTCSR_IMB_INT 0x00020000UL    /* incoming mailbox interrupt pending (write one to clear) */
#define S5933_INTCSR_WRITE_DONE 0x00040000UL /* input transfer complete (write one to clear) */
#define S5933_INTCSR_READ_DONE 0x00080000UL  /* output transfer complete (write one to clear) */
#define S5933_INTCSR_MASTER_ABORT 0x00100000UL /* the bus master's cycle was master-aborted */
#define S5933_INTCSR_TARGET_ABORT 0x00200000UL /* the bus master's cycle was target-aborted */
#define S5933_INTCSR_PENDING 0x003F0000UL    /* every pending-interrupt flag */
#define S5933_INTCSR_ASSERTED 0x00800000UL   /* the chip drives its PCI interrupt line */
#define S5933_INTCSR_FIFO_CONTROL 0x28000000UL /* FIFO byte-order and advance control bits set on a clear */

/* ---- MCSR -------------------------------------------------------------------------- */
#define S5933_MCSR_P2A_EMPTY 0x00000004UL     /* PCI-to-add-on FIFO empty: output data drained to the card */
#define S5933_MCSR_A2P_EMPTY 0x00000020UL     /* add-on-to-PCI FIFO empty: no input data left for the host */
#define S5933_MCSR_WRITE_FIFO_MGMT 0x00000200UL /* input transfer: request only with 4 or more words */
#define S5933_MCSR_WRITE_ENABLE 0x00000400UL  /* input (write) bus-master transfer enable */
#define S5933_MCSR_READ_FIFO_MGMT 0x00002000UL /* output transfer: request only with 4 or more free */
#define S5933_MCSR_READ_ENABLE 0x00004000UL   /* output (read) bus-master transfer enable */
#define S5933_MCSR_ADDON_RESET 0x01000000UL   /* holds the add-on in reset */
#define S5933_MCSR_P2A_RESET 0x02000000UL     /* resets the PCI-to-add-on FIFO's status */
#define S5933_MCSR_A2P_RESET 0x04000000UL     /* resets the add-on-to-PCI FIFO's status */
#define S5933_MCSR_MAILBOX_RESET 0x08000000UL /* clears the mailbox empty/full flags */

#endif /* QOR_S5933_H */
