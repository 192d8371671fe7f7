// M4350Cfg over the stand-in driver: the bytes of every request as the
// driver receives them, the answers read back, the plug-in's own refusals,
// construction inside an aggregate, and the module's lock count.
#include "proxy_fixture.h"

#include "shared/device_method_set.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace {

int32_t Word(const standin::Request& request, size_t offset) {
    int32_t word = 0;
    std::memcpy(&word, request.data.data() + offset, sizeof word);
    return word;
}

using Word32 = std::pair<size_t, int32_t>;

TEST_F(ProxyTest, EveryRequestReachesTheDriverAsLaidOut) {
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    BYTE data[100];
    for (size_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<BYTE>(i * 7 + 1);
    }
    LONG result = 0;
    LONG value = 0;
    ULONG word = 0;
    struct Case {
        const char* what;
        std::function<HRESULT()> call;
        ULONG id;
        ULONG size;
        std::vector<Word32> words;
    } cases[] = {
        {"SetAttr",
         [&] { return config->SetAttr(2, 4, 0x30, &result); },
         0,
         40,
         {{24, 2}, {28, 4}, {32, 0x30}, {36, -1}}},
        {"GetAttr",
         [&] { return config->GetAttr(3, 7, &value); },
         1,
         40,
         {{24, 3}, {28, 7}, {32, 205}}},
        {"UpdateEeprom",
         [&] { return config->UpdateEeprom(43501, data, sizeof data); },
         5,
         8224,
         {{24, 43501}, {8220, 100}}},
        {"VerifyEeprom",
         [&] { return config->VerifyEeprom(43501, data, sizeof data); },
         6,
         8232,
         {{24, 43501}, {8220, 100}}},
        {"GetVersion", [&] { return config->GetVersion(3, &word); }, 7, 32, {{24, 3}}},
        {"GetSerial", [&] { return config->GetSerial(&word); }, 8, 32, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(c.call(), S_OK) << c.what;
        auto requests = Requests();
        ASSERT_EQ(requests.size(), i + 1) << c.what << ": one request per call";
        const standin::Request& r = requests.back();
        EXPECT_EQ(r.id, c.id) << c.what;
        EXPECT_EQ(r.dataLength, c.size) << c.what;
        ASSERT_EQ(r.data.size(), c.size) << c.what;
        EXPECT_EQ(std::memcmp(r.data.data(), &DeviceMethodSet, sizeof(GUID)), 0) << c.what;
        EXPECT_EQ(Word(r, 16), static_cast<int32_t>(c.id)) << c.what;
        EXPECT_EQ(Word(r, 20), KSMETHOD_TYPE_MODIFY) << c.what;
        for (const auto& [offset, expected] : c.words) {
            EXPECT_EQ(Word(r, offset), expected) << c.what << " word " << offset;
        }
        if (c.id == 5 || c.id == 6) {
            EXPECT_EQ(std::memcmp(r.data.data() + 28, data, sizeof data), 0) << c.what;
        }
    }
}

TEST_F(ProxyTest, AnswersAreReadBackFromTheirWords) {
    auto& recorder = standin::TheRecorder();
    recorder.SetAnswer(0, {STATUS_SUCCESS, {{36, 0}}});
    recorder.SetAnswer(1, {STATUS_SUCCESS, {{32, -42}, {36, 0}}});
    recorder.SetAnswer(7, {STATUS_SUCCESS, {{28, 0x0001004B}}});
    recorder.SetAnswer(8, {STATUS_SUCCESS, {{24, 0x00C0FFEE}}});
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    LONG result = 99;
    EXPECT_EQ(config->SetAttr(1, 4, 0x30, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(config->SetAttr(1, 4, 0x30, nullptr), S_OK) << "result may be null";
    LONG value = 0;
    EXPECT_EQ(config->GetAttr(1, 4, &value), S_OK);
    EXPECT_EQ(value, -42);
    EXPECT_EQ(config->GetAttr(1, 4, nullptr), S_OK) << "value may be null";
    ULONG version = 0;
    EXPECT_EQ(config->GetVersion(2, &version), S_OK);
    EXPECT_EQ(version, 0x0001004Bu);
    ULONG serial = 0;
    EXPECT_EQ(config->GetSerial(&serial), S_OK);
    EXPECT_EQ(serial, 0x00C0FFEEu);
    EXPECT_EQ(host::DebugLogCount("get version"), 1u);
    EXPECT_EQ(host::DebugLogCount("get serial"), 1u);
}

TEST_F(ProxyTest, AnUnknownAttributeReadsTheUnansweredPreset) {
    // The driver answers "not in the table" without touching the value.
    standin::TheRecorder().SetAnswer(1, {STATUS_SUCCESS, {{36, -1}}});
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    LONG value = 0;
    EXPECT_EQ(config->GetAttr(1, 3, &value), S_OK);
    EXPECT_EQ(value, 205);
}

TEST_F(ProxyTest, FailedRequestsGiveTheirHresultAndNoStaleAnswer) {
    auto& recorder = standin::TheRecorder();
    // The handler writes its words and fails: the class hands nothing back.
    recorder.SetAnswer(0, {STATUS_INVALID_PARAMETER, {{36, 0}}});
    recorder.SetAnswer(1, {STATUS_INVALID_PARAMETER, {{32, 77}}});
    recorder.SetAnswer(7, {STATUS_DEVICE_NOT_READY, {{28, 99}}});
    recorder.SetAnswer(8, {STATUS_UNSUCCESSFUL, {{24, 99}}});
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    LONG result = 0;
    EXPECT_EQ(config->SetAttr(5, 4, 1, &result), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(result, -1) << "a failed set must not read as done";
    LONG value = 0;
    EXPECT_EQ(config->GetAttr(5, 4, &value), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(value, 205) << "copied back after a failure too";
    ULONG version = 1234;
    EXPECT_EQ(config->GetVersion(0, &version), HRESULT_FROM_WIN32(ERROR_NOT_READY));
    EXPECT_EQ(version, 0u);
    ULONG serial = 1234;
    EXPECT_EQ(config->GetSerial(&serial), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
    EXPECT_EQ(serial, 0u);
}

TEST_F(ProxyTest, EepromLengthAndVerifyResultRules) {
    auto& recorder = standin::TheRecorder();
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    std::vector<BYTE> image(8193, 0x5A);

    EXPECT_EQ(config->UpdateEeprom(43501, image.data(), 8192), S_OK);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Word(Requests()[0], 8220), 8192);
    EXPECT_EQ(config->UpdateEeprom(43501, image.data(), 8193), M4350CFG_E_REFUSED);
    EXPECT_EQ(config->VerifyEeprom(43501, image.data(), 8193), M4350CFG_E_REFUSED);
    EXPECT_EQ(config->UpdateEeprom(43501, nullptr, 16), E_POINTER);
    EXPECT_EQ(Requests().size(), 1u) << "refused calls send nothing";

    struct Case {
        standin::Answer answer;
        HRESULT expected;
    } cases[] = {
        {{STATUS_SUCCESS, {{8224, 0}}}, S_OK},
        {{STATUS_SUCCESS, {{8224, -1}}}, M4350CFG_E_REFUSED},
        {{STATUS_SUCCESS, {{8224, 3}}}, M4350CFG_E_REFUSED},
        {{STATUS_UNSUCCESSFUL, {{8224, 0}}}, HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)},
        {{static_cast<NTSTATUS>(0xFFFFFFFF), {}}, HRESULT_FROM_WIN32(ERROR_MR_MID_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        recorder.SetAnswer(6, c.answer);
        EXPECT_EQ(config->VerifyEeprom(43501, image.data(), 64), c.expected);
    }
}

TEST_F(ProxyTest, MissingOutputPointersAreRefusedWithoutARequest) {
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->GetVersion(0, nullptr), M4350CFG_E_REFUSED);
    EXPECT_EQ(config->GetSerial(nullptr), M4350CFG_E_REFUSED);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(ProxyTest, ConcurrentCallsOnOneObjectAreEachAnswered) {
    standin::TheRecorder().SetAnswer(0, {STATUS_SUCCESS, {{36, 0}}});
    IM4350Cfg* config = Open();
    ASSERT_NE(config, nullptr);
    constexpr int Threads = 4;
    constexpr int Calls = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < Calls; ++i) {
                LONG result = -5;
                ULONG version = 0;
                if (config->SetAttr(t + 1, 4, t * 1000 + i, &result) != S_OK || result != 0 ||
                    config->GetVersion(2, &version) != S_OK) {
                    ++failures;
                }
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    auto requests = Requests();
    ASSERT_EQ(requests.size(), size_t{Threads * Calls * 2});
    std::vector<int> seen(Threads * Calls, 0);
    for (const auto& r : requests) {
        if (r.id == 0) {
            int v = Word(r, 32);
            ASSERT_GE(v % 1000, 0);
            seen[(v / 1000) * Calls + v % 1000]++;
            EXPECT_EQ(Word(r, 24), v / 1000 + 1) << "each request keeps its own channel";
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), Threads * Calls);
}

// An outer object for constructing M4350Cfg by hand: it answers IKsObject
// (or refuses it with a chosen HRESULT) and counts its references.
class FakeFilter final : public IKsObject {
public:
    FakeFilter(HANDLE handle, HRESULT ksObjectResult) : handle_(handle), result_(ksObjectResult) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid == IID_IUnknown || (riid == IID_IKsObject && SUCCEEDED(result_))) {
            *ppv = static_cast<IKsObject*>(this);
            AddRef();
            return S_OK;
        }
        if (riid == IID_IKsObject) {
            return result_;
        }
        if (inner != nullptr) {
            return inner->QueryInterface(riid, ppv);
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP_(HANDLE) KsGetObjectHandle() override { return handle_; }

    std::atomic<ULONG> refs{1};
    IUnknown* inner = nullptr;

private:
    HANDLE handle_;
    HRESULT result_;
};

TEST_F(ProxyTest, ConstructionNeedsAnOuterObjectWithAFilterHandle) {
    Register();
    HANDLE handle = nullptr;
    ASSERT_EQ(host::ks::OpenFilter(link_.c_str(), &handle), STATUS_SUCCESS);
    struct Case {
        const char* what;
        HANDLE handle;
        HRESULT ksObject;
        bool outer;
        HRESULT expected;
    } cases[] = {
        {"no outer object", handle, S_OK, false, E_UNEXPECTED},
        {"outer without IKsObject", handle, E_NOINTERFACE, true, E_NOINTERFACE},
        {"outer refusing IKsObject its own way", handle, static_cast<HRESULT>(0x80041234), true,
         static_cast<HRESULT>(0x80041234)},
        {"outer without a handle", nullptr, S_OK, true, E_UNEXPECTED},
    };
    for (const Case& c : cases) {
        FakeFilter outer(c.handle, c.ksObject);
        IUnknown* inner = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(CoCreateInstance(CLSID_M4350Cfg, c.outer ? &outer : nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IUnknown, reinterpret_cast<void**>(&inner)),
                  c.expected)
            << c.what;
        EXPECT_EQ(inner, nullptr) << c.what;
        if (c.outer) {
            EXPECT_EQ(outer.refs, 1u) << c.what << ": no reference left on the outer object";
        }
    }
    FakeFilter outer(handle, S_OK);
    void* object = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_M4350Cfg, &outer, CLSCTX_INPROC_SERVER, IID_IM4350Cfg, &object),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(host::ks::CloseHandle(handle), STATUS_SUCCESS);
}

TEST_F(ProxyTest, AggregatedObjectCountsOnItsOuterAndHoldsTheModule) {
    Register();
    HANDLE handle = nullptr;
    ASSERT_EQ(host::ks::OpenFilter(link_.c_str(), &handle), STATUS_SUCCESS);
    FakeFilter outer(handle, S_OK);
    EXPECT_EQ(module_.Call("DllCanUnloadNow"), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_M4350Cfg, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    EXPECT_EQ(outer.refs, 1u) << "construction gave back the IKsObject reference";
    EXPECT_EQ(module_.Call("DllCanUnloadNow"), S_FALSE) << "a live object locks the module";

    IM4350Cfg* config = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IM4350Cfg, reinterpret_cast<void**>(&config)), S_OK);
    EXPECT_EQ(outer.refs, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(config->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    ULONG version = 0;
    EXPECT_EQ(config->GetVersion(3, &version), S_OK) << "the handle from IKsObject is used";
    EXPECT_EQ(Requests().size(), 1u);
    config->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
    outer.inner = nullptr;
    EXPECT_EQ(module_.Call("DllCanUnloadNow"), S_OK);

    // A server lock holds the module without any object.
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_M4350Cfg, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(module_.Call("DllCanUnloadNow"), S_FALSE);
    ASSERT_EQ(CoGetClassObject(CLSID_M4350Cfg, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(module_.Call("DllCanUnloadNow"), S_OK);
    EXPECT_EQ(host::ks::CloseHandle(handle), STATUS_SUCCESS);
}

} // namespace
