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

extern "C" NTSTATUS NTAPI QOR_LIBRARY_ENTRY(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
extern "C" NTSTATUS NTAPI QorDispatch(PDEVICE_OBJECT device, PIRP irp);
extern "C" VOID NTAPI QorUnload(PDRIVER_OBJECT driver);
