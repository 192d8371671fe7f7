// The streaming proxy's filter object over the stand-in driver: the sets it
// finds, the plug-in it aggregates for the device method set, identity
// across the aggregate, and the handle it owns.
#include "proxy_fixture.h"

#include "shared/device_method_set.h"

#include <algorithm>
#include <thread>

namespace {

bool Contains(const std::vector<GUID>& sets, REFGUID set) {
    return std::find(sets.begin(), sets.end(), set) != sets.end();
}

TEST_F(ProxyTest, FilterObjectAggregatesThePluginOfTheDeviceMethodSet) {
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    host::ks::ProxyFilterSets sets;
    ASSERT_EQ(host::ks::GetProxyFilterSets(filter_, &sets), S_OK);
    EXPECT_TRUE(Contains(sets.sets, standin::PropertySet));
    EXPECT_TRUE(Contains(sets.sets, DeviceMethodSet));
    ASSERT_EQ(sets.aggregated.size(), 1u);
    EXPECT_EQ(sets.aggregated[0], DeviceMethodSet);

    // One identity: the plug-in's IUnknown is the filter object's.
    IUnknown* identity = nullptr;
    ASSERT_EQ(config->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, filter_);
    identity->Release();
    IKsObject* object = nullptr;
    ASSERT_EQ(config->QueryInterface(IID_IKsObject, reinterpret_cast<void**>(&object)), S_OK);
    EXPECT_NE(object->KsGetObjectHandle(), nullptr);
    object->Release();

    // The filter's own IKsControl reaches the same driver.
    IKsControl* control = nullptr;
    ASSERT_EQ(filter_->QueryInterface(IID_IKsControl, reinterpret_cast<void**>(&control)), S_OK);
    DEVICE_VERSION_REQUEST request{};
    request.Method.Set = DeviceMethodSet;
    request.Method.Id = DEVICE_METHOD_GET_VERSION;
    request.Method.Flags = KSMETHOD_TYPE_MODIFY;
    ULONG returned = 0;
    EXPECT_EQ(
        control->KsMethod(&request.Method, sizeof request, &request, sizeof request, &returned),
        S_OK);
    EXPECT_EQ(returned, sizeof request);
    KSPROPERTY property{};
    property.Set = standin::PropertySet;
    property.Id = 0;
    property.Flags = KSPROPERTY_TYPE_GET;
    ULONG answer = 0;
    EXPECT_EQ(control->KsProperty(&property, sizeof property, &answer, sizeof answer, &returned),
              S_OK);
    EXPECT_EQ(answer, 0x4350u);
    property.Set = DeviceMethodSet;
    EXPECT_EQ(control->KsProperty(&property, sizeof property, &answer, sizeof answer, &returned),
              HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND));
    control->Release();

    // The last reference closes the filter.
    ReleaseAll();
    EXPECT_EQ(host::ks::LiveObjectCounts().filters, 0);
}

TEST_F(ProxyTest, WithoutRegistrationTheFilterHasNoPlugin) {
    ASSERT_EQ(host::ks::CreateProxyFilter(link_.c_str(), IID_IUnknown,
                                          reinterpret_cast<void**>(&filter_)),
              S_OK);
    void* config = nullptr;
    EXPECT_EQ(filter_->QueryInterface(IID_IM4350Cfg, &config), E_NOINTERFACE);
    EXPECT_EQ(config, nullptr);
}

TEST_F(ProxyTest, APluginThatCannotBeCreatedIsLeftOut) {
    Register();
    // The media interface stays, the class goes.
    host::RegistryDeleteKey(L"HKCR\\CLSID\\" + GuidText(CLSID_M4350Cfg));
    ASSERT_EQ(host::ks::CreateProxyFilter(link_.c_str(), IID_IUnknown,
                                          reinterpret_cast<void**>(&filter_)),
              S_OK);
    void* config = nullptr;
    EXPECT_EQ(filter_->QueryInterface(IID_IM4350Cfg, &config), E_NOINTERFACE);
    EXPECT_EQ(host::DebugLogCount("ksproxy: interface handler {C9C5121F-0B7F-4694-9090-"
                                  "2177D03A0720} not loaded: 0x80040154"),
              1u);
}

TEST_F(ProxyTest, OpeningNeedsComAndAFilter) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(host::ks::CreateProxyFilter(L"\\\\?\\ks#nothing", IID_IUnknown, &object),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(object, nullptr);
    HRESULT other = S_OK;
    std::thread([&] {
        void* o = nullptr;
        other = host::ks::CreateProxyFilter(link_.c_str(), IID_IUnknown, &o);
    }).join();
    EXPECT_EQ(other, CO_E_NOTINITIALIZED);
}

} // namespace
