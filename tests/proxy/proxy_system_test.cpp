// End to end: m4350av over a simulated board, a filter opened through the
// streaming proxy's filter object, IM4350Cfg queried from it, and every
// method answered by the driver.
#include "driver_system.h"
#include "im4350cfg.h"

#include "shared/device_method_set.h"

#include <host/com.h>
#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/ks_proxy.h>
#include <host/services.h>
#include <kernel_test.h>
#include <ksmedia.h>
#include <sim/firmware_image.h>

#include <memory>

namespace {

const std::wstring ProxyModule = host::com::Widen(M4350PROXY_MODULE);

class ProxySystemTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        // Answers must arrive within their real time-outs.
        host::SetTimeScale(1.0);
        host::ResetRegistry();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        module_ = LoadLibraryW(ProxyModule.c_str());
        ASSERT_NE(module_, nullptr);
        auto registerServer = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
        ASSERT_EQ(registerServer(), S_OK);

        system_ = std::make_unique<m4350test::DriverSystem>();
        m4350test::DriverSystem::InstallFirmware();
        m4350::sim::BoardConfig config;
        config.serial = 0x00ABCDEF;
        config.controllerVersion = {7, 3};
        model_ = m4350test::MakeSimulatedBoard(config);
        board_ = &system_->Plug(model_);
        ASSERT_EQ(system_->Start(*board_), STATUS_SUCCESS);
        links_ = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
        ASSERT_EQ(links_.size(), 4u);
    }

    void TearDown() override {
        for (auto& [filter, config] : open_) {
            config->Release();
            filter->Release();
        }
        open_.clear();
        system_.reset();
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
        CoUninitialize();
        KernelTest::TearDown();
    }

    // Channel 1 to 4's filter through the proxy, and the plug-in on it.
    IM4350Cfg* Open(ULONG channel) {
        IUnknown* filter = nullptr;
        EXPECT_EQ(host::ks::CreateProxyFilter(links_[channel - 1].c_str(), IID_IUnknown,
                                              reinterpret_cast<void**>(&filter)),
                  S_OK);
        if (filter == nullptr) {
            return nullptr;
        }
        IM4350Cfg* config = nullptr;
        EXPECT_EQ(filter->QueryInterface(IID_IM4350Cfg, reinterpret_cast<void**>(&config)), S_OK);
        if (config == nullptr) {
            filter->Release();
            return nullptr;
        }
        open_.emplace_back(filter, config);
        return config;
    }

    HMODULE module_ = nullptr;
    std::unique_ptr<m4350test::DriverSystem> system_;
    std::shared_ptr<m4350::sim::Board> model_;
    m4350test::SimulatedBoard* board_ = nullptr;
    std::vector<std::wstring> links_;
    std::vector<std::pair<IUnknown*, IM4350Cfg*>> open_;
};

TEST_F(ProxySystemTest, IdentityAndVersionsComeFromTheBoard) {
    IM4350Cfg* config = Open(1);
    ASSERT_NE(config, nullptr);
    ULONG serial = 0;
    EXPECT_EQ(config->GetSerial(&serial), S_OK);
    EXPECT_EQ(serial, 0x00ABCDEFu);
    struct Case {
        ULONG selector;
        ULONG expected;
    } cases[] = {
        {DEVICE_VERSION_CONTROLLER, 0x0307},
        {DEVICE_VERSION_BOARD, m4350::sim::kDefaultFirmwareVersion},
        {DEVICE_VERSION_DRIVER, DeviceDriverVersion},
        {DEVICE_VERSION_INTERFACE, DeviceInterfaceVersion},
        {9, 0},
    };
    for (const Case& c : cases) {
        ULONG version = 0xFFFF;
        EXPECT_EQ(config->GetVersion(c.selector, &version), S_OK) << c.selector;
        EXPECT_EQ(version, c.expected) << "selector " << c.selector;
    }
}

TEST_F(ProxySystemTest, AttributesAreSetAndReadBack) {
    IM4350Cfg* config = Open(2);
    ASSERT_NE(config, nullptr);
    LONG result = 99;
    EXPECT_EQ(config->SetAttr(2, DEVICE_ATTRIBUTE_BRIGHT, 0x30, &result), S_OK);
    EXPECT_EQ(result, DeviceAttributeDone);
    LONG value = 0;
    EXPECT_EQ(config->GetAttr(2, DEVICE_ATTRIBUTE_BRIGHT, &value), S_OK);
    EXPECT_EQ(value, 0x30);
    EXPECT_EQ(model_->Mode(3 - 1).bright, 0x30u) << "the board got the mode";

    EXPECT_EQ(config->SetAttr(2, 1, 5, &result), S_OK);
    EXPECT_EQ(result, DeviceAttributeUnknown) << "scale has no attribute";
    EXPECT_EQ(config->GetAttr(2, 3, &value), S_OK);
    EXPECT_EQ(value, 205) << "an attribute the driver does not answer";
    result = 0;
    EXPECT_EQ(config->SetAttr(5, DEVICE_ATTRIBUTE_BRIGHT, 1, &result),
              HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(result, -1);
}

TEST_F(ProxySystemTest, EepromIsWrittenAndVerified) {
    IM4350Cfg* config = Open(1);
    ASSERT_NE(config, nullptr);
    std::vector<BYTE> image(1024);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<BYTE>(i * 13 + 5);
    }
    ASSERT_EQ(config->UpdateEeprom(DeviceEepromMagic, image.data(), ULONG(image.size())), S_OK);
    auto eeprom = model_->Eeprom();
    ASSERT_GE(eeprom.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), eeprom.begin()));
    EXPECT_EQ(config->VerifyEeprom(DeviceEepromMagic, image.data(), ULONG(image.size())), S_OK);

    ASSERT_TRUE(model_->SetEepromByte(100, static_cast<uint8_t>(image[100] ^ 0xFF)));
    EXPECT_EQ(config->VerifyEeprom(DeviceEepromMagic, image.data(), ULONG(image.size())),
              M4350CFG_E_REFUSED);
    // An image the EEPROM does not hold yet, so that a write would show.
    std::vector<BYTE> other(image);
    other[0] ^= 0xFF;
    EXPECT_TRUE(FAILED(config->UpdateEeprom(0, other.data(), ULONG(other.size()))))
        << "a wrong magic fails the request";
    EXPECT_EQ(model_->Eeprom()[0], image[0]) << "and writes nothing";
    EXPECT_EQ(config->UpdateEeprom(DeviceEepromMagic, image.data(), 8193), M4350CFG_E_REFUSED);
}

TEST_F(ProxySystemTest, FixedStandardIsSeenByTheNextFilter) {
    IM4350Cfg* config = Open(1);
    ASSERT_NE(config, nullptr);
    LONG standard = -1;
    EXPECT_EQ(config->GetAttr(1, DEVICE_ATTRIBUTE_FIXED_STANDARD, &standard), S_OK);
    EXPECT_EQ(standard, 0) << "not fixed until someone fixes it";
    LONG result = -1;
    EXPECT_EQ(config->SetAttr(1, DEVICE_ATTRIBUTE_FIXED_STANDARD, 2, &result), S_OK);
    EXPECT_EQ(result, DeviceAttributeDone);
    EXPECT_EQ(host::GetServiceDword(L"m4350av\\Parameters", L"FixedStandard"), 2u);
    EXPECT_EQ(config->GetAttr(1, DEVICE_ATTRIBUTE_FIXED_STANDARD, &standard), S_OK);
    EXPECT_EQ(standard, 2);

    // Channel 3's filter opens after the change: its standard is PAL.
    IM4350Cfg* third = Open(3);
    ASSERT_NE(third, nullptr);
    LONG format = 0;
    EXPECT_EQ(third->GetAttr(3, DEVICE_ATTRIBUTE_FORMAT, &format), S_OK);
    EXPECT_EQ(format, 2);
}

} // namespace
