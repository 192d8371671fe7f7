// Fixture for the plug-in's tests: COM initialised, the stand-in driver
// started with its filter, m4350proxy registered from its build output.
// Everything is released, unloaded and removed again at the end.
#pragma once

#include "im4350cfg.h"
#include "standin_driver.h"

#include <host/com.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <host/ks_proxy.h>
#include <host/services.h>
#include <kernel_test.h>
#include <ksmedia.h>
#include <oleauto.h>

#include <string>

inline const std::wstring ProxyModule = host::com::Widen(M4350PROXY_MODULE);

inline std::wstring GuidText(REFGUID guid) {
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// The plug-in's exports, called through the loaded module as the runtime
// and regsvr32 call them.
class ProxyModuleHandle {
public:
    ProxyModuleHandle() : module_(LoadLibraryW(ProxyModule.c_str())) {}
    ~ProxyModuleHandle() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    bool Loaded() const { return module_ != nullptr; }
    HRESULT Call(const char* name) {
        auto entry = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(module_, name)));
        return entry ? entry() : E_NOTIMPL;
    }

private:
    HMODULE module_;
};

class ProxyTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        host::ResetRegistry();
        standin::Reset();
        host::ClearDebugLog();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_TRUE(module_.Loaded());
        ASSERT_EQ(IoCreateDevice(&bus_, 0, nullptr, 0x22, 0, FALSE, &pdo_), STATUS_SUCCESS);
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(host::ks::LoadDriver(standin::DriverEntry,
                                       L"\\Registry\\Machine\\System\\CurrentControlSet\\Services"
                                       L"\\standin",
                                       &driver_),
                  STATUS_SUCCESS);
        ASSERT_EQ(host::ks::AddDevice(driver_, pdo_, &device_), STATUS_SUCCESS);
        ASSERT_EQ(host::ks::StartDevice(device_), STATUS_SUCCESS);
        auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
        ASSERT_EQ(links.size(), 1u);
        link_ = links[0];
    }

    void TearDown() override {
        ReleaseAll();
        if (device_ != nullptr) {
            host::ks::RemoveDevice(device_);
        }
        if (driver_ != nullptr) {
            host::ks::UnloadDriver(driver_);
        }
        if (pdo_ != nullptr) {
            IoDeleteDevice(pdo_);
        }
        CoUninitialize();
        EXPECT_EQ(host::ks::LiveObjectCounts().filters, 0) << "the filter object left its filter";
        KernelTest::TearDown();
    }

    void Register() { ASSERT_EQ(module_.Call("DllRegisterServer"), S_OK); }

    // The filter object and the plug-in's interface on it.
    IM4350Cfg* Open() {
        Register();
        EXPECT_EQ(host::ks::CreateProxyFilter(link_.c_str(), IID_IUnknown,
                                              reinterpret_cast<void**>(&filter_)),
                  S_OK);
        if (filter_ == nullptr) {
            return nullptr;
        }
        EXPECT_EQ(filter_->QueryInterface(IID_IM4350Cfg, reinterpret_cast<void**>(&config_)), S_OK);
        return config_;
    }

    void ReleaseAll() {
        if (config_ != nullptr) {
            config_->Release();
            config_ = nullptr;
        }
        if (filter_ != nullptr) {
            filter_->Release();
            filter_ = nullptr;
        }
    }

    std::vector<standin::Request> Requests() { return standin::TheRecorder().Requests(); }

    ProxyModuleHandle module_;
    DRIVER_OBJECT bus_{};
    PDEVICE_OBJECT pdo_ = nullptr;
    host::ks::Driver* driver_ = nullptr;
    host::ks::DeviceNode* device_ = nullptr;
    std::wstring link_;
    IUnknown* filter_ = nullptr;
    IM4350Cfg* config_ = nullptr;
};
