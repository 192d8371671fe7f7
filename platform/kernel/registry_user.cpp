// The user-mode registry calls, over the kernel's hive.
#include <winreg.h>

#include "registry_hive.h"
#include "rtl_text.h"
#include "services_internal.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

using namespace m4350::registry;

struct OpenKey {
    KeyPtr key;
    REGSAM access;
};

// An HKEY is the address of its OpenKey; the table says which addresses are
// live, so a stale or made-up handle is refused instead of followed.
struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HKEY, std::unique_ptr<OpenKey>> keys;
};

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

const std::vector<std::wstring>* PredefinedPath(HKEY hKey) {
    static const std::vector<std::wstring> classes = {L"Machine", L"Software", L"Classes"};
    static const std::vector<std::wstring> currentUser = {L"User", L".Default"};
    static const std::vector<std::wstring> machine = {L"Machine"};
    static const std::vector<std::wstring> users = {L"User"};
    if (hKey == HKEY_CLASSES_ROOT) {
        return &classes;
    }
    if (hKey == HKEY_CURRENT_USER) {
        return &currentUser;
    }
    if (hKey == HKEY_LOCAL_MACHINE) {
        return &machine;
    }
    if (hKey == HKEY_USERS) {
        return &users;
    }
    return nullptr;
}

REGSAM MapAccess(REGSAM sam) {
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        sam |= KEY_ALL_ACCESS;
    }
    if (sam & GENERIC_READ) {
        sam |= KEY_READ;
    }
    if (sam & GENERIC_WRITE) {
        sam |= KEY_WRITE;
    }
    return sam;
}

// The key behind a handle, with the hive lock held. Predefined keys have
// every right.
LSTATUS Resolve(HiveLock& hive, HKEY hKey, REGSAM needed, KeyPtr& key) {
    if (const auto* path = PredefinedPath(hKey)) {
        bool created = false;
        key = CreateKey(hive.Root(), *path, &created);
        return ERROR_SUCCESS;
    }
    auto& table = Handles();
    std::lock_guard lock(table.mutex);
    auto it = table.keys.find(hKey);
    if (it == table.keys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    if ((it->second->access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    key = it->second->key;
    return key->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// The existing key `parts` below the key behind a handle, with the hive
// lock held.
LSTATUS FindSubKey(HiveLock& hive, HKEY hKey, const std::vector<std::wstring>& parts, KeyPtr& key) {
    if (LSTATUS status = Resolve(hive, hKey, 0, key); status != ERROR_SUCCESS) {
        return status;
    }
    key = FindKey(key, parts);
    return key ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

HKEY NewHandle(const KeyPtr& key, REGSAM access) {
    auto open = std::make_unique<OpenKey>(OpenKey{key, MapAccess(access)});
    auto handle = reinterpret_cast<HKEY>(open.get());
    auto& table = Handles();
    std::lock_guard lock(table.mutex);
    table.keys.emplace(handle, std::move(open));
    return handle;
}

LSTATUS SplitSubKey(LPCWSTR subKey, std::vector<std::wstring>& parts) {
    parts.clear();
    if (!subKey || !*subKey) {
        return ERROR_SUCCESS;
    }
    if (subKey[0] == L'\\') {
        return ERROR_BAD_PATHNAME;
    }
    if (!SplitPath(subKey, parts)) {
        return ERROR_BAD_PATHNAME;
    }
    for (const auto& name : parts) {
        if (name.size() > MAX_KEY_LENGTH) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS Saved(HiveLock& hive) {
    return hive.Save() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

void DeleteChildren(Key& key) {
    while (!key.subkeys.empty()) {
        DeleteKey(key.subkeys.begin()->second);
    }
    key.values.clear();
    Touch(key);
}

} // namespace

namespace m4350::services {

size_t RegistryKeyHandleCount() {
    auto& table = Handles();
    std::lock_guard lock(table.mutex);
    return table.keys.size();
}

} // namespace m4350::services

EXTERN_C LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                        DWORD dwOptions, REGSAM samDesired,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                        LPDWORD lpdwDisposition) {
    if (!phkResult || Reserved != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::wstring> parts;
    if (LSTATUS status = SplitSubKey(lpSubKey, parts); status != ERROR_SUCCESS) {
        return status;
    }
    const bool makeVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = Resolve(hive, hKey, 0, key); status != ERROR_SUCCESS) {
        return status;
    }
    // Walk what exists; whatever is missing needs the right to create
    // subkeys on the handle, and may not be a stable key below a volatile one.
    size_t existing = 0;
    while (existing < parts.size()) {
        KeyPtr next = FindSubkey(*key, parts[existing]);
        if (!next) {
            break;
        }
        key = next;
        ++existing;
    }
    bool created = existing < parts.size();
    if (created) {
        KeyPtr check;
        if (LSTATUS status = Resolve(hive, hKey, KEY_CREATE_SUB_KEY, check);
            status != ERROR_SUCCESS) {
            return status;
        }
        if (key->isVolatile && !makeVolatile) {
            return ERROR_CHILD_MUST_BE_VOLATILE;
        }
        for (size_t i = existing; i < parts.size(); ++i) {
            bool isNew = false;
            key = CreateSubkey(*key, parts[i], &isNew);
            key->isVolatile = makeVolatile;
        }
        if (LSTATUS status = Saved(hive); status != ERROR_SUCCESS) {
            return status;
        }
    }
    *phkResult = NewHandle(key, samDesired);
    if (lpdwDisposition) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                      REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::wstring> parts;
    if (LSTATUS status = SplitSubKey(lpSubKey, parts); status != ERROR_SUCCESS) {
        return status;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = FindSubKey(hive, hKey, parts, key); status != ERROR_SUCCESS) {
        return status;
    }
    *phkResult = NewHandle(key, samDesired);
    return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (PredefinedPath(hKey)) {
        return ERROR_SUCCESS;
    }
    auto& table = Handles();
    std::lock_guard lock(table.mutex);
    return table.keys.erase(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Every change is on disk when its call returns; there is nothing to flush.
EXTERN_C LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    HiveLock hive;
    KeyPtr key;
    return Resolve(hive, hKey, 0, key);
}

EXTERN_C LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                       CONST BYTE* lpData, DWORD cbData) {
    if (cbData && !lpData) {
        return ERROR_NOACCESS;
    }
    const std::wstring_view name = lpValueName ? lpValueName : L"";
    if (name.size() > MAX_VALUE_NAME) {
        return ERROR_INVALID_PARAMETER;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = Resolve(hive, hKey, KEY_SET_VALUE, key); status != ERROR_SUCCESS) {
        return status;
    }
    SetValue(*key, name, dwType, lpData, cbData);
    return key->isVolatile ? ERROR_SUCCESS : Saved(hive);
}

EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData)) {
        return ERROR_INVALID_PARAMETER;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = Resolve(hive, hKey, KEY_QUERY_VALUE, key); status != ERROR_SUCCESS) {
        return status;
    }
    const Value* value = FindValue(*key, lpValueName ? lpValueName : L"");
    if (!value) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpType) {
        *lpType = value->type;
    }
    const auto size = static_cast<DWORD>(value->data.size());
    if (!lpcbData) {
        return ERROR_SUCCESS;
    }
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData && size) {
        memcpy(lpData, value->data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = Resolve(hive, hKey, KEY_SET_VALUE, key); status != ERROR_SUCCESS) {
        return status;
    }
    if (!DeleteValue(*key, lpValueName ? lpValueName : L"")) {
        return ERROR_FILE_NOT_FOUND;
    }
    return Saved(hive);
}

EXTERN_C LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::wstring> parts;
    if (LSTATUS status = SplitSubKey(lpSubKey, parts); status != ERROR_SUCCESS) {
        return status;
    }
    // A predefined key always resolves, so refusing it first changes nothing.
    if (parts.empty() && PredefinedPath(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = FindSubKey(hive, hKey, parts, key); status != ERROR_SUCCESS) {
        return status;
    }
    if (!key->subkeys.empty() || !key->parent) {
        return ERROR_ACCESS_DENIED;
    }
    DeleteKey(key);
    return Saved(hive);
}

EXTERN_C LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    std::vector<std::wstring> parts;
    if (LSTATUS status = SplitSubKey(lpSubKey, parts); status != ERROR_SUCCESS) {
        return status;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = FindSubKey(hive, hKey, parts, key); status != ERROR_SUCCESS) {
        return status;
    }
    if (!lpSubKey || parts.empty()) {
        // Without a subkey the key itself stays; everything in it goes.
        DeleteChildren(*key);
    } else {
        DeleteKey(key);
    }
    return Saved(hive);
}

EXTERN_C LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved) {
        return ERROR_INVALID_PARAMETER;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = Resolve(hive, hKey, KEY_ENUMERATE_SUB_KEYS, key);
        status != ERROR_SUCCESS) {
        return status;
    }
    if (dwIndex >= key->subkeys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    const Key& sub = *it->second;
    if (*lpcchName <= sub.name.size()) {
        return ERROR_MORE_DATA;
    }
    wmemcpy(lpName, sub.name.c_str(), sub.name.size() + 1);
    *lpcchName = static_cast<DWORD>(sub.name.size());
    // Keys carry no class names here.
    if (lpClass && lpcchClass && *lpcchClass > 0) {
        lpClass[0] = L'\0';
    }
    if (lpcchClass) {
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(sub.lastWrite);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(sub.lastWrite >> 32);
    }
    return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                      LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) {
        return ERROR_INVALID_PARAMETER;
    }
    HiveLock hive;
    KeyPtr key;
    if (LSTATUS status = Resolve(hive, hKey, KEY_QUERY_VALUE, key); status != ERROR_SUCCESS) {
        return status;
    }
    if (dwIndex >= key->values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto it = key->values.begin();
    std::advance(it, dwIndex);
    const Value& value = it->second;
    if (*lpcchValueName <= value.name.size()) {
        return ERROR_MORE_DATA;
    }
    const auto size = static_cast<DWORD>(value.data.size());
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    wmemcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType) {
        *lpType = value.type;
    }
    if (lpData && size) {
        memcpy(lpData, value.data.data(), size);
    }
    if (lpcbData) {
        *lpcbData = size;
    }
    return ERROR_SUCCESS;
}
