// The COM library: per-thread initialisation, in-process servers loaded by
// path from HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, object creation,
// task memory and GUID strings.
#include "com_internal.h"

#include <host/com.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace {

struct ThreadState {
    ULONG initCount = 0;
    DWORD model = COINIT_MULTITHREADED;
};
thread_local ThreadState t_com;

std::atomic<size_t> g_initializedThreads{0};

struct Server {
    std::wstring path;
    HMODULE module = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

// Creations hold the lock shared while they are inside a module's
// DllGetClassObject; unloading holds it exclusively, so a module is never
// unloaded under a caller that is still entering it. Once a class factory is
// handed out, the module's own lock count keeps it loaded.
struct ServerTable {
    std::shared_mutex lock;
    std::vector<Server> servers;
};

ServerTable& Servers() {
    static ServerTable table;
    return table;
}

// Unloads every server whose DllCanUnloadNow answers S_OK; with the table
// locked exclusively.
void FreeUnusedLocked(ServerTable& table) {
    for (auto it = table.servers.begin(); it != table.servers.end();) {
        if (it->canUnloadNow != nullptr && it->canUnloadNow() == S_OK) {
            FreeLibrary(it->module);
            it = table.servers.erase(it);
        } else {
            ++it;
        }
    }
}

const Server* FindServer(const ServerTable& table, const std::wstring& path) {
    for (const Server& s : table.servers) {
        if (s.path == path) {
            return &s;
        }
    }
    return nullptr;
}

HRESULT LoadServer(ServerTable& table, const std::wstring& path) {
    if (FindServer(table, path) != nullptr) {
        return S_OK;
    }
    Server loaded;
    loaded.path = path;
    loaded.module = LoadLibraryW(path.c_str());
    if (loaded.module == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    // GetProcAddress gives the generic FARPROC; the exports have these types.
    loaded.getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(loaded.module, "DllGetClassObject")));
    loaded.canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(
        reinterpret_cast<void*>(GetProcAddress(loaded.module, "DllCanUnloadNow")));
    if (loaded.getClassObject == nullptr) {
        FreeLibrary(loaded.module);
        return CO_E_ERRORINDLL;
    }
    table.servers.push_back(loaded);
    return S_OK;
}

} // namespace

namespace m4350::com {

std::wstring GuidString(REFGUID guid) {
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

bool ThreadInitialized() {
    return t_com.initCount > 0;
}

std::wstring DefaultString(HKEY root, const std::wstring& subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return {};
    }
    DWORD type = 0;
    DWORD size = 0;
    std::wstring value;
    if (RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size >= sizeof(WCHAR)) {
        std::vector<WCHAR> buffer(size / sizeof(WCHAR) + 1, 0);
        if (RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()),
                             &size) == ERROR_SUCCESS) {
            value = buffer.data();
        }
    }
    RegCloseKey(key);
    return value;
}

} // namespace m4350::com

namespace host::com {

size_t LoadedServerCount() {
    auto& table = Servers();
    std::shared_lock guard(table.lock);
    return table.servers.size();
}

bool IsServerLoaded(const std::wstring& path) {
    auto& table = Servers();
    std::shared_lock guard(table.lock);
    return FindServer(table, path) != nullptr;
}

size_t InitializedThreadCount() {
    return g_initializedThreads.load();
}

} // namespace host::com

STDAPI CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_com.initCount > 0) {
        if (model != t_com.model) {
            return RPC_E_CHANGED_MODE;
        }
        t_com.initCount++;
        return S_FALSE;
    }
    t_com.model = model;
    t_com.initCount = 1;
    g_initializedThreads++;
    return S_OK;
}

STDAPI_(void) CoUninitialize(void) {
    if (t_com.initCount == 0) {
        return;
    }
    if (--t_com.initCount > 0) {
        return;
    }
    // The last thread to leave unloads the servers that can go; a server
    // still holding objects or locks stays loaded rather than being pulled
    // from under them.
    if (--g_initializedThreads == 0) {
        auto& table = Servers();
        std::unique_lock guard(table.lock);
        FreeUnusedLocked(table);
    }
}

STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                        LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    if (!m4350::com::ThreadInitialized()) {
        return CO_E_NOTINITIALIZED;
    }
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    if (!(dwClsContext & CLSCTX_INPROC_SERVER)) {
        // Only in-process servers exist here.
        return REGDB_E_CLASSNOTREG;
    }
    const std::wstring path = m4350::com::DefaultString(
        HKEY_CLASSES_ROOT, L"CLSID\\" + m4350::com::GuidString(rclsid) + L"\\InprocServer32");
    if (path.empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    auto& table = Servers();
    for (;;) {
        {
            std::shared_lock guard(table.lock);
            if (const Server* server = FindServer(table, path)) {
                return server->getClassObject(rclsid, riid, ppv);
            }
        }
        // Not loaded (or unloaded since): load it, then look again.
        std::unique_lock guard(table.lock);
        if (HRESULT hr = LoadServer(table, path); FAILED(hr)) {
            return hr;
        }
    }
}

STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                        LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}

STDAPI_(void) CoFreeUnusedLibraries(void) {
    auto& table = Servers();
    std::unique_lock guard(table.lock);
    FreeUnusedLocked(table);
}

STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb == 0 ? 1 : cb);
}

STDAPI_(void) CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < 39) {
        return 0;
    }
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(rguid.Data1), rguid.Data2, rguid.Data3, rguid.Data4[0],
                  rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4], rguid.Data4[5],
                  rguid.Data4[6], rguid.Data4[7]);
    for (int i = 0; i < 39; ++i) {
        lpsz[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    }
    return 39;
}

namespace {

int HexDigit(WCHAR c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

bool ParseHex(LPCOLESTR text, int digits, uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(text[i]);
        if (d < 0) {
            return false;
        }
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
}

bool ParseGuid(LPCOLESTR text, GUID* guid) {
    if (text == nullptr || std::wcslen(text) != 38 || text[0] != L'{' || text[37] != L'}' ||
        text[9] != L'-' || text[14] != L'-' || text[19] != L'-' || text[24] != L'-') {
        return false;
    }
    uint64_t v = 0;
    GUID g{};
    if (!ParseHex(text + 1, 8, &v)) {
        return false;
    }
    g.Data1 = static_cast<ULONG>(v);
    if (!ParseHex(text + 10, 4, &v)) {
        return false;
    }
    g.Data2 = static_cast<USHORT>(v);
    if (!ParseHex(text + 15, 4, &v)) {
        return false;
    }
    g.Data3 = static_cast<USHORT>(v);
    static constexpr int offsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(text + offsets[i], 2, &v)) {
            return false;
        }
        g.Data4[i] = static_cast<UCHAR>(v);
    }
    *guid = g;
    return true;
}

} // namespace

STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (pclsid == nullptr) {
        return E_INVALIDARG;
    }
    return ParseGuid(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
}

STDAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpiid == nullptr) {
        return E_INVALIDARG;
    }
    return ParseGuid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}
