// Host-side view of the COM runtime: what tests and tools need beyond the
// Win32 calls, and the one thing a module provides in place of a resource.
// Kernel code and plug-in code never include this (the plug-in's host
// resource file does, as a Windows build's resource script names its
// type library).
#pragma once

#include <oleauto.h>

#include <cstddef>
#include <string>

namespace host::com {

// An interface of a type library. Interfaces that are dual, dispatch
// interfaces or marked oleautomation are registered under
// HKCR\Interface; others are described only.
struct TypeLibInterface {
    GUID iid;
    const wchar_t* name;
    bool automation;
};

// A module's type library, as the host's LoadTypeLibEx reads it: the module
// exports one object of this type under the name in TypeLibResourceSymbol.
struct TypeLibResource {
    GUID libid;
    WORD majorVersion;
    WORD minorVersion;
    LCID lcid;
    WORD flags; // LIBFLAGS
    const wchar_t* name;
    const wchar_t* helpString; // may be null
    const TypeLibInterface* interfaces;
    size_t interfaceCount;
};
inline constexpr const char* TypeLibResourceSymbol = "HostTypeLibResource";

// In-process server modules the runtime has loaded for CoGetClassObject and
// not yet unloaded.
size_t LoadedServerCount();
bool IsServerLoaded(const std::wstring& path);

// Threads that have COM initialised, counted once per thread.
size_t InitializedThreadCount();

// UTF-8 from a host wide string and back, as the runtime converts paths.
std::string Narrow(const wchar_t* text);
std::wstring Widen(const std::string& text);

} // namespace host::com
