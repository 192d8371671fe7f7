// The kernel-streaming proxy's interfaces as a plug-in meets them: the filter
// object answers IKsObject (its kernel handle) and IKsControl (property,
// method and event requests on that handle), and KsSynchronousDeviceControl
// sends one device control and waits for it.
//
// The host's filter object is opened with <host/ks_proxy.h>.
#pragma once

#include "ks.h"
#include "unknwn.h"

#define STATIC_IID_IKsObject                                                                       \
    0x423C13A2, 0x2070, 0x11D0, 0x9E, 0xF7, 0x00, 0xAA, 0x00, 0xA2, 0x16, 0xA1
#define STATIC_IID_IKsControl                                                                      \
    0x28F54685, 0x06FD, 0x11D2, 0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_CLSID_Proxy                                                                         \
    0x17CCA71B, 0xECD7, 0x11D0, 0xB9, 0x08, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
KS_DEFINE_STATIC_GUID(IID_IKsObject);
KS_DEFINE_STATIC_GUID(IID_IKsControl);
KS_DEFINE_STATIC_GUID(CLSID_Proxy);

DECLARE_INTERFACE_(IKsObject, IUnknown) {
    STDMETHOD_(HANDLE, KsGetObjectHandle)(THIS) PURE;
};

DECLARE_INTERFACE_(IKsControl, IUnknown) {
    STDMETHOD(KsProperty)
    (THIS_ PKSPROPERTY Property, ULONG PropertyLength, LPVOID PropertyData, ULONG DataLength,
     ULONG * BytesReturned) PURE;
    STDMETHOD(KsMethod)
    (THIS_ PKSMETHOD Method, ULONG MethodLength, LPVOID MethodData, ULONG DataLength,
     ULONG * BytesReturned) PURE;
    // A null Event disables the event that EventData names.
    STDMETHOD(KsEvent)
    (THIS_ PKSEVENT Event, ULONG EventLength, LPVOID EventData, ULONG DataLength,
     ULONG * BytesReturned) PURE;
};

// One device control on a kernel handle, waited for. Success is S_OK; a
// failing status comes back as HRESULT_FROM_WIN32 of the Win32 error the
// status maps to (ERROR_MORE_DATA for STATUS_BUFFER_OVERFLOW, ERROR_NOT_FOUND
// for STATUS_NOT_FOUND, ERROR_SET_NOT_FOUND for STATUS_PROPSET_NOT_FOUND,
// ERROR_MR_MID_NOT_FOUND for a status Windows has no error for, ...).
// *BytesReturned is the byte count the driver reported, also on
// STATUS_BUFFER_OVERFLOW, which answers a size query.
EXTERN_C HRESULT WINAPI KsSynchronousDeviceControl(HANDLE Handle, ULONG IoControl, PVOID InBuffer,
                                                   ULONG InLength, PVOID OutBuffer, ULONG OutLength,
                                                   PULONG BytesReturned);
