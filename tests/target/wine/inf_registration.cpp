// The INF's registration of the plug-in against the plug-in's own, under a
// real INF engine (Wine's SetupAPI):
//
//   proxy_under_wine inf <m4350proxy.ax> <m4350av.inf>
//
// The plug-in is copied into the system folder, where the INF installs it,
// and registered there with DllRegisterServer, as regsvr32 does; every key
// and value under the keys the plug-in owns is recorded and the registration
// is removed again. Then SetupAPI opens the INF and applies the device install
// section's registry directives (SPINST_REGISTRY), and the same keys must
// hold the same values, key by key. The device install section runs without
// its Needs (ks.inf and kscaptur.inf, which Wine lacks, would write under the
// device key); the section's own AddReg is what the INF adds. Finally the
// plug-in's unregistration removes what the INF wrote, and the copy goes.
#include <windows.h>
#include <oleauto.h>
#include <setupapi.h>

#include <algorithm>
#include <stdarg.h>
#include <stdio.h>
#include <string>
#include <vector>
#include <wchar.h>

#include "inf_registration.h"

namespace {

int failures = 0;

void Fail(const char* format, ...) {
    ++failures;
    printf("FAIL inf: ");
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
}

// The keys the plug-in's registration owns; everything below each is compared.
const struct {
    HKEY root;
    const wchar_t* rootName;
    const wchar_t* path;
} OwnKeys[] = {
    {HKEY_CLASSES_ROOT, L"HKCR", L"m4350proxy.M4350Cfg.1"},
    {HKEY_CLASSES_ROOT, L"HKCR", L"m4350proxy.M4350Cfg"},
    {HKEY_CLASSES_ROOT, L"HKCR", L"CLSID\\{C9C5121F-0B7F-4694-9090-2177D03A0720}"},
    {HKEY_CLASSES_ROOT, L"HKCR", L"TypeLib\\{53032719-B20C-4261-BA0E-5C4EFA50AD41}"},
    {HKEY_CLASSES_ROOT, L"HKCR", L"Interface\\{D4AC87BC-5FC5-4CCB-968D-D6157780C0DA}"},
    {HKEY_LOCAL_MACHINE, L"HKLM",
     L"SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces\\"
     L"{C9C5121F-0B7F-4694-9090-2177D03A0720}"},
};

// A type library's FLAGS value is its library flags as the registering
// oleaut32 reports them. Wine's includes LIBFLAG_FHASDISKIMAGE (the library
// was loaded from a file), Windows' registrations show none of the flags
// the library does not declare; the INF writes the declared flags, 0, and the
// comparison leaves that one bit out.
bool IsTypeLibraryFlags(const std::wstring& path) {
    return path.size() > 6 && _wcsicmp(path.c_str() + path.size() - 6, L"\\FLAGS") == 0 &&
           _wcsnicmp(path.c_str(), L"HKCR\\TypeLib\\", 13) == 0;
}

// One value as "ROOT\key [name] type data", names and paths as stored.
void Record(HKEY key, const std::wstring& path, std::vector<std::wstring>& out) {
    out.push_back(path); // the key itself, also when it has no values
    wchar_t name[256];
    BYTE data[2048];
    for (DWORD i = 0;; ++i) {
        DWORD nameChars = 256, type = 0, bytes = sizeof data;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &bytes) != ERROR_SUCCESS)
            break;
        std::wstring line = path + L" [" + (nameChars ? name : L"(default)") + L"] ";
        if (type == REG_SZ && IsTypeLibraryFlags(path)) {
            line += L"REG_SZ flags " + std::to_wstring(_wtoi(reinterpret_cast<wchar_t*>(data)) &
                                                       ~LIBFLAG_FHASDISKIMAGE);
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0')
                text.pop_back();
            // Paths are compared as Windows compares them, the rest exactly.
            if (text.find(L":\\") != std::wstring::npos)
                CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
            line += (type == REG_SZ ? L"REG_SZ " : L"REG_EXPAND_SZ ") + text;
        } else {
            wchar_t hex[8];
            line += L"type " + std::to_wstring(type) + L" ";
            for (DWORD b = 0; b < bytes; ++b) {
                swprintf(hex, 8, L"%02x", data[b]);
                line += hex;
            }
        }
        out.push_back(line);
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY sub;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            Record(sub, path + L"\\" + name, out);
            RegCloseKey(sub);
        }
    }
}

std::vector<std::wstring> Snapshot() {
    std::vector<std::wstring> out;
    for (const auto& k : OwnKeys) {
        HKEY key;
        if (RegOpenKeyExW(k.root, k.path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        Record(key, std::wstring(k.rootName) + L"\\" + k.path, out);
        RegCloseKey(key);
    }
    for (auto& line : out) // key names are case-insensitive
        CharUpperBuffW(&line[0], static_cast<DWORD>(line.find(L" [") == std::wstring::npos
                                                        ? line.size()
                                                        : line.find(L" [")));
    std::sort(out.begin(), out.end());
    return out;
}

// Unregistering may leave an empty key (the type library's LIBID on some
// systems); a value left behind would show in the comparison.
void FailOnValues(const char* when) {
    for (const auto& line : Snapshot())
        if (line.find(L" [") != std::wstring::npos)
            Fail("%s: %ls", when, line.c_str());
}

typedef HRESULT(STDAPICALLTYPE* ServerRoutine)();

ServerRoutine Routine(HMODULE module, const char* name) {
    return reinterpret_cast<ServerRoutine>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Registers (or unregisters) the plug-in at its installed path.
bool RunServer(const wchar_t* installed, const char* routine) {
    HMODULE module = LoadLibraryW(installed);
    if (!module) {
        Fail("cannot load %ls (error %lu)", installed, GetLastError());
        return false;
    }
    ServerRoutine server = Routine(module, routine);
    const HRESULT hr = server ? server() : E_NOTIMPL;
    FreeLibrary(module);
    if (FAILED(hr))
        Fail("%s: 0x%08lx", routine, static_cast<unsigned long>(hr));
    return SUCCEEDED(hr);
}

bool ApplyInf(const wchar_t* infPath) {
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        Fail("SetupOpenInfFile %ls: error %lu at line %u", infPath, GetLastError(), errorLine);
        return false;
    }
    const BOOL done =
        SetupInstallFromInfSectionW(nullptr, inf, L"m4350av.NTamd64", SPINST_REGISTRY, nullptr,
                                    nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    if (!done)
        Fail("SetupInstallFromInfSection [m4350av.NTamd64]: error %lu", GetLastError());
    SetupCloseInfFile(inf);
    return done;
}

void Compare(const std::vector<std::wstring>& server, const std::vector<std::wstring>& inf) {
    for (const auto& line : server)
        if (!std::binary_search(inf.begin(), inf.end(), line))
            Fail("DllRegisterServer writes what the INF does not: %ls", line.c_str());
    for (const auto& line : inf)
        if (!std::binary_search(server.begin(), server.end(), line))
            Fail("the INF writes what DllRegisterServer does not: %ls", line.c_str());
}

} // namespace

int InfRegistration(const wchar_t* plugin, const wchar_t* infPath) {
    wchar_t installed[MAX_PATH];
    const UINT folder = GetSystemDirectoryW(installed, MAX_PATH);
    wcscpy(installed + folder, L"\\m4350proxy.ax");
    if (!CopyFileW(plugin, installed, FALSE)) {
        Fail("cannot copy the plug-in to %ls (error %lu)", installed, GetLastError());
        return 1;
    }
    // A leftover of an aborted run. (Unregistering what is not registered
    // fails under Wine, whose UnRegisterTypeLib then reports E_INVALIDARG.)
    if (!Snapshot().empty())
        RunServer(installed, "DllUnregisterServer");
    FailOnValues("left before the check");

    std::vector<std::wstring> server, inf;
    if (RunServer(installed, "DllRegisterServer")) {
        server = Snapshot();
        RunServer(installed, "DllUnregisterServer");
        FailOnValues("left after DllUnregisterServer");
    }
    if (ApplyInf(infPath)) {
        inf = Snapshot();
        Compare(server, inf);
        printf("%zu keys and values compared\n", server.size());
    }
    RunServer(installed, "DllUnregisterServer");
    DeleteFileW(installed);
    return failures ? 1 : 0;
}
