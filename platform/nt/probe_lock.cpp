// The probe-and-lock boundary on the NT target. MmProbeAndLockPages reports pages it
// cannot lock by raising an exception (ExRaiseStatus: a noncontinuable one), which the
// caller must catch with a structured exception handler. mingw's g++ has no __try, so
// the frame is built by hand, as a compiler builds one for __try/__except on i386:
//
//   QorProbeAndLock pushes an exception registration record on its stack and links it
//   at the head of the thread's handler list (fs:[0]):
//       record+0   previous record (the list's old head)
//       record+4   handler
//       record+8   QorProbeAndLock's frame pointer, to resume with
//   then calls MmProbeAndLockPages and, on return, unlinks the record: TRUE.
//
//   The kernel's dispatcher calls the handler for an exception raised below the record.
//   For an unwind (EXCEPTION_UNWINDING or EXCEPTION_EXIT_UNWIND set: another frame
//   handled it and unwinds through this one) it returns ExceptionContinueSearch. On the
//   first pass it handles every exception: it unwinds to its own record with RtlUnwind,
//   which calls the handlers of the frames the kernel registered below it (termination
//   handlers run) and leaves the record at the head of the list, then restores the stack
//   pointer to the record and the frame pointer from it, and continues at the failure
//   path of QorProbeAndLock, which unlinks the record and returns FALSE. It does not
//   return ExceptionContinueExecution: the exception is noncontinuable, and the
//   dispatcher would answer that with STATUS_NONCONTINUABLE_EXCEPTION.
//
// ebx, esi and edi are saved in QorProbeAndLock's frame and restored on both paths: at
// the failure path they hold whatever the kernel left in them when it raised.
#include "qor_platform.h"

asm(R"(
        .intel_syntax noprefix
        .text
        .globl  _QorProbeAndLock@4
        .def    _QorProbeAndLock@4; .scl 2; .type 32; .endef
        .p2align 4
_QorProbeAndLock@4:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    esi
        push    edi
        push    ebp                             /* record+8: frame pointer to resume with */
        push    OFFSET _QorProbeAndLockHandler  /* record+4: handler */
        push    DWORD PTR fs:[0]                /* record+0: previous record */
        mov     DWORD PTR fs:[0], esp
        push    2                               /* IoModifyAccess */
        push    1                               /* UserMode: a user program's buffer */
        push    DWORD PTR [ebp + 8]             /* the MDL */
        call    DWORD PTR [__imp__MmProbeAndLockPages@12]
        mov     eax, 1
QorProbeAndLockUnlink:                          /* esp = the record on both paths */
        mov     ecx, DWORD PTR [esp]
        mov     DWORD PTR fs:[0], ecx
        add     esp, 12
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret     4
QorProbeAndLockFailed:
        xor     eax, eax
        jmp     QorProbeAndLockUnlink

        /* EXCEPTION_DISPOSITION __cdecl handler(EXCEPTION_RECORD *record,
           void *establisherFrame, CONTEXT *context, void *dispatcherContext) */
        .def    _QorProbeAndLockHandler; .scl 3; .type 32; .endef
        .p2align 4
_QorProbeAndLockHandler:
        mov     eax, DWORD PTR [esp + 4]        /* the exception record */
        test    DWORD PTR [eax + 4], 0x06       /* ExceptionFlags: unwinding, exit unwind */
        jnz     QorProbeAndLockSearch
        mov     ecx, DWORD PTR [esp + 8]        /* our registration record */
        push    ecx                             /* kept here: RtlUnwind returns with esp as it was */
        push    0                               /* return value */
        push    0                               /* exception record: RtlUnwind makes its own */
        push    OFFSET QorProbeAndLockUnwound   /* target address (unused on i386) */
        push    ecx                             /* target frame: unwind up to our record */
        call    DWORD PTR [__imp__RtlUnwind@16]
QorProbeAndLockUnwound:
        pop     ecx
        mov     esp, ecx
        mov     ebp, DWORD PTR [ecx + 8]
        jmp     QorProbeAndLockFailed
QorProbeAndLockSearch:
        mov     eax, 1                          /* ExceptionContinueSearch */
        ret
        .att_syntax prefix
)");
