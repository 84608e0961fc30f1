// What a thread needs to run the code of a PE32 driver image: a thread information block
// at fs:0, as NT's kernel gives every thread (its first field heads the chain of exception
// registration records a structured exception handler pushes), and a dispatcher that
// raises an exception down that chain. The host-compiled library needs none of it: it
// takes a raised status right after the call (platform/host/probe_lock.cpp).
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>

namespace qorsim {

// Gives the calling thread its information block (an LDT entry loaded into fs) once any
// image is loaded; a no-op otherwise, and after the first call on a thread. Called
// wherever the simulator calls into a driver: entry, dispatch, DPC, interrupt, unload.
void enter_image_context();
// True once the calling thread has a block; the head of its handler chain ((void *)-1:
// empty).
bool has_thread_block();
void *exception_list();

// Images are loaded: from now on, threads entering driver code get a block.
void note_images_present(bool present);
// Where the calling thread's innermost image code called the kernel from, for reports:
// "called from acqdrv.sys+0x1a2c (AcqDispatch+0x2c)"; "" on a thread that runs no image.
std::string image_caller();

// What an image's import of a kernel export is bound to: for a routine, a thunk that notes
// where the image called from in the thread's block and jumps to the routine, arguments
// and registers untouched; for data, the datum.
const void *image_entry(const struct KernelExport &routine);

// Raises `status` in the image that called the kernel: the handlers of the registration
// records from fs:[0] on are called with a noncontinuable exception record. A handler
// that takes it unwinds to its own frame and never returns here. No handler, or one that
// asks to continue, is what stops NT with a bug check: reported and the process ends.
void raise_in_image(NTSTATUS status, void *raisedAt);

} // namespace qorsim

extern "C" {
// Adapters bound into images in place of the host-build routines (sim/ntoskrnl/exports.cpp).
uint64_t NTAPI QorSimImageMmGetPhysicalAddress(PVOID BaseAddress);
VOID NTAPI QorSimImageMmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation);
}
