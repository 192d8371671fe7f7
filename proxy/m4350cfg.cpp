#include "m4350cfg.h"

#include "module.h"
#include "shared/device_method_set.h"

#include <new>

namespace {

// Preset of the get-attribute value word: an attribute the driver does not
// know leaves it, so the caller reads this.
constexpr LONG UnansweredValue = 0xCD;

void FillHeader(KSMETHOD& method, ULONG id) {
    method.Set = DeviceMethodSet;
    method.Id = id;
    method.Flags = DeviceMethodFlags;
}

} // namespace

M4350Cfg::M4350Cfg(IUnknown* outer) : inner_(this), outer_(outer) {
    ModuleLock();
}

M4350Cfg::~M4350Cfg() {
    ModuleUnlock();
}

HRESULT M4350Cfg::Create(IUnknown* outer, REFIID riid, void** object) {
    if (object == NULL) {
        return E_POINTER;
    }
    *object = NULL;
    // An aggregated object hands its outer object nothing but its inner
    // IUnknown.
    if (outer != NULL && !IsEqualGUID(riid, IID_IUnknown)) {
        return CLASS_E_NOAGGREGATION;
    }
    M4350Cfg* created = new (std::nothrow) M4350Cfg(outer);
    if (created == NULL) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = created->Construct();
    if (SUCCEEDED(hr)) {
        hr = created->inner_.QueryInterface(riid, object);
    }
    // Drops the creation reference: the object goes unless the query above
    // handed one out.
    created->inner_.Release();
    return hr;
}

HRESULT M4350Cfg::Construct() {
    if (outer_ == NULL) {
        return E_UNEXPECTED;
    }
    IKsObject* ksObject = NULL;
    HRESULT hr = outer_->QueryInterface(IID_IKsObject, reinterpret_cast<void**>(&ksObject));
    if (FAILED(hr)) {
        return hr;
    }
    if (ksObject == NULL) {
        return E_UNEXPECTED;
    }
    filter_ = ksObject->KsGetObjectHandle();
    // No reference on the outer object stays with us: it owns us, and a
    // reference back would keep both alive for ever.
    ksObject->Release();
    return filter_ != NULL ? S_OK : E_UNEXPECTED;
}

HRESULT M4350Cfg::Send(void* request, ULONG size) {
    ULONG returned = 0;
    return KsSynchronousDeviceControl(filter_, IOCTL_KS_METHOD, request, size, request, size,
                                      &returned);
}

STDMETHODIMP M4350Cfg::QueryInterface(REFIID riid, void** object) {
    return outer_->QueryInterface(riid, object);
}

STDMETHODIMP_(ULONG) M4350Cfg::AddRef() {
    return outer_->AddRef();
}

STDMETHODIMP_(ULONG) M4350Cfg::Release() {
    return outer_->Release();
}

STDMETHODIMP M4350Cfg::Inner::QueryInterface(REFIID riid, void** object) {
    if (object == NULL) {
        return E_POINTER;
    }
    if (IsEqualGUID(riid, IID_IUnknown)) {
        *object = static_cast<IUnknown*>(this);
    } else if (IsEqualGUID(riid, IID_IM4350Cfg)) {
        *object = static_cast<IM4350Cfg*>(owner_);
    } else {
        *object = NULL;
        return E_NOINTERFACE;
    }
    // Counted on the interface handed out: for IM4350Cfg that is the outer
    // object's count.
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) M4350Cfg::Inner::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&owner_->references_));
}

STDMETHODIMP_(ULONG) M4350Cfg::Inner::Release() {
    LONG left = InterlockedDecrement(&owner_->references_);
    if (left == 0) {
        delete owner_;
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP M4350Cfg::SetAttr(ULONG channel, ULONG attribute, LONG value, LONG* result) {
    DEVICE_ATTRIBUTE_REQUEST request = {};
    FillHeader(request.Method, DEVICE_METHOD_SET_ATTRIBUTE);
    request.Channel = channel;
    request.Attribute = attribute;
    request.Value = value;
    // The driver writes the result only when it answers; a failed request
    // must not hand back whatever the word held.
    request.Result = -1;
    HRESULT hr = Send(&request, sizeof request);
    if (result != NULL) {
        *result = request.Result;
    }
    return hr;
}

STDMETHODIMP M4350Cfg::GetAttr(ULONG channel, ULONG attribute, LONG* value) {
    DEVICE_ATTRIBUTE_REQUEST request = {};
    FillHeader(request.Method, DEVICE_METHOD_GET_ATTRIBUTE);
    request.Channel = channel;
    request.Attribute = attribute;
    request.Value = UnansweredValue;
    HRESULT hr = Send(&request, sizeof request);
    if (value != NULL) {
        *value = request.Value;
    }
    return hr;
}

STDMETHODIMP M4350Cfg::UpdateEeprom(ULONG magic, BYTE* data, ULONG length) {
    if (length > DeviceEepromDataSize) {
        return M4350CFG_E_REFUSED;
    }
    if (data == NULL && length != 0) {
        return E_POINTER;
    }
    DEVICE_EEPROM_UPDATE_REQUEST* request = new (std::nothrow) DEVICE_EEPROM_UPDATE_REQUEST();
    if (request == NULL) {
        return E_OUTOFMEMORY;
    }
    FillHeader(request->Method, DEVICE_METHOD_UPDATE_EEPROM);
    request->Magic = magic;
    if (length != 0) {
        memcpy(request->Data, data, length);
    }
    request->Length = length;
    HRESULT hr = Send(request, sizeof *request);
    delete request;
    return hr;
}

STDMETHODIMP M4350Cfg::VerifyEeprom(ULONG magic, BYTE* data, ULONG length) {
    if (length > DeviceEepromDataSize) {
        return M4350CFG_E_REFUSED;
    }
    if (data == NULL && length != 0) {
        return E_POINTER;
    }
    DEVICE_EEPROM_VERIFY_REQUEST* request = new (std::nothrow) DEVICE_EEPROM_VERIFY_REQUEST();
    if (request == NULL) {
        return E_OUTOFMEMORY;
    }
    FillHeader(request->Method, DEVICE_METHOD_VERIFY_EEPROM);
    request->Magic = magic;
    if (length != 0) {
        memcpy(request->Data, data, length);
    }
    request->Length = length;
    HRESULT hr = Send(request, sizeof *request);
    LONG driverResult = request->Result;
    delete request;
    if (FAILED(hr)) {
        return hr;
    }
    return driverResult == DeviceEepromVerifyEqual ? S_OK : M4350CFG_E_REFUSED;
}

STDMETHODIMP M4350Cfg::GetVersion(ULONG selector, ULONG* version) {
    if (version == NULL) {
        return M4350CFG_E_REFUSED;
    }
    DEVICE_VERSION_REQUEST request = {};
    FillHeader(request.Method, DEVICE_METHOD_GET_VERSION);
    request.Selector = selector;
    HRESULT hr = Send(&request, sizeof request);
    OutputDebugStringA("get version\n");
    *version = SUCCEEDED(hr) ? request.Version : 0;
    return hr;
}

STDMETHODIMP M4350Cfg::GetSerial(ULONG* serial) {
    if (serial == NULL) {
        return M4350CFG_E_REFUSED;
    }
    DEVICE_SERIAL_REQUEST request = {};
    FillHeader(request.Method, DEVICE_METHOD_GET_SERIAL);
    HRESULT hr = Send(&request, sizeof request);
    OutputDebugStringA("get serial\n");
    *serial = SUCCEEDED(hr) ? request.SerialNumber : 0;
    return hr;
}
