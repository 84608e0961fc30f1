/*
 * qor_plx9050.h - the PLX PCI 9050 bridge's local configuration registers, as its data
 * sheet names them. Offsets are from the chip's I/O register window
 * (QorDevExt.PortBase[0]). Shared by the library, the sample driver and client drivers;
 * C99 and C++.
 */
#ifndef QOR_PLX9050_H
#define QOR_PLX9050_H

/* ---- local configuration registers ------------------------------------------------ */
#define PLX9050_LAS0RR 0x00UL  /* local address space 0 range */
#define PLX9050_LAS1RR 0x04UL  /* local address space 1 range */
#define PLX9050_LAS2RR 0x08UL  /* local address space 2 range */
#define PLX9050_LAS3RR 0x0CUL  /* local address space 3 range */
#define PLX9050_EROMRR 0x10UL  /* expansion ROM range */
#define PLX9050_LAS0BA 0x14UL  /* local address space 0 local base address */
#define PLX9050_LAS1BA 0x18UL  /* local address space 1 local base address */
#define PLX9050_LAS2BA 0x1CUL  /* local address space 2 local base address */
#define PLX9050_LAS3BA 0x20UL  /* local address space 3 local base address */
#define PLX9050_EROMBA 0x24UL  /* expansion ROM local base address */
#define PLX9050_LAS0BRD 0x28UL /* local address space 0 bus region descriptor */
#define PLX9050_LAS1BRD 0x2CUL /* local address space 1 bus region descriptor */
#define PLX9050_LAS2BRD 0x30UL /* local address space 2 bus region descriptor */
#define PLX9050_LAS3BRD 0x34UL /* local address space 3 bus region descriptor */
#define PLX9050_EROMBRD 0x38UL /* expansion ROM bus region descriptor */
#define PLX9050_CS0BASE 0x3CUL /* chip select 0 base */
#define PLX9050_CS1BASE 0x40UL /* chip select 1 base */
#define PLX9050_CS2BASE 0x44UL /* chip select 2 base */
#define PLX9050_CS3BASE 0x48UL /* chip select 3 base */
#define PLX9050_INTCSR 0x4CUL  /* interrupt control and status (the low byte holds every bit) */
#define PLX9050_CNTRL 0x50UL   /* user I/O pins, serial EEPROM, PCI target response, reset */
#define PLX9050_CNTRL_TOP 0x53UL /* CNTRL bits 24-31 as one byte */
#define PLX9050_REGISTER_BYTES 0x80UL /* the local configuration register window */

/* ---- INTCSR (low byte) ------------------------------------------------------------- */
#define PLX9050_INTCSR_LINT1_ENABLE 0x01UL   /* local interrupt input 1 may interrupt */
#define PLX9050_INTCSR_LINT1_POLARITY 0x02UL /* 1: LINTi1 is active high */
#define PLX9050_INTCSR_LINT1_STATUS 0x04UL   /* LINTi1 is active (read only, enabled or not) */
#define PLX9050_INTCSR_LINT2_ENABLE 0x08UL   /* local interrupt input 2 may interrupt */
#define PLX9050_INTCSR_LINT2_POLARITY 0x10UL /* 1: LINTi2 is active high */
#define PLX9050_INTCSR_LINT2_STATUS 0x20UL   /* LINTi2 is active (read only, enabled or not) */
#define PLX9050_INTCSR_PCI_INT_ENABLE 0x40UL /* the enabled local inputs drive the PCI interrupt */
#define PLX9050_INTCSR_SOFTWARE_INT 0x80UL   /* a software-generated PCI interrupt */

/* ---- CNTRL -------------------------------------------------------------------------- */
/* User I/O pin n (0-3) owns bits 3n to 3n+2: function (1 = general-purpose I/O),
   direction (1 = output) and data. */
#define PLX9050_CNTRL_PIN_BITS 3
#define PLX9050_CNTRL_PIN_FIELD 0x7UL
#define PLX9050_CNTRL_PIN_GPIO 0x1UL
#define PLX9050_CNTRL_PIN_OUTPUT 0x2UL
#define PLX9050_CNTRL_PIN_DATA 0x4UL
#define PLX9050_CNTRL_SOFT_RESET 0x40000000UL /* PCI adapter software reset: holds the local bus in reset */

#endif /* QOR_PLX9050_H */
