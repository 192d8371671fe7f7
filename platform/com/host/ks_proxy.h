// The kernel-streaming proxy's filter object, as an application on Windows
// gets it from the system's device enumerator for a filter's symbolic link.
//
//   CoInitializeEx(nullptr, COINIT_MULTITHREADED);
//   auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
//   IUnknown* filter = nullptr;
//   host::ks::CreateProxyFilter(links[0].c_str(), IID_IUnknown, (void**)&filter);
//   IM4350Cfg* config = nullptr;
//   filter->QueryInterface(IID_IM4350Cfg, (void**)&config);  // reaches the plug-in
//   ... config->Release(); filter->Release();  // the last release closes the filter
//   CoUninitialize();
//
// The object opens the filter, owns its handle and closes it when the last
// reference goes. It answers IUnknown, IKsObject and IKsControl itself. At
// creation it asks the filter for its property sets and its method sets
// (GUID_NULL with the set-support flag) and, for every set that has a key
// HKLM\SYSTEM\CurrentControlSet\Control\MediaInterfaces\{set}, creates the
// class with the set's GUID as CLSID, aggregated under itself; a
// QueryInterface for anything else is answered by the first of those inner
// objects that has it. A plug-in that cannot be created is left out with a
// line in the debug log; the filter object still opens.
#pragma once

#include <ksproxy.h>

#include <vector>

namespace host::ks {

// The calling thread must have COM initialised (CO_E_NOTINITIALIZED). A
// filter that cannot be opened gives the HRESULT of its status, as
// KsSynchronousDeviceControl reports statuses.
HRESULT CreateProxyFilter(const wchar_t* symbolicLink, REFIID riid, void** object);

// The sets the filter object found on its filter and the ones it aggregated
// a plug-in for, in the order it asked for them (property sets first).
struct ProxyFilterSets {
    std::vector<GUID> sets;
    std::vector<GUID> aggregated;
};
// E_INVALIDARG for anything that is not one of these filter objects.
HRESULT GetProxyFilterSets(IUnknown* filter, ProxyFilterSets* sets);

// The HRESULT that KsSynchronousDeviceControl gives for a status.
HRESULT HResultFromStatus(NTSTATUS status);

} // namespace host::ks
