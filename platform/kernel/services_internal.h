// What the system-service files (system root, registry, files, debug print,
// exported routines) share among themselves. Not part of any public header.
#pragma once

#include <wdm.h>

#include <filesystem>

namespace m4350::services {

// Pool tag of strings the run-time library allocates for a caller
// (RtlAnsiStringToUnicodeString, direct registry queries of strings); the
// caller frees them with RtlFreeUnicodeString or ExFreePool.
constexpr ULONG StringTag = 0x67727453; // "Strg" as poolmon shows it

// Reports a call above PASSIVE_LEVEL to the verifier. The call goes on.
void RequirePassive(const char* routine);

// The system root, prepared on first use. Never called with the hive lock
// held: preparing a root may create its registry file.
std::filesystem::path SystemRootPath();
std::filesystem::path RegistryFileOf(const std::filesystem::path& root);

// Writes an empty hive to the registry file of `root` if it has none.
void CreateRegistryFileIfMissing(const std::filesystem::path& root);

// For ZwClose: true when the handle was a file handle and is now closed.
bool CloseFileHandle(HANDLE handle);
size_t FileHandleCount();
size_t RegistryKeyHandleCount();

} // namespace m4350::services
