// The registry hive shared by the kernel's Rtl registry calls and the
// user-mode Reg* calls: keys and typed values with case-insensitive names,
// persisted in the system root's registry file after every change.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace m4350::registry {

struct Value {
    std::wstring name; // as created
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key;
using KeyPtr = std::shared_ptr<Key>;

struct Key {
    std::wstring name; // as created
    Key* parent = nullptr;
    // Both maps are keyed by the upcased name, which also gives the
    // enumeration order.
    std::map<std::wstring, KeyPtr> subkeys;
    std::map<std::wstring, Value> values;
    // A deleted key stays valid for handles that still hold it, but is no
    // longer reachable and refuses changes.
    bool deleted = false;
    // Volatile keys (REG_OPTION_VOLATILE) live in memory only and are never
    // written to the file.
    bool isVolatile = false;
    uint64_t lastWrite = 0; // 100 ns units since 1601, like FILETIME
};

// Holds the hive lock, with the hive of the current system root loaded. Take
// it only after any call that may prepare the system root.
class HiveLock {
public:
    HiveLock();
    ~HiveLock();
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;

    // \Registry
    const KeyPtr& Root() const;
    // Writes the hive to its file; false (with a message on stderr) when the
    // file could not be written.
    bool Save();

private:
    std::unique_lock<std::mutex> lock_;
};

// Splits a key path at backslashes. A leading or trailing backslash is
// ignored; an empty name in between, or a name with a control character,
// makes the path invalid.
bool SplitPath(std::wstring_view path, std::vector<std::wstring>& parts);

// With the hive lock held:
KeyPtr FindKey(const KeyPtr& from, const std::vector<std::wstring>& parts);
// Creates what is missing along the path; *created tells whether the last
// key is new.
KeyPtr CreateKey(const KeyPtr& from, const std::vector<std::wstring>& parts, bool* created);
KeyPtr FindSubkey(const Key& key, std::wstring_view name);
KeyPtr CreateSubkey(Key& key, std::wstring_view name, bool* created);
const Value* FindValue(const Key& key, std::wstring_view name);
// Stores the value as the hive keeps it: string types end in exactly one
// NUL, a multi-string in an empty string.
void SetValue(Key& key, std::wstring_view name, ULONG type, const void* data, size_t length);
bool DeleteValue(Key& key, std::wstring_view name);
// Removes the key with everything below it. Takes its own reference: the
// caller's may be the one in the parent's map that this erases.
void DeleteKey(KeyPtr key);
void Touch(Key& key);

bool IsStringType(ULONG type);

// A full key path ("\Registry\Machine\..." or one of the shorthands HKLM,
// HKCR, HKU, HKCU) as names below \Registry.
bool ResolveFullPath(std::wstring_view path, std::vector<std::wstring>& parts);

} // namespace m4350::registry
