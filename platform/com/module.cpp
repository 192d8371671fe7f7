// Modules, the last-error value and the debug output, over the host's
// dynamic linker and the kernel's debug log.
//
// A module handle is the address the module is mapped at, as on Windows, so
// the handle LoadLibraryW returns and the one GetModuleHandleExW finds from
// an address inside the module are the same value. The loader's own
// references (dlopen handles) are kept per module.
#include "com_internal.h"
#include "rtl_text.h"

#include <host/com.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct Loaded {
    void* dl = nullptr; // the dynamic linker's handle
    unsigned references = 0;
};

struct ModuleTable {
    std::mutex lock;
    std::map<HMODULE, Loaded> modules;
};

ModuleTable& Modules() {
    static ModuleTable table;
    return table;
}

HMODULE BaseOf(void* dl) {
    struct link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return nullptr;
    }
    Dl_info info{};
    // The dynamic section lies inside the module; its object's base is the
    // module's handle.
    if (map->l_ld != nullptr && dladdr(map->l_ld, &info) != 0 && info.dli_fbase != nullptr) {
        return static_cast<HMODULE>(info.dli_fbase);
    }
    return reinterpret_cast<HMODULE>(map->l_addr);
}

// Every successful dlopen holds one reference of the dynamic linker; the
// table counts them per module so FreeLibrary gives back exactly those.
void Remember(HMODULE module, void* dl) {
    auto& table = Modules();
    std::lock_guard guard(table.lock);
    Loaded& entry = table.modules[module];
    entry.dl = dl;
    entry.references++;
}

std::string PathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    auto path = std::filesystem::absolute(info.dli_fname, error);
    return error ? std::string(info.dli_fname) : path.lexically_normal().string();
}

std::string ProgramPath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

// Copies a path the way GetModuleFileName does: truncated and terminated
// when the buffer is short.
template <class Char>
DWORD CopyPath(const std::basic_string<Char>& path, Char* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        std::copy_n(path.data(), size - 1, buffer);
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy_n(path.data(), path.size(), buffer);
    buffer[path.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

std::string ModulePath(HMODULE module) {
    return module == nullptr ? ProgramPath() : PathOf(module);
}

} // namespace

namespace host::com {

std::string Narrow(const wchar_t* text) {
    return m4350::rtl::ToUtf8(text != nullptr ? text : L"");
}

std::wstring Widen(const std::string& text) {
    return m4350::rtl::FromUtf8(text);
}

} // namespace host::com

EXTERN_C HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr || *lpLibFileName == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string path = host::com::Narrow(lpLibFileName);
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl == nullptr) {
        std::error_code error;
        SetLastError(std::filesystem::exists(path, error) ? ERROR_BAD_EXE_FORMAT
                                                          : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    HMODULE module = BaseOf(dl);
    if (module == nullptr) {
        dlclose(dl);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    Remember(module, dl);
    return module;
}

EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    void* dl = nullptr;
    {
        auto& table = Modules();
        std::lock_guard guard(table.lock);
        auto it = table.modules.find(hLibModule);
        if (it == table.modules.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        dl = it->second.dl;
        if (--it->second.references == 0) {
            table.modules.erase(it);
        }
    }
    dlclose(dl);
    return TRUE;
}

EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == nullptr || lpProcName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A reference of our own for the look-up, so it works for modules found
    // by address as well as loaded ones.
    const std::string path = PathOf(hModule);
    void* dl = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (dl == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* symbol = dlsym(dl, lpProcName);
    dlclose(dl);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

EXTERN_C BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    std::string path;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        path = PathOf(lpModuleName);
    } else if (lpModuleName != nullptr) {
        path = host::com::Narrow(lpModuleName);
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (dl == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    HMODULE module = BaseOf(dl);
    if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) ||
        (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN)) {
        // A pinned module stays loaded for good: its reference is never
        // given back.
        if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN)) {
            dlclose(dl);
        }
    } else {
        Remember(module, dl);
    }
    *phModule = module;
    return TRUE;
}

EXTERN_C DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    const std::string path = ModulePath(hModule);
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return CopyPath(host::com::Widen(path), lpFilename, nSize);
}

EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    const std::string path = ModulePath(hModule);
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return CopyPath(path, lpFilename, nSize);
}

EXTERN_C BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    return hLibModule != nullptr;
}

EXTERN_C DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

EXTERN_C void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString != nullptr) {
        DbgPrint("%s", lpOutputString);
    }
}

EXTERN_C void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString != nullptr) {
        DbgPrint("%s", host::com::Narrow(lpOutputString).c_str());
    }
}
