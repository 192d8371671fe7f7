// The in-process server: class factory, lock count and the four exports.
#include "module.h"

#include "m4350cfg.h"

#include <oleauto.h>

#include <new>
#include <wchar.h>

namespace {

LONG g_lockCount = 0;

class M4350CfgFactory final : public IClassFactory {
public:
    M4350CfgFactory() { ModuleLock(); }
    ~M4350CfgFactory() { ModuleUnlock(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (object == NULL) {
            return E_POINTER;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        return M4350Cfg::Create(outer, riid, object);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            ModuleLock();
        } else {
            ModuleUnlock();
        }
        return S_OK;
    }

private:
    LONG references_ = 1;
};

// The registration. Every value is a string.
const wchar_t ClassName[] = L"M4350Cfg Class";
const wchar_t ProgId[] = L"m4350proxy.M4350Cfg.1";
const wchar_t IndependentProgId[] = L"m4350proxy.M4350Cfg";
const wchar_t ClsidKey[] = L"CLSID\\{C9C5121F-0B7F-4694-9090-2177D03A0720}";
const wchar_t ClsidString[] = L"{C9C5121F-0B7F-4694-9090-2177D03A0720}";
const wchar_t MediaInterfaceKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces\\{C9C5121F-0B7F-4694-9090-2177D03A0720}";
const wchar_t MediaInterfaceName[] = L"m4350 AVStream Driver Usermode Proxy";
const wchar_t ThreadingModel[] = L"both";
const WORD TypeLibMajor = 1;
const WORD TypeLibMinor = 0;

// Any address inside this module finds it.
const int g_moduleAnchor = 0;

HRESULT ResultOf(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

// Creates root\path (and the keys above it) and sets one string value.
HRESULT SetString(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* value) {
    HKEY key = NULL;
    LSTATUS status =
        RegCreateKeyExW(root, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        return ResultOf(status);
    }
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>((wcslen(value) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return ResultOf(status);
}

HRESULT SetDefault(HKEY root, const wchar_t* path, const wchar_t* value) {
    return SetString(root, path, NULL, value);
}

// Removes a key with everything below it; a key that is not there is no
// failure.
HRESULT DeleteKey(HKEY root, const wchar_t* path) {
    LSTATUS status = RegDeleteTreeW(root, path);
    return status == ERROR_FILE_NOT_FOUND ? S_OK : ResultOf(status);
}

// path\sub, in a fixed buffer: every key of the table fits.
const wchar_t* Join(wchar_t* buffer, size_t size, const wchar_t* path, const wchar_t* sub) {
    const size_t head = wcslen(path);
    const size_t tail = wcslen(sub);
    if (head + 1 + tail >= size) {
        buffer[0] = L'\0';
        return buffer;
    }
    wmemcpy(buffer, path, head);
    buffer[head] = L'\\';
    wmemcpy(buffer + head + 1, sub, tail + 1);
    return buffer;
}

HRESULT ModulePath(wchar_t* path, DWORD size) {
    HMODULE module = NULL;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&g_moduleAnchor), &module)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    DWORD length = GetModuleFileNameW(module, path, size);
    if (length == 0 || length >= size) {
        return HRESULT_FROM_WIN32(length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    }
    return S_OK;
}

HRESULT RegisterProgId(const wchar_t* progId) {
    wchar_t key[128];
    HRESULT hr = SetDefault(HKEY_CLASSES_ROOT, progId, ClassName);
    if (SUCCEEDED(hr)) {
        hr = SetDefault(HKEY_CLASSES_ROOT, Join(key, 128, progId, L"CLSID"), ClsidString);
    }
    return hr;
}

HRESULT RegisterCoClass(const wchar_t* modulePath) {
    wchar_t key[192];
    // The class's own keys are written anew, so nothing of an earlier
    // registration (another module path, stale values) survives.
    HRESULT hr = DeleteKey(HKEY_CLASSES_ROOT, ClsidKey);
    if (SUCCEEDED(hr)) {
        hr = DeleteKey(HKEY_LOCAL_MACHINE, MediaInterfaceKey);
    }
    if (SUCCEEDED(hr)) {
        hr = SetDefault(HKEY_CLASSES_ROOT, ClsidKey, ClassName);
    }
    if (SUCCEEDED(hr)) {
        hr = SetDefault(HKEY_CLASSES_ROOT, Join(key, 192, ClsidKey, L"ProgID"), ProgId);
    }
    if (SUCCEEDED(hr)) {
        hr = SetDefault(HKEY_CLASSES_ROOT, Join(key, 192, ClsidKey, L"VersionIndependentProgID"),
                        IndependentProgId);
    }
    if (SUCCEEDED(hr)) {
        hr = SetDefault(HKEY_CLASSES_ROOT, Join(key, 192, ClsidKey, L"InprocServer32"), modulePath);
    }
    if (SUCCEEDED(hr)) {
        hr = SetString(HKEY_CLASSES_ROOT, key, L"ThreadingModel", ThreadingModel);
    }
    if (SUCCEEDED(hr)) {
        hr = SetDefault(HKEY_LOCAL_MACHINE, MediaInterfaceKey, MediaInterfaceName);
    }
    return hr;
}

// Non-const paths: some SDKs declare RegisterTypeLib without const.
HRESULT RegisterTypeLibrary(wchar_t* modulePath) {
    ITypeLib* library = NULL;
    HRESULT hr = LoadTypeLibEx(modulePath, REGKIND_NONE, &library);
    if (FAILED(hr)) {
        return hr;
    }
    // Help files would sit beside the module.
    wchar_t folder[MAX_PATH];
    wcsncpy(folder, modulePath, MAX_PATH - 1);
    folder[MAX_PATH - 1] = L'\0';
    wchar_t* slash = wcsrchr(folder, L'\\');
    wchar_t* other = wcsrchr(folder, L'/');
    if (other != NULL && (slash == NULL || other > slash)) {
        slash = other;
    }
    if (slash != NULL) {
        *slash = L'\0';
    }
    hr = RegisterTypeLib(library, modulePath, slash != NULL ? folder : NULL);
    library->Release();
    return hr;
}

} // namespace

void ModuleLock() {
    InterlockedIncrement(&g_lockCount);
}

void ModuleUnlock() {
    InterlockedDecrement(&g_lockCount);
}

LONG ModuleLockCount() {
    return InterlockedCompareExchange(&g_lockCount, 0, 0);
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == NULL) {
        return E_POINTER;
    }
    *ppv = NULL;
    if (!IsEqualGUID(rclsid, CLSID_M4350Cfg)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    M4350CfgFactory* factory = new (std::nothrow) M4350CfgFactory();
    if (factory == NULL) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

STDAPI DllCanUnloadNow(void) {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer(void) {
    wchar_t path[MAX_PATH];
    HRESULT hr = ModulePath(path, MAX_PATH);
    if (SUCCEEDED(hr)) {
        hr = RegisterProgId(ProgId);
    }
    if (SUCCEEDED(hr)) {
        hr = RegisterProgId(IndependentProgId);
    }
    if (SUCCEEDED(hr)) {
        hr = RegisterCoClass(path);
    }
    if (SUCCEEDED(hr)) {
        hr = RegisterTypeLibrary(path);
    }
    return hr;
}

STDAPI DllUnregisterServer(void) {
    // Each key goes with its subkeys; the keys above them stay.
    HRESULT hr = DeleteKey(HKEY_CLASSES_ROOT, ProgId);
    HRESULT next = DeleteKey(HKEY_CLASSES_ROOT, IndependentProgId);
    hr = FAILED(hr) ? hr : next;
    next = DeleteKey(HKEY_CLASSES_ROOT, ClsidKey);
    hr = FAILED(hr) ? hr : next;
    next = DeleteKey(HKEY_LOCAL_MACHINE, MediaInterfaceKey);
    hr = FAILED(hr) ? hr : next;
    next = UnRegisterTypeLib(LIBID_m4350PROXYLib, TypeLibMajor, TypeLibMinor, LOCALE_NEUTRAL,
                             sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    // A library that is not registered is already as unregistration leaves it.
    if (next == TYPE_E_REGISTRYACCESS || next == TYPE_E_LIBNOTREGISTERED) {
        next = S_OK;
    }
    return FAILED(hr) ? hr : next;
}
