// The library's own control device, created when the library is loaded as a driver.
#pragma once

#include "qor_platform.h"

// The simulator loads the library and its client drivers into one process, so on the
// host the library's entry routine carries a name of its own.
#if defined(_WIN32)
#define QOR_LIBRARY_ENTRY DriverEntry
#else
#define QOR_LIBRARY_ENTRY QorPelkDriverEntry
#endif

// Run-once load code and the constants only it reads go into the image's INIT section,
// which the memory manager frees when DriverEntry has returned (pe_finish marks it
// discardable). Nothing that a client or the I/O manager calls later may live there. The
// constants take an INIT$ input section: the linker merges it into INIT, and the
// compiler keeps code and read-only data in sections of their own.
#if defined(_WIN32)
#define QOR_INIT_CODE __attribute__((section("INIT")))
#define QOR_INIT_DATA __attribute__((section("INIT$data")))
#else
#define QOR_INIT_CODE
#define QOR_INIT_DATA
#endif

extern "C" NTSTATUS NTAPI QOR_LIBRARY_ENTRY(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
extern "C" NTSTATUS NTAPI QorDispatch(PDEVICE_OBJECT device, PIRP irp);
extern "C" VOID NTAPI QorUnload(PDRIVER_OBJECT driver);
