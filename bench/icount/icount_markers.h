/*
 * The marker instructions that open and close a counting window of the qor_icount plugin,
 * shared by the plugin and the 32-bit programs it measures. A marker is `nopl disp32(%eax)`
 * with one of these displacements: a no-operation on every x86, with or without the plugin.
 */
#ifndef QOR_ICOUNT_MARKERS_H
#define QOR_ICOUNT_MARKERS_H

#define QOR_ICOUNT_START 0x716F7231
#define QOR_ICOUNT_STOP 0x716F7230

/* For inline assembly: the marker's bytes. */
#define QOR_ICOUNT_STRINGIFY2(x) #x
#define QOR_ICOUNT_STRINGIFY(x) QOR_ICOUNT_STRINGIFY2(x)
#define QOR_ICOUNT_MARKER_ASM(value) ".byte 0x0f, 0x1f, 0x80\n\t.long " QOR_ICOUNT_STRINGIFY(value)

#endif
