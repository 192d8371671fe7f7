// proxy_under_wine inf: the INF's registration of the plug-in, applied by
// SetupAPI, against what the plug-in's DllRegisterServer writes.
#pragma once

#include <wchar.h>

// 0 when both write the same keys and values; prints each difference.
int InfRegistration(const wchar_t* plugin, const wchar_t* inf);
