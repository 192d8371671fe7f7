// The user-mode Reg* calls, as COM registration uses them.
#include "services_test.h"

#include <winreg.h>

#include <cstring>
#include <string>

namespace {

const wchar_t Clsid[] = L"CLSID\\{C9C5121F-0B7F-4694-9090-2177D03A0720}";

LSTATUS SetString(HKEY key, PCWSTR name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

std::wstring GetString(HKEY key, PCWSTR name) {
    WCHAR buffer[256];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return L"<error>";
    }
    return std::wstring(buffer, size / sizeof(WCHAR) - 1);
}

using RegKey = ServicesTest;

TEST_F(RegKey, ClassesRootIsMachineSoftwareClasses) {
    HKEY server = nullptr;
    DWORD disposition = 0;
    const std::wstring path = std::wstring(Clsid) + L"\\InprocServer32";
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &server, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(SetString(server, nullptr, L"/opt/m4350/m4350proxy.ax"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(server, L"ThreadingModel", L"both"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(server), ERROR_SUCCESS);

    // The same key through HKLM, after a reload from the file.
    ASSERT_TRUE(host::ReloadRegistry());
    HKEY again = nullptr;
    const std::wstring machinePath = L"SOFTWARE\\Classes\\" + path;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machinePath.c_str(), 0, KEY_READ, &again),
              ERROR_SUCCESS);
    EXPECT_EQ(GetString(again, nullptr), L"/opt/m4350/m4350proxy.ax");
    EXPECT_EQ(GetString(again, L"threadingmodel"), L"both");
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);

    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                              &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
}

TEST_F(RegKey, QueryValueSizeProtocol) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\m4350", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    // A string stored without its terminator still reads back with one.
    const std::wstring text = L"abc";
    ASSERT_EQ(RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                             static_cast<DWORD>(text.size() * sizeof(WCHAR))),
              ERROR_SUCCESS);
    const DWORD full = 4 * sizeof(WCHAR);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, full);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    WCHAR small[2] = {L'x', L'y'};
    size = sizeof(small);
    EXPECT_EQ(
        RegQueryValueExW(key, L"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, full);
    EXPECT_EQ(small[0], L'x'); // nothing copied

    WCHAR buffer[8];
    size = sizeof(buffer);
    EXPECT_EQ(
        RegQueryValueExW(key, L"TEXT", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(buffer), L"abc");

    EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        RegQueryValueExW(key, L"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteValueW(key, L"text"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, L"text"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegKey, DeleteRules) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg\\CLSID", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    // A key with subkeys is refused; its leaf goes first.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg\\CLSID"), ERROR_SUCCESS);
    // The open handle now names a deleted key.
    EXPECT_EQ(SetString(key, nullptr, L"x"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg"), ERROR_FILE_NOT_FOUND);
    // The parents stay.
    EXPECT_TRUE(host::RegistryKeyExists(L"HKLM\\Software\\Classes"));

    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Tree\\a\\b", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Tree"), ERROR_SUCCESS);
    EXPECT_FALSE(host::RegistryKeyExists(L"HKCR\\Tree"));
}

TEST_F(RegKey, AccessRightsOfTheHandleAreChecked) {
    host::RegistryCreateKey(L"HKLM\\Software\\m4350");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\m4350", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, L"v", L"x"), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, L"sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegKey, Enumeration) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\m4350", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const auto* name : {L"beta", L"Alpha", L"gamma"}) {
        HKEY sub = nullptr;
        ASSERT_EQ(RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(sub);
    }
    std::wstring names;
    WCHAR name[16];
    DWORD index = 0;
    for (;; ++index) {
        DWORD length = 16;
        const LSTATUS status =
            RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(length, wcslen(name));
        names += std::wstring(name) + L",";
    }
    EXPECT_EQ(names, L"Alpha,beta,gamma,");
    DWORD tooShort = 5; // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &tooShort, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);

    const DWORD one = 1;
    RegSetValueExW(key, L"Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
    DWORD length = 16, type = 0, data = 0, size = sizeof(data);
    EXPECT_EQ(
        RegEnumValueW(key, 0, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"Value");
    EXPECT_EQ(data, 1u);
    length = 16;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteTreeW(key, nullptr), ERROR_SUCCESS);
    length = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegKey, HandlesAreCountedAndCheckedAndVolatileKeysStayInMemory) {
    const size_t before = host::OpenHandleCount();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Scratch", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(host::OpenRegistryKeyCount(), 1u);
    EXPECT_EQ(host::OpenHandleCount(), before + 1);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, L"Stable", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &sub, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(SetString(key, L"v", L"x"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(host::OpenHandleCount(), before);

    EXPECT_TRUE(host::RegistryKeyExists(L"HKLM\\Software\\Scratch"));
    ASSERT_TRUE(host::ReloadRegistry());
    EXPECT_FALSE(host::RegistryKeyExists(L"HKLM\\Software\\Scratch"));

    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\Software", 0, KEY_READ, &key),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Missing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

} // namespace
