// Run-time library, registry, file and debug-output services of the kernel,
// with the WDK's names, layouts and semantics.
//
// wdm.h includes this header at its end; it also stands on its own on top of
// ntdef.h and ntstatus.h. Constants that other WDK- and Win32-named headers
// share (access rights, registry value types) are guarded, so whichever
// header comes first defines them and the others agree.
#pragma once

#include <stdarg.h>

#include "ntdef.h"
#include "ntstatus.h"

#include "ntaccess.h"

// ---------------------------------------------------------------------------
// Counted strings
// ---------------------------------------------------------------------------

EXTERN_C NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString,
                                                  PCWSTR SourceString);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString,
                                                        PCWSTR SourceString);
EXTERN_C NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
EXTERN_C NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString);

EXTERN_C NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                                  PCUNICODE_STRING SourceString);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination,
                                                          PCWSTR Source);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                                PCUNICODE_STRING Source);

EXTERN_C NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1,
                                                      PCUNICODE_STRING String2,
                                                      BOOLEAN CaseInSensitive);
EXTERN_C NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1,
                                                     PCUNICODE_STRING String2,
                                                     BOOLEAN CaseInSensitive);
EXTERN_C NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1,
                                                       PCUNICODE_STRING String2,
                                                       BOOLEAN CaseInSensitive);
EXTERN_C NTSYSAPI BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2,
                                               BOOLEAN CaseInSensitive);
EXTERN_C NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
EXTERN_C NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);

// Conversions. With Allocate TRUE the destination buffer comes from paged
// pool and is released with RtlFreeUnicodeString / RtlFreeAnsiString.
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                                        PCUNICODE_STRING SourceString,
                                                        BOOLEAN AllocateDestinationString);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                              PCANSI_STRING SourceString,
                                                              BOOLEAN AllocateDestinationString);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                              PCUNICODE_STRING SourceString,
                                                              BOOLEAN AllocateDestinationString);
EXTERN_C NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
EXTERN_C NTSYSAPI VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);

EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base,
                                                           PULONG Value);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base,
                                                           PUNICODE_STRING String);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base,
                                                         PUNICODE_STRING String);

// Number of leading bytes that are equal in both blocks.
EXTERN_C NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2,
                                                SIZE_T Length);

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

// RelativeTo of the Rtl registry calls. RTL_REGISTRY_SERVICES is
// \Registry\Machine\System\CurrentControlSet\Services; RTL_REGISTRY_OPTIONAL
// makes a missing key read as an empty one instead of failing the call.
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_NOSTRING 0x00000080
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
// With TYPECHECK, the expected value type sits in DefaultType's top byte.
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xffu << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)

typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                  ULONG ValueLength, PVOID Context,
                                                  PVOID EntryContext);
typedef KCallback<RTL_QUERY_REGISTRY_ROUTINE> PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56, "RTL_QUERY_REGISTRY_TABLE layout");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, EntryContext) == 24,
              "RTL_QUERY_REGISTRY_TABLE layout");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultLength) == 48,
              "RTL_QUERY_REGISTRY_TABLE layout");

EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                        PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                        PVOID Context, PVOID Environment);
// Only newer systems export this one; look it up with MmGetSystemRoutineAddress.
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                          PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                          PVOID Context, PVOID Environment);
typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_VALUES)(ULONG RelativeTo, PCWSTR Path,
                                                    PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                    PVOID Context, PVOID Environment);

// RtlWriteRegistryValue and RtlCreateRegistryKey create the key with any
// keys missing along its path: nothing installs service keys on this system.
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path,
                                                       PCWSTR ValueName, ULONG ValueType,
                                                       PVOID ValueData, ULONG ValueLength);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path,
                                                        PCWSTR ValueName);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

#ifndef FILE_READ_DATA
#define FILE_READ_DATA 0x00000001
#define FILE_LIST_DIRECTORY 0x00000001
#define FILE_WRITE_DATA 0x00000002
#define FILE_ADD_FILE 0x00000002
#define FILE_APPEND_DATA 0x00000004
#define FILE_ADD_SUBDIRECTORY 0x00000004
#define FILE_READ_EA 0x00000008
#define FILE_WRITE_EA 0x00000010
#define FILE_EXECUTE 0x00000020
#define FILE_TRAVERSE 0x00000020
#define FILE_DELETE_CHILD 0x00000040
#define FILE_READ_ATTRIBUTES 0x00000080
#define FILE_WRITE_ATTRIBUTES 0x00000100
#endif

#ifndef FILE_ALL_ACCESS
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ                                                                          \
    (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE                                                                         \
    (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |             \
     FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE                                                                       \
    (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)
#endif

#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_SHARE_VALID_FLAGS 0x00000007
#endif

#ifndef FILE_ATTRIBUTE_READONLY
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_VALID_FLAGS 0x00007fb7
#endif

// CreateDisposition
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_MAXIMUM_DISPOSITION 0x00000005

// CreateOptions
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_CREATE_TREE_CONNECTION 0x00000080
#define FILE_COMPLETE_IF_OPLOCKED 0x00000100
#define FILE_NO_EA_KNOWLEDGE 0x00000200
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_BY_FILE_ID 0x00002000
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#define FILE_NO_COMPRESSION 0x00008000
#define FILE_RESERVE_OPFILTER 0x00100000
#define FILE_OPEN_REPARSE_POINT 0x00200000
#define FILE_OPEN_NO_RECALL 0x00400000
#define FILE_VALID_OPTION_FLAGS 0x00ffffff

// IO_STATUS_BLOCK.Information of a create
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

// Special ByteOffset values (HighPart -1) of ZwReadFile / ZwWriteFile.
#define FILE_WRITE_TO_END_OF_FILE 0xffffffff
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe

typedef enum _FILE_INFORMATION_CLASS {
    FileDirectoryInformation = 1,
    FileFullDirectoryInformation,
    FileBothDirectoryInformation,
    FileBasicInformation,
    FileStandardInformation,
    FileInternalInformation,
    FileEaInformation,
    FileAccessInformation,
    FileNameInformation,
    FileRenameInformation,
    FileLinkInformation,
    FileNamesInformation,
    FileDispositionInformation,
    FilePositionInformation,
    FileFullEaInformation,
    FileModeInformation,
    FileAlignmentInformation,
    FileAllInformation,
    FileAllocationInformation,
    FileEndOfFileInformation,
    FileMaximumInformation = 76
} FILE_INFORMATION_CLASS,
    *PFILE_INFORMATION_CLASS;

typedef struct _FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION layout");

typedef struct _FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION, *PFILE_POSITION_INFORMATION;
static_assert(sizeof(FILE_POSITION_INFORMATION) == 8, "FILE_POSITION_INFORMATION layout");

typedef struct _FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;
static_assert(sizeof(FILE_END_OF_FILE_INFORMATION) == 8, "FILE_END_OF_FILE_INFORMATION layout");

typedef struct _FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION, *PFILE_DISPOSITION_INFORMATION;

// Object names: "\SystemRoot\..." is the system root folder; "\??\" followed
// by an absolute host path names any host file.
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                              POBJECT_ATTRIBUTES ObjectAttributes,
                                              PIO_STATUS_BLOCK IoStatusBlock,
                                              PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                              ULONG ShareAccess, ULONG CreateDisposition,
                                              ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                            POBJECT_ATTRIBUTES ObjectAttributes,
                                            PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                                            ULONG OpenOptions);
EXTERN_C NTSYSAPI NTSTATUS NTAPI
ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                       ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle,
                                                      PIO_STATUS_BLOCK IoStatusBlock,
                                                      PVOID FileInformation, ULONG Length,
                                                      FILE_INFORMATION_CLASS FileInformationClass);
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event,
                                            PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                            PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                            ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event,
                                             PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                             PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
// Closes file handles and system thread handles alike.
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------

// DbgPrintEx component ids and levels. Levels 0..31 are severities; a level
// of 32 or more is a mask of severities. Only DPFLTR_ERROR_LEVEL is shown
// unless the host raises the filter.
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_IHVVIDEO_ID 78
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_IHVNETWORK_ID 80
#define DPFLTR_IHVSTREAMING_ID 81
#define DPFLTR_IHVBUS_ID 82
#define DPFLTR_DEFAULT_ID 101

// Windows printf rules: 'l' and 'I32' are 32 bits, 'll' and 'I64' 64 bits,
// %S / %ws / %ls wide strings, %Z a STRING*, %wZ a UNICODE_STRING*, %p 16
// upper-case hex digits. Returns STATUS_SUCCESS.
EXTERN_C NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);
EXTERN_C NTSYSAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
EXTERN_C NTSYSAPI ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format,
                                          va_list arglist);

#ifndef KdPrint
#if defined(DBG) && DBG
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#else
#define KdPrint(_x_)
#define KdPrintEx(_x_)
#endif
#endif

// ---------------------------------------------------------------------------
// System routines
// ---------------------------------------------------------------------------

// Address of an exported kernel routine by its exact name, or NULL when this
// system does not export it.
EXTERN_C NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
