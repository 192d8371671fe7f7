// IM4350Cfg: the configuration interface m4350proxy gives the filters of
// m4350av. Each method is one method request of the device's own method set
// on the filter's handle; the HRESULT is the device control's, except for the
// plug-in's own refusals, which return -1 (all bits set) without a request.
//
// An application gets it from the streaming proxy's filter object:
//   filter->QueryInterface(IID_IM4350Cfg, (void**)&config);
#pragma once

#include <unknwn.h>

// {D4AC87BC-5FC5-4CCB-968D-D6157780C0DA}
inline constexpr GUID IID_IM4350Cfg = {
    0xD4AC87BC, 0x5FC5, 0x4CCB, {0x96, 0x8D, 0xD6, 0x15, 0x77, 0x80, 0xC0, 0xDA}};
// {C9C5121F-0B7F-4694-9090-2177D03A0720}: the device method set's GUID, so
// that the streaming proxy creates the class for every filter with that set.
inline constexpr GUID CLSID_M4350Cfg = {
    0xC9C5121F, 0x0B7F, 0x4694, {0x90, 0x90, 0x21, 0x77, 0xD0, 0x3A, 0x07, 0x20}};
// {53032719-B20C-4261-BA0E-5C4EFA50AD41}, version 1.0.
inline constexpr GUID LIBID_m4350PROXYLib = {
    0x53032719, 0xB20C, 0x4261, {0xBA, 0x0E, 0x5C, 0x4E, 0xFA, 0x50, 0xAD, 0x41}};

// What the plug-in returns for its own refusals.
#define M4350CFG_E_REFUSED ((HRESULT)0xFFFFFFFF)

struct IM4350Cfg : public IUnknown {
    // Channel 1 to 4; result (may be null) receives the driver's result word:
    // 0 done, -1 attribute unknown, and -1 also when the request failed.
    STDMETHOD(SetAttr)(ULONG channel, ULONG attribute, LONG value, LONG* result) PURE;
    // value (may be null) receives the attribute, or 205 when the driver
    // does not know the attribute.
    STDMETHOD(GetAttr)(ULONG channel, ULONG attribute, LONG* value) PURE;
    // At most 8192 bytes, written from EEPROM address 0 on.
    STDMETHOD(UpdateEeprom)(ULONG magic, BYTE* data, ULONG length) PURE;
    // S_OK when the EEPROM holds the data; -1 when it differs or the driver
    // refused to compare.
    STDMETHOD(VerifyEeprom)(ULONG magic, BYTE* data, ULONG length) PURE;
    // version is required; it is 0 when the request failed.
    STDMETHOD(GetVersion)(ULONG selector, ULONG* version) PURE;
    // serial is required; it is 0 when the request failed.
    STDMETHOD(GetSerial)(ULONG* serial) PURE;
};
