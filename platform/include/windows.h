// The Win32 subset that user-mode code of this system calls (the
// configuration plug-in, the COM runtime, tools), with Windows' names,
// argument orders and semantics.
//
// On the host the kernel's and the user-mode headers share one set of base
// definitions (types, interlocked operations, GUIDs): they come from wdm.h,
// so that user-mode code may include <ks.h> beside this header as it does on
// Windows. Strings are WCHAR, the host's wchar_t.
#pragma once

#include "wdm.h"
#include "winerror.h"
#include "winreg.h"

#ifndef WINAPI
#define WINAPI
#endif
#define APIENTRY WINAPI
#define CALLBACK
#define WINBASEAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT __attribute__((visibility("default")))
#define DECLSPEC_NOVTABLE

typedef char* LPSTR;
typedef const char* LPCSTR;
typedef const void* LPCVOID;
typedef BOOL* LPBOOL;
typedef LONG* LPLONG;
typedef WORD* LPWORD;

struct HINSTANCE__;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef LONG_PTR(WINAPI* FARPROC)();

#define MAX_PATH 260

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ZeroMemory(d, n) memset((d), 0, (n))
#define CopyMemory(d, s, n) memcpy((d), (s), (n))
#define FillMemory(d, n, v) memset((d), (v), (n))

// Modules. A module handle is the address the module is loaded at; the
// host loads modules with the dynamic linker.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

EXTERN_C WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
EXTERN_C WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
EXTERN_C WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, lpModuleName is an address
// inside the module. Without UNCHANGED_REFCOUNT the module gains a reference
// that FreeLibrary gives back.
EXTERN_C WINBASEAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName,
                                                   HMODULE* phModule);
// The module's full path; NULL names the program. Returns the length copied
// without the terminator; a buffer that is too small receives a truncated,
// terminated path, the result is nSize and the last error
// ERROR_INSUFFICIENT_BUFFER.
EXTERN_C WINBASEAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename,
                                                    DWORD nSize);
EXTERN_C WINBASEAPI DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

EXTERN_C WINBASEAPI DWORD WINAPI GetLastError(void);
EXTERN_C WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);

// One entry of the same debug log that DbgPrint writes (see
// <host/services.h>): a final newline ends the entry.
EXTERN_C WINBASEAPI void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
EXTERN_C WINBASEAPI void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);

// A module's entry point would be called with the reasons above; the host
// does not call DllMain, so a module must not depend on it for anything but
// remembering its handle, which GetModuleHandleExW also gives.
EXTERN_C WINBASEAPI BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
