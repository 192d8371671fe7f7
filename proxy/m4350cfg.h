// M4350Cfg: the plug-in's one class. The streaming proxy creates it
// aggregated under its filter object; it takes the filter's handle once and
// turns each IM4350Cfg call into one method request on it.
#pragma once

#include "im4350cfg.h"

#include <ks.h>
#include <ksproxy.h>

class M4350Cfg final : public IM4350Cfg {
public:
    // The class factory's CreateInstance.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** object);

    // IUnknown: every call goes to the outer object.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IM4350Cfg
    STDMETHODIMP SetAttr(ULONG channel, ULONG attribute, LONG value, LONG* result) override;
    STDMETHODIMP GetAttr(ULONG channel, ULONG attribute, LONG* value) override;
    STDMETHODIMP UpdateEeprom(ULONG magic, BYTE* data, ULONG length) override;
    STDMETHODIMP VerifyEeprom(ULONG magic, BYTE* data, ULONG length) override;
    STDMETHODIMP GetVersion(ULONG selector, ULONG* version) override;
    STDMETHODIMP GetSerial(ULONG* serial) override;

private:
    // The non-delegating IUnknown that the outer object holds: it owns the
    // object's own reference count.
    class Inner final : public IUnknown {
    public:
        explicit Inner(M4350Cfg* owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        M4350Cfg* owner_;
    };

    explicit M4350Cfg(IUnknown* outer);
    ~M4350Cfg();
    M4350Cfg(const M4350Cfg&) = delete;
    M4350Cfg& operator=(const M4350Cfg&) = delete;

    HRESULT Construct();
    HRESULT Send(void* request, ULONG size);

    Inner inner_;
    LONG references_ = 1;
    IUnknown* outer_; // not counted: the outer object owns us
    HANDLE filter_ = NULL;
};
