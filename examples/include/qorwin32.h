/*
 * The Win32 calls a user program of the cards needs: open a card, send it I/O-control
 * requests, open and wait on its named events. On Windows this is <windows.h>; on the
 * host the simulator provides the same calls for the program's simulated process.
 */
#ifndef QORWIN32_H
#define QORWIN32_H

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI __attribute__((__stdcall__))
typedef void *HANDLE, *LPVOID;
typedef unsigned long DWORD, *LPDWORD, ULONG, SIZE_T;
typedef int BOOL;
typedef const char *LPCSTR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef unsigned char UCHAR;
typedef char CHAR;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define SYNCHRONIZE 0x00100000UL
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFFUL
#define INFINITE 0xFFFFFFFFUL
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BUSY 170
#define ERROR_OPERATION_ABORTED 995
#define ERROR_INVALID_USER_BUFFER 1784
#define MEM_COMMIT 0x1000
#define MEM_RESERVE 0x2000
#define MEM_RELEASE 0x8000
#define PAGE_READWRITE 0x04

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPVOID security, DWORD disposition,
                          DWORD flags, HANDLE templateFile);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                            DWORD outLength, LPDWORD returned, LPVOID overlapped);
HANDLE WINAPI OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
DWORD WINAPI GetLastError(void);
/* Suspends the program; in the simulator the time is virtual: a program sleeping in a
   scenario with free-running cards falls behind them as a busy program would. */
void WINAPI Sleep(DWORD milliseconds);
/* Private memory of the program (the simulator commits and releases whole allocations). */
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protect);
BOOL WINAPI VirtualFree(LPVOID address, SIZE_T bytes, DWORD type);

#ifdef __cplusplus
}
#endif
#endif /* !_WIN32 */

#endif /* QORWIN32_H */
