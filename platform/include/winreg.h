// The user-mode registry calls (advapi32), over the same hive that the
// kernel's Rtl registry calls use.
//
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes (this system has
// no per-user class registrations), HKEY_CURRENT_USER is
// HKEY_USERS\.Default. Strings are WCHAR (the host's wchar_t); byte counts
// of string data are in sizeof(WCHAR) units, as on Windows.
#pragma once

#include "ntdef.h"
#include "winerror.h"

#ifndef WINAPI
#define WINAPI
#endif
#ifndef WINADVAPI
#define WINADVAPI
#endif
#ifndef CONST
#define CONST const
#endif

#include "ntaccess.h"

typedef LONG LSTATUS;
typedef ACCESS_MASK REGSAM;
typedef void* LPVOID;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* LPDWORD;

struct HKEY__;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

#ifndef _FILETIME_
#define _FILETIME_
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#endif

#ifndef _SECURITY_ATTRIBUTES_
#define _SECURITY_ATTRIBUTES_
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
#endif

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#ifndef REG_OPTION_RESERVED
#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#endif
#ifndef REG_CREATED_NEW_KEY
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#endif

// Longest key name and value name, in characters.
#define MAX_KEY_LENGTH 255
#define MAX_VALUE_NAME 16383

EXTERN_C WINADVAPI LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved,
                                                  LPWSTR lpClass, DWORD dwOptions,
                                                  REGSAM samDesired,
                                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                                  PHKEY phkResult, LPDWORD lpdwDisposition);
EXTERN_C WINADVAPI LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                                REGSAM samDesired, PHKEY phkResult);
EXTERN_C WINADVAPI LSTATUS WINAPI RegCloseKey(HKEY hKey);
EXTERN_C WINADVAPI LSTATUS WINAPI RegFlushKey(HKEY hKey);

EXTERN_C WINADVAPI LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved,
                                                 DWORD dwType, CONST BYTE* lpData, DWORD cbData);
EXTERN_C WINADVAPI LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName,
                                                   LPDWORD lpReserved, LPDWORD lpType,
                                                   LPBYTE lpData, LPDWORD lpcbData);
EXTERN_C WINADVAPI LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);

// Deletes a key without subkeys; a key with subkeys is refused with
// ERROR_ACCESS_DENIED, as on Windows. RegDeleteTreeW removes a whole subtree.
EXTERN_C WINADVAPI LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
EXTERN_C WINADVAPI LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);

// Subkeys and values are enumerated in case-insensitive name order.
EXTERN_C WINADVAPI LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName,
                                                LPDWORD lpcchName, LPDWORD lpReserved,
                                                LPWSTR lpClass, LPDWORD lpcchClass,
                                                PFILETIME lpftLastWriteTime);
EXTERN_C WINADVAPI LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                                LPDWORD lpcchValueName, LPDWORD lpReserved,
                                                LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
