// What the COM runtime's files share among themselves. Not a public header.
#pragma once

#include <objbase.h>

#include <string>

namespace m4350::com {

// "{XXXXXXXX-...}" of a GUID, as registry key names spell it.
std::wstring GuidString(REFGUID guid);

// True when the calling thread has COM initialised.
bool ThreadInitialized();

// A registry key's default string value (REG_SZ or REG_EXPAND_SZ), empty
// when the key or the value is missing.
std::wstring DefaultString(HKEY root, const std::wstring& subKey);

} // namespace m4350::com
