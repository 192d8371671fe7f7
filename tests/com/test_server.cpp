// A minimal in-process server, written the way a COM server is: class
// factory with LockServer, a lock count that DllCanUnloadNow reports, an
// aggregatable class with a non-delegating IUnknown, and a class that
// refuses an outer object.
#include "test_server.h"

#include <host/com.h>

#include <atomic>
#include <new>

namespace {

std::atomic<LONG> g_locks{0};
std::atomic<LONG> g_objects{0};

class Value final : public ITestValue {
public:
    explicit Value(IUnknown* outer) : inner_(this), outer_(outer ? outer : &inner_) {
        ++g_locks;
        ++g_objects;
    }
    ~Value() {
        --g_objects;
        --g_locks;
    }
    IUnknown* InnerUnknown() { return &inner_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return outer_->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }
    STDMETHODIMP_(LONG) Get() override { return value_; }
    STDMETHODIMP_(void) Set(LONG value) override { value_ = value; }

private:
    class Inner final : public IUnknown {
    public:
        explicit Inner(Value* owner) : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (riid == IID_IUnknown) {
                *ppv = static_cast<IUnknown*>(this);
            } else if (riid == IID_ITestValue) {
                *ppv = static_cast<ITestValue*>(owner_);
            } else {
                *ppv = nullptr;
                return E_NOINTERFACE;
            }
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
        STDMETHODIMP_(ULONG) Release() override {
            ULONG left = --refs_;
            if (left == 0) {
                delete owner_;
            }
            return left;
        }

    private:
        Value* owner_;
        std::atomic<ULONG> refs_{1};
    };

    Inner inner_;
    IUnknown* outer_;
    LONG value_ = 0;
};

class Factory final : public IClassFactory {
public:
    explicit Factory(bool aggregatable) : aggregatable_(aggregatable) { ++g_locks; }
    ~Factory() { --g_locks; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (outer != nullptr && (!aggregatable_ || riid != IID_IUnknown)) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* value = new (std::nothrow) Value(outer);
        if (value == nullptr) {
            return E_OUTOFMEMORY;
        }
        HRESULT hr = value->InnerUnknown()->QueryInterface(riid, ppv);
        value->InnerUnknown()->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }

private:
    bool aggregatable_;
    std::atomic<ULONG> refs_{1};
};

const host::com::TypeLibInterface Interfaces[] = {
    {IID_ITestValue, L"ITestValue", false},
    {IID_ITestAutomation, L"ITestAutomation", true},
};

} // namespace

extern "C" const host::com::TypeLibResource HostTypeLibResource = {
    LIBID_TestServer, 2, 10, 0, 0, L"TestServerLib", nullptr, Interfaces, 2,
};

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    *ppv = nullptr;
    if (rclsid != CLSID_TestAggregatable && rclsid != CLSID_TestPlain) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new (std::nothrow) Factory(rclsid == CLSID_TestAggregatable);
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

STDAPI DllCanUnloadNow(void) {
    return g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" LONG TestServerLiveObjects() {
    return g_objects;
}
