/*
 * qor_plx9080.h - the PLX PCI 9080 bridge's local configuration, runtime and DMA
 * registers, as its data sheet names them. Offsets are from the chip's I/O register
 * window (QorDevExt.PortBase[0]). Shared by the library, the sample driver and client
 * drivers; C99 and C++.
 */
#ifndef QOR_PLX9080_H
#define QOR_PLX9080_H

/* ---- local configuration registers ------------------------------------------------ */
#define PLX9080_LAS0RR 0x00UL /* local address space 0 range */
#define PLX9080_LAS0BA 0x04UL /* local address space 0 local base address (remap) */
#define PLX9080_MARBR 0x08UL  /* mode / arbitration */
#define PLX9080_BIGEND 0x0CUL /* big/little-endian descriptor */
#define PLX9080_EROMRR 0x10UL /* expansion ROM range */
#define PLX9080_EROMBA 0x14UL /* expansion ROM local base address */
#define PLX9080_LBRD0 0x18UL  /* local address space 0 / expansion ROM bus region descriptor */
#define PLX9080_DMRR 0x1CUL   /* local range for PCI initiator (direct master) */

/* ---- runtime registers --------------------------------------------------------------- */
#define PLX9080_MBOX0 0x40UL    /* mailbox 0 (seven more follow every 4 bytes) */
#define PLX9080_P2LDBELL 0x60UL /* PCI-to-local doorbell */
#define PLX9080_L2PDBELL 0x64UL /* local-to-PCI doorbell */
#define PLX9080_INTCSR 0x68UL   /* interrupt control and status */
#define PLX9080_CNTRL 0x6CUL    /* EEPROM, PCI command codes, user I/O, software reset */
#define PLX9080_CNTRL_TOP 0x6FUL /* CNTRL bits 24-31 as one byte */

/* ---- DMA registers --------------------------------------------------------------------- */
#define PLX9080_DMAMODE0 0x80UL /* channel 0 mode */
#define PLX9080_DMAPADR0 0x84UL /* channel 0 PCI address */
#define PLX9080_DMALADR0 0x88UL /* channel 0 local address */
#define PLX9080_DMASIZ0 0x8CUL  /* channel 0 transfer size in bytes */
#define PLX9080_DMADPR0 0x90UL  /* channel 0 descriptor pointer */
#define PLX9080_DMAMODE1 0x94UL /* channel 1 mode */
#define PLX9080_DMAPADR1 0x98UL /* channel 1 PCI address */
#define PLX9080_DMALADR1 0x9CUL /* channel 1 local address */
#define PLX9080_DMASIZ1 0xA0UL  /* channel 1 transfer size in bytes */
#define PLX9080_DMADPR1 0xA4UL  /* channel 1 descriptor pointer */
#define PLX9080_DMACSR0 0xA8UL  /* channel 0 command and status (8 bits) */
#define PLX9080_DMACSR1 0xA9UL  /* channel 1 command and status (8 bits) */
#define PLX9080_DMAARB 0xACUL   /* DMA arbitration (the same register as MARBR) */
#define PLX9080_DMATHR 0xB0UL   /* DMA FIFO thresholds */
#define PLX9080_DMA_CHANNEL_STRIDE 0x14UL /* channel 1's mode..descriptor registers above channel 0's */
#define PLX9080_REGISTER_BYTES 0x100UL    /* the register window */

/* ---- INTCSR -------------------------------------------------------------------------- */
#define PLX9080_INTCSR_PCI_INT_ENABLE 0x00000100UL    /* any PCI interrupt at all */
#define PLX9080_INTCSR_DOORBELL_ENABLE 0x00000200UL   /* PCI doorbell interrupt enable */
#define PLX9080_INTCSR_ABORT_ENABLE 0x00000400UL      /* PCI abort interrupt enable */
#define PLX9080_INTCSR_LOCAL_INPUT_ENABLE 0x00000800UL /* local interrupt input (and DMA routed to PCI) enable */
#define PLX9080_INTCSR_DOORBELL_ACTIVE 0x00002000UL   /* PCI doorbell interrupt active */
#define PLX9080_INTCSR_ABORT_ACTIVE 0x00004000UL      /* PCI abort interrupt active */
#define PLX9080_INTCSR_LOCAL_INPUT_ACTIVE 0x00008000UL /* local interrupt input active */
#define PLX9080_INTCSR_LOCAL_OUTPUT_ENABLE 0x00010000UL /* local interrupt output enable */
#define PLX9080_INTCSR_DMA0_ENABLE 0x00040000UL       /* channel 0 interrupt enable */
#define PLX9080_INTCSR_DMA1_ENABLE 0x00080000UL       /* channel 1 interrupt enable */
#define PLX9080_INTCSR_DMA0_ACTIVE 0x00200000UL       /* channel 0 interrupt active */
#define PLX9080_INTCSR_DMA1_ACTIVE 0x00400000UL       /* channel 1 interrupt active */

/* ---- CNTRL byte 3 (CNTRL bits 24-31 as bits 0-7) ------------------------------------------ */
#define PLX9080_CNTRL_TOP_BIT28 0x10UL      /* kept set while the card runs */
#define PLX9080_CNTRL_TOP_SOFT_RESET 0x40UL /* CNTRL bit 30: PCI adapter software reset */
#define PLX9080_CNTRL_TOP_BIT31 0x80UL      /* kept set while the card runs */

/* ---- DMAMODE ------------------------------------------------------------------------- */
#define PLX9080_DMAMODE_WIDTH_MASK 0x00000003UL /* local bus width: 0 8-bit, 1 16-bit, 2 or 3 32-bit */
#define PLX9080_DMAMODE_WIDTH8 0x0UL
#define PLX9080_DMAMODE_WIDTH16 0x1UL
#define PLX9080_DMAMODE_WIDTH32 0x2UL
#define PLX9080_DMAMODE_READY_INPUT 0x00000040UL   /* wait for the local READY# input */
#define PLX9080_DMAMODE_BTERM_INPUT 0x00000080UL   /* honour the local BTERM# input */
#define PLX9080_DMAMODE_LOCAL_BURST 0x00000100UL   /* local bursting */
#define PLX9080_DMAMODE_CHAINING 0x00000200UL      /* scatter-gather: follow the descriptor chain */
#define PLX9080_DMAMODE_DONE_INT 0x00000400UL      /* interrupt when the transfer is done */
#define PLX9080_DMAMODE_LOCAL_CONSTANT 0x00000800UL /* the local address does not advance */
#define PLX9080_DMAMODE_DEMAND 0x00001000UL        /* demand mode: the card paces the transfer */
#define PLX9080_DMAMODE_INT_TO_PCI 0x00020000UL    /* route the channel's interrupt to the PCI side */

/* ---- DMADPR (and the next-descriptor word of a chain element) ------------------------------- */
#define PLX9080_DMADPR_PCI_MEMORY 0x00000001UL   /* descriptors lie in PCI (host) memory */
#define PLX9080_DMADPR_END_OF_CHAIN 0x00000002UL /* this descriptor is the last one */
#define PLX9080_DMADPR_TC_INT 0x00000004UL       /* interrupt after this descriptor's transfer */
#define PLX9080_DMADPR_LOCAL_TO_PCI 0x00000008UL /* direction: local bus to PCI (input) */
#define PLX9080_DMADPR_ADDRESS_MASK 0xFFFFFFF0UL /* the next descriptor's 16-byte aligned address */

/* ---- DMACSR (8 bits) ---------------------------------------------------------------------- */
#define PLX9080_DMACSR_ENABLE 0x01UL          /* the channel may run */
#define PLX9080_DMACSR_START 0x02UL           /* starts the transfer (with ENABLE) */
#define PLX9080_DMACSR_ABORT 0x04UL           /* aborts the transfer under way */
#define PLX9080_DMACSR_CLEAR_INTERRUPT 0x08UL /* acknowledges the channel's interrupt */
#define PLX9080_DMACSR_DONE 0x10UL            /* the transfer is complete (read only) */

#endif /* QOR_PLX9080_H */
