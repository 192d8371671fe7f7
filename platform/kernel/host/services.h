// Host-side control of the kernel's system services: the system root, the
// registry, file handles, the debug log and the exported-routine table.
// Tests and tools include this as <host/services.h>; kernel code never does.
//
// The system root is the folder that \SystemRoot\ names. It is, in order of
// preference, the folder given to SetSystemRoot, the folder named by the
// environment variable M4350_SYSTEM_ROOT, or a fresh temporary folder made
// for this process alone (removed again when the process exits), so tests
// never share state through the file system unless they ask to. It is
// created on first use together with system32/drivers and the registry file.
//
// The registry lives in <root>/system32/config/registry.txt, a text file
// rewritten atomically (temporary file, then rename) after every change:
//
//   # comment lines start with '#'; blank lines are ignored
//   [\Registry\Machine\System\CurrentControlSet\Services\m4350av\Parameters]
//   "FixedStandard"=dword:00000002
//   "Path"=expand_sz:"%SystemRoot%\\system32\\drivers"
//   @=sz:"the key's default value"
//   "List"=multi_sz:"first","second"
//   "Blob"=binary:01,02,ff
//   "Big"=qword:0000000100000000
//   "Odd"=hex(8):00,01
//
// One section per key, in full path form, each key listed once (parents
// before children, so an empty key still exists after a reload). Value names
// and strings are double-quoted, UTF-8, with \\ \" \n \r \t and \u{hex}
// escapes for anything else that is not printable; '@' is the unnamed value.
// Names keep the case they were created with and compare case-insensitively.
// String values are stored with exactly one terminating NUL, whatever the
// writer passed; any type without a keyword above is kept as hex(<type>).
//
// The hive is one per process. Two processes sharing a system root do not
// lock the file against each other; the last writer wins.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---------------------------------------------------------------------------
// System root
// ---------------------------------------------------------------------------

// The current system root, created (with system32/drivers and the registry
// file) on first use.
std::filesystem::path SystemRoot();

// Switches to another system root: creates it as above and loads the
// registry from that root's file. Open file handles stay valid.
void SetSystemRoot(const std::filesystem::path& root);

// Where the registry file of the current system root is.
std::filesystem::path RegistryFilePath();

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

// Key paths accept the kernel form "\Registry\Machine\..." as well as the
// shorthands "HKLM\...", "HKCR\..." (HKLM\Software\Classes), "HKU\..." and
// "HKCU\..." (HKU\.Default).

// Reads the registry file again, replacing the in-memory hive. Lines that
// cannot be parsed are skipped and described in *error (one line each); the
// result is false when there were any.
bool ReloadRegistry(std::string* error = nullptr);

// Empties the hive down to the standard root keys and saves it.
void ResetRegistry();

// \Registry\Machine\System\CurrentControlSet\Services\<relative>
std::wstring ServiceKeyPath(std::wstring_view relative);

struct RegistryValue {
    uint32_t type = 0;
    std::vector<uint8_t> data; // as RegQueryValueExW returns it
};

// Direct access for tests and tools. The setters create missing keys along
// the path; all of them save the hive like any other change.
bool RegistryCreateKey(std::wstring_view keyPath);
bool RegistryKeyExists(std::wstring_view keyPath);
bool RegistryDeleteKey(std::wstring_view keyPath); // with its subkeys
void RegistrySetValue(std::wstring_view keyPath, std::wstring_view name, uint32_t type,
                      const void* data, size_t length);
std::optional<RegistryValue> RegistryGetValue(std::wstring_view keyPath, std::wstring_view name);
bool RegistryDeleteValue(std::wstring_view keyPath, std::wstring_view name);
void RegistrySetDword(std::wstring_view keyPath, std::wstring_view name, uint32_t value);
std::optional<uint32_t> RegistryGetDword(std::wstring_view keyPath, std::wstring_view name);
void RegistrySetString(std::wstring_view keyPath, std::wstring_view name, std::wstring_view value,
                       uint32_t type = 1 /* REG_SZ */);
std::optional<std::wstring> RegistryGetString(std::wstring_view keyPath, std::wstring_view name);

// The same, relative to the services key: SetServiceDword(L"m4350av\\Parameters",
// L"FixedStandard", 2).
void SetServiceDword(std::wstring_view relative, std::wstring_view name, uint32_t value);
std::optional<uint32_t> GetServiceDword(std::wstring_view relative, std::wstring_view name);
bool DeleteServiceValue(std::wstring_view relative, std::wstring_view name);

// How often each query routine ran since the last reset, so a test can tell
// which one a driver used.
struct RegistryQueryCalls {
    size_t plain = 0; // RtlQueryRegistryValues
    size_t ex = 0;    // RtlQueryRegistryValuesEx
};
RegistryQueryCalls RegistryQueryCallCount();
void ResetRegistryQueryCallCount();

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------

// Open handles of every kind this system counts: files, registry keys opened
// with the Reg* calls, and system threads whose handles are still open.
size_t OpenHandleCount();
size_t OpenFileHandleCount();
size_t OpenRegistryKeyCount();

// ---------------------------------------------------------------------------
// Debug log
// ---------------------------------------------------------------------------

// Every DbgPrint call (and every DbgPrintEx call that passes the filter) adds
// one entry: the formatted text without its final "\n" if it ends with one.
// A message printed in two calls stays two entries. The log keeps the most
// recent DebugLogCapacity() entries.
//
// Echo: M4350_DBGPRINT=stderr writes each message to stderr as printed (no
// separator added), M4350_DBGPRINT=<path> appends it to that file. Off when
// unset, so test output stays quiet.
std::vector<std::string> DebugLogLines();
// DbgPrint for a loaded driver image: its Microsoft x64 argument list, its
// wide text (%S, %ws, %ls, %wZ, %C, %lc, %wc) in UTF-16.
unsigned long DbgPrintImage(const char* format, __builtin_ms_va_list arguments);
size_t DebugLogCount(std::string_view exact);
size_t DebugLogCountContaining(std::string_view substring);
// ECMAScript regular expression searched within each entry (use ^...$ to
// anchor). An invalid pattern throws std::regex_error.
size_t DebugLogCountMatching(const std::string& pattern);
void ClearDebugLog();

// Blocks until at least `count` entries equal `exact`, or until `bound` has
// passed (real time, not scaled). True when they are there.
bool WaitForDebugLog(std::string_view exact, size_t count, std::chrono::milliseconds bound);

size_t DebugLogCapacity();
void SetDebugLogCapacity(size_t entries);

// Overrides the environment: "" off, "stderr", or a file path to append to.
void SetDebugEcho(const std::string& target);

// DbgPrintEx shows a level when its bit is set in this mask (default: only
// DPFLTR_ERROR_LEVEL, bit 0).
void SetDbgPrintExMask(uint32_t levels);

// ---------------------------------------------------------------------------
// Exported routines
// ---------------------------------------------------------------------------

// Makes MmGetSystemRoutineAddress answer NULL for a routine (as an older
// system would) or answer it again. Unknown names are ignored.
void SetSystemRoutineAvailable(std::wstring_view name, bool available);
// The one a driver usually probes for.
void SetRtlQueryRegistryValuesExAvailable(bool available);
// Every routine available again.
void ResetSystemRoutines();

} // namespace host
