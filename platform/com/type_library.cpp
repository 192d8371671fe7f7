// Type-library loading and registration. A host module has no resources, so
// the library's description is an exported object of the module (see
// <host/com.h>); registration writes what Windows writes for it.
#include "com_internal.h"

#include <host/com.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {

// The proxy/stub class that automation interfaces are marshalled with.
constexpr wchar_t AutomationProxyStub[] = L"{00020424-0000-0000-C000-000000000046}";

struct Interface {
    GUID iid;
    std::wstring name;
    bool automation;
};

// A loaded library: a copy of the module's description, so the module may
// be unloaded while the library lives.
class HostTypeLib final : public ITypeLib {
public:
    explicit HostTypeLib(const host::com::TypeLibResource& resource) {
        attr_.guid = resource.libid;
        attr_.lcid = resource.lcid;
        attr_.syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
        attr_.wMajorVerNum = resource.majorVersion;
        attr_.wMinorVerNum = resource.minorVersion;
        attr_.wLibFlags = resource.flags;
        name_ = resource.name ? resource.name : L"";
        helpString_ = resource.helpString ? resource.helpString : L"";
        for (size_t i = 0; i < resource.interfaceCount; ++i) {
            const auto& in = resource.interfaces[i];
            interfaces_.push_back({in.iid, in.name ? in.name : L"", in.automation});
        }
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_ITypeLib) {
            *ppv = static_cast<ITypeLib*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    STDMETHODIMP_(UINT) GetTypeInfoCount() override {
        return static_cast<UINT>(interfaces_.size());
    }
    STDMETHODIMP GetLibAttr(TLIBATTR** ppTLibAttr) override {
        if (ppTLibAttr == nullptr) {
            return E_INVALIDARG;
        }
        auto* copy = new (std::nothrow) TLIBATTR(attr_);
        *ppTLibAttr = copy;
        return copy ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

    const TLIBATTR& Attributes() const { return attr_; }
    // What the version key's default value shows.
    const std::wstring& Description() const { return helpString_.empty() ? name_ : helpString_; }
    const std::vector<Interface>& Interfaces() const { return interfaces_; }

private:
    std::atomic<ULONG> refs_{1};
    TLIBATTR attr_{};
    std::wstring name_;
    std::wstring helpString_;
    std::vector<Interface> interfaces_;
};

std::wstring Hex(unsigned value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%x", value);
    return text;
}

std::wstring VersionKey(REFGUID libid, WORD major, WORD minor) {
    return L"TypeLib\\" + m4350::com::GuidString(libid) + L"\\" + Hex(major) + L"." + Hex(minor);
}

const wchar_t* SysKindName(SYSKIND kind) {
    switch (kind) {
    case SYS_WIN16:
        return L"win16";
    case SYS_WIN32:
        return L"win32";
    case SYS_MAC:
        return L"mac";
    case SYS_WIN64:
        return L"win64";
    }
    return nullptr;
}

// Creates HKCR\<path> and writes its values; every string is REG_SZ.
bool WriteKey(const std::wstring& path,
              std::initializer_list<std::pair<const wchar_t*, std::wstring>> values) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = true;
    for (const auto& [name, value] : values) {
        ok = ok && RegSetValueExW(
                       key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

size_t SubKeyCount(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    size_t count = 0;
    WCHAR name[MAX_KEY_LENGTH + 1];
    for (;; ++count) {
        DWORD length = MAX_KEY_LENGTH + 1;
        if (RegEnumKeyExW(key, static_cast<DWORD>(count), name, &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS) {
            break;
        }
    }
    RegCloseKey(key);
    return count;
}

std::vector<std::wstring> SubKeyNames(const std::wstring& path) {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    WCHAR name[MAX_KEY_LENGTH + 1];
    for (DWORD i = 0;; ++i) {
        DWORD length = MAX_KEY_LENGTH + 1;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

} // namespace

STDAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib);
}

STDAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
    if (pptlib == nullptr) {
        return E_INVALIDARG;
    }
    *pptlib = nullptr;
    if (szFile == nullptr || *szFile == 0) {
        return E_INVALIDARG;
    }
    HMODULE module = LoadLibraryW(szFile);
    if (module == nullptr) {
        return TYPE_E_CANTLOADLIBRARY;
    }
    const auto* resource = reinterpret_cast<const host::com::TypeLibResource*>(
        GetProcAddress(module, host::com::TypeLibResourceSymbol));
    HostTypeLib* library = nullptr;
    if (resource != nullptr) {
        library = new (std::nothrow) HostTypeLib(*resource);
    }
    FreeLibrary(module);
    if (resource == nullptr) {
        return TYPE_E_CANTLOADLIBRARY;
    }
    if (library == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (regkind == REGKIND_REGISTER) {
        if (HRESULT hr = RegisterTypeLib(library, szFile, nullptr); FAILED(hr)) {
            library->Release();
            return hr;
        }
    }
    *pptlib = library;
    return S_OK;
}

STDAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    auto* library = dynamic_cast<HostTypeLib*>(ptlib);
    if (library == nullptr || szFullPath == nullptr) {
        return E_INVALIDARG;
    }
    const TLIBATTR& attr = library->Attributes();
    const std::wstring version = VersionKey(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum);
    bool ok = WriteKey(version, {{nullptr, library->Description()}}) &&
              WriteKey(version + L"\\FLAGS", {{nullptr, std::to_wstring(attr.wLibFlags)}}) &&
              WriteKey(version + L"\\" + Hex(attr.lcid) + L"\\" + SysKindName(attr.syskind),
                       {{nullptr, szFullPath}});
    if (ok && szHelpDir != nullptr) {
        ok = WriteKey(version + L"\\HELPDIR", {{nullptr, szHelpDir}});
    }
    const std::wstring libid = m4350::com::GuidString(attr.guid);
    const std::wstring versionText = Hex(attr.wMajorVerNum) + L"." + Hex(attr.wMinorVerNum);
    for (const Interface& in : library->Interfaces()) {
        if (!ok || !in.automation) {
            continue;
        }
        const std::wstring key = L"Interface\\" + m4350::com::GuidString(in.iid);
        ok = WriteKey(key, {{nullptr, in.name}}) &&
             WriteKey(key + L"\\ProxyStubClsid", {{nullptr, AutomationProxyStub}}) &&
             WriteKey(key + L"\\ProxyStubClsid32", {{nullptr, AutomationProxyStub}}) &&
             WriteKey(key + L"\\TypeLib", {{nullptr, libid}, {L"Version", versionText}});
    }
    return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}

STDAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                         SYSKIND syskind) {
    const wchar_t* kind = SysKindName(syskind);
    if (kind == nullptr) {
        return E_INVALIDARG;
    }
    const std::wstring library = L"TypeLib\\" + m4350::com::GuidString(libID);
    const std::wstring version = VersionKey(libID, wVerMajor, wVerMinor);
    const std::wstring locale = version + L"\\" + Hex(lcid);
    if (!KeyExists(locale + L"\\" + kind)) {
        return TYPE_E_REGISTRYACCESS;
    }
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (locale + L"\\" + kind).c_str());
    if (SubKeyCount(locale) == 0) {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, locale.c_str());
    }
    // The version stays while another locale is registered under it.
    for (const auto& name : SubKeyNames(version)) {
        if (wcscasecmp(name.c_str(), L"FLAGS") != 0 && wcscasecmp(name.c_str(), L"HELPDIR") != 0) {
            return S_OK;
        }
    }
    RegDeleteTreeW(HKEY_CLASSES_ROOT, version.c_str());
    if (SubKeyCount(library) == 0) {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, library.c_str());
    }
    // Interfaces described by this version of the library go with it.
    const std::wstring libid = m4350::com::GuidString(libID);
    for (const auto& name : SubKeyNames(L"Interface")) {
        const std::wstring key = L"Interface\\" + name;
        if (wcscasecmp(m4350::com::DefaultString(HKEY_CLASSES_ROOT, key + L"\\TypeLib").c_str(),
                       libid.c_str()) == 0) {
            RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        }
    }
    return S_OK;
}
