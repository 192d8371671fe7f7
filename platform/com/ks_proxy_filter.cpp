// The kernel-streaming proxy's filter object and KsSynchronousDeviceControl.
//
// The object is the outer object of every plug-in it aggregates: its
// IUnknown is the identity that the plug-ins' own IUnknown calls delegate
// to, and it holds each plug-in's inner (non-delegating) IUnknown, released
// before the filter handle is closed, so a plug-in never sees its handle go
// while it lives.
#include "com_internal.h"

#include <host/com.h>
#include <host/ks_client.h>
#include <host/ks_proxy.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <vector>

namespace {

struct StatusError {
    NTSTATUS status;
    DWORD error;
};

// The Win32 errors Windows' I/O manager reports for the statuses that this
// system's streaming class and drivers complete requests with.
constexpr StatusError StatusErrors[] = {
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MATCH, ERROR_NO_MATCH},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_PROPSET_NOT_FOUND, ERROR_SET_NOT_FOUND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
};

const wchar_t MediaInterfacesKey[] = L"SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces\\";

class ProxyFilter final : public IKsObject, public IKsControl {
public:
    explicit ProxyFilter(HANDLE handle) : handle_(handle) {}

    // IUnknown: the identity of the filter object and of everything it
    // aggregates. Both bases share these three.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IKsObject) {
            *ppv = static_cast<IKsObject*>(this);
        } else if (riid == IID_IKsControl) {
            *ppv = static_cast<IKsControl*>(this);
        } else {
            // The inner object's QueryInterface counts the reference on
            // its interface, which delegates to us.
            for (const Aggregate& a : aggregates_) {
                if (SUCCEEDED(a.inner->QueryInterface(riid, ppv))) {
                    return S_OK;
                }
            }
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            Destroy();
        }
        return left;
    }

    // IKsObject
    STDMETHODIMP_(HANDLE) KsGetObjectHandle() override { return handle_; }

    // IKsControl
    STDMETHODIMP KsProperty(PKSPROPERTY Property, ULONG PropertyLength, LPVOID PropertyData,
                            ULONG DataLength, ULONG* BytesReturned) override {
        return Control(IOCTL_KS_PROPERTY, Property, PropertyLength, PropertyData, DataLength,
                       BytesReturned);
    }
    STDMETHODIMP KsMethod(PKSMETHOD Method, ULONG MethodLength, LPVOID MethodData, ULONG DataLength,
                          ULONG* BytesReturned) override {
        return Control(IOCTL_KS_METHOD, Method, MethodLength, MethodData, DataLength,
                       BytesReturned);
    }
    STDMETHODIMP KsEvent(PKSEVENT Event, ULONG EventLength, LPVOID EventData, ULONG DataLength,
                         ULONG* BytesReturned) override {
        // Without an event the data names the event to disable.
        if (Event == nullptr) {
            return Control(IOCTL_KS_DISABLE_EVENT, EventData, DataLength, nullptr, 0,
                           BytesReturned);
        }
        return Control(IOCTL_KS_ENABLE_EVENT, Event, EventLength, EventData, DataLength,
                       BytesReturned);
    }

    // Finds the sets and aggregates the plug-ins registered for them. The
    // caller holds the one reference there is.
    void LoadPlugins() {
        QuerySets(IOCTL_KS_PROPERTY, KSPROPERTY_TYPE_SETSUPPORT);
        QuerySets(IOCTL_KS_METHOD, KSMETHOD_TYPE_SETSUPPORT);
        for (const GUID& set : sets_) {
            const std::wstring name = m4350::com::GuidString(set);
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (MediaInterfacesKey + name).c_str(), 0,
                              KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
                continue;
            }
            RegCloseKey(key);
            IUnknown* inner = nullptr;
            HRESULT hr = CoCreateInstance(set, static_cast<IKsObject*>(this), CLSCTX_INPROC_SERVER,
                                          IID_IUnknown, reinterpret_cast<void**>(&inner));
            if (FAILED(hr) || inner == nullptr) {
                char line[128];
                std::snprintf(line, sizeof line,
                              "ksproxy: interface handler %s not loaded: 0x%08X\n",
                              host::com::Narrow(name.c_str()).c_str(), static_cast<unsigned>(hr));
                OutputDebugStringA(line);
                continue;
            }
            aggregates_.push_back({set, inner});
        }
    }

    host::ks::ProxyFilterSets Sets() const {
        host::ks::ProxyFilterSets out;
        out.sets = sets_;
        for (const Aggregate& a : aggregates_) {
            out.aggregated.push_back(a.set);
        }
        return out;
    }

private:
    struct Aggregate {
        GUID set;
        IUnknown* inner;
    };

    HRESULT Control(ULONG code, PVOID request, ULONG requestLength, PVOID data, ULONG dataLength,
                    ULONG* bytesReturned) {
        ULONG returned = 0;
        HRESULT hr = KsSynchronousDeviceControl(handle_, code, request, requestLength, data,
                                                dataLength, &returned);
        if (bytesReturned != nullptr) {
            *bytesReturned = returned;
        }
        return hr;
    }

    void QuerySets(ULONG code, ULONG flags) {
        KSIDENTIFIER request{};
        request.Set = GUID_NULL;
        request.Id = 0;
        request.Flags = flags;
        ULONG size = 0;
        HRESULT hr =
            KsSynchronousDeviceControl(handle_, code, &request, sizeof request, nullptr, 0, &size);
        if (hr != HRESULT_FROM_WIN32(ERROR_MORE_DATA) || size == 0) {
            return;
        }
        std::vector<GUID> sets(size / sizeof(GUID));
        ULONG returned = 0;
        if (FAILED(KsSynchronousDeviceControl(handle_, code, &request, sizeof request, sets.data(),
                                              static_cast<ULONG>(sets.size() * sizeof(GUID)),
                                              &returned))) {
            return;
        }
        sets.resize(std::min<size_t>(sets.size(), returned / sizeof(GUID)));
        for (const GUID& set : sets) {
            if (std::find(sets_.begin(), sets_.end(), set) == sets_.end()) {
                sets_.push_back(set);
            }
        }
    }

    void Destroy() {
        // Aggregated objects may call back into us while they go (their
        // destructors may release interfaces they queried); keep the
        // object alive through that.
        refs_ = 1;
        for (auto it = aggregates_.rbegin(); it != aggregates_.rend(); ++it) {
            it->inner->Release();
        }
        aggregates_.clear();
        host::ks::CloseHandle(handle_);
        delete this;
    }

    std::atomic<ULONG> refs_{1};
    HANDLE handle_;
    std::vector<GUID> sets_;
    std::vector<Aggregate> aggregates_;
};

} // namespace

namespace host::ks {

HRESULT HResultFromStatus(NTSTATUS status) {
    if (NT_SUCCESS(status)) {
        return S_OK;
    }
    for (const StatusError& e : StatusErrors) {
        if (e.status == status) {
            return HRESULT_FROM_WIN32(e.error);
        }
    }
    return HRESULT_FROM_WIN32(ERROR_MR_MID_NOT_FOUND);
}

HRESULT CreateProxyFilter(const wchar_t* symbolicLink, REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (symbolicLink == nullptr) {
        return E_INVALIDARG;
    }
    if (!m4350::com::ThreadInitialized()) {
        return CO_E_NOTINITIALIZED;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = OpenFilter(symbolicLink, &handle);
    if (!NT_SUCCESS(status)) {
        return HResultFromStatus(status);
    }
    auto* filter = new (std::nothrow) ProxyFilter(handle);
    if (filter == nullptr) {
        CloseHandle(handle);
        return E_OUTOFMEMORY;
    }
    filter->LoadPlugins();
    HRESULT hr = filter->QueryInterface(riid, object);
    filter->Release();
    return hr;
}

HRESULT GetProxyFilterSets(IUnknown* filter, ProxyFilterSets* sets) {
    auto* object = dynamic_cast<ProxyFilter*>(filter);
    if (object == nullptr || sets == nullptr) {
        return E_INVALIDARG;
    }
    *sets = object->Sets();
    return S_OK;
}

} // namespace host::ks

EXTERN_C HRESULT WINAPI KsSynchronousDeviceControl(HANDLE Handle, ULONG IoControl, PVOID InBuffer,
                                                   ULONG InLength, PVOID OutBuffer, ULONG OutLength,
                                                   PULONG BytesReturned) {
    ULONG returned = 0;
    NTSTATUS status = host::ks::DeviceIoControl(Handle, IoControl, InBuffer, InLength, OutBuffer,
                                                OutLength, &returned);
    if (BytesReturned != nullptr) {
        *BytesReturned = returned;
    }
    return host::ks::HResultFromStatus(status);
}
