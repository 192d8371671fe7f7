// The COM runtime: initialisation, in-process servers loaded by path,
// aggregation, the module lock count, type-library registration.
#include "test_server.h"

#include <host/com.h>
#include <host/services.h>
#include <kernel_test.h>
#include <oleauto.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::wstring ServerPath = host::com::Widen(TEST_SERVER_MODULE);

std::wstring Guid(REFGUID guid) {
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

void RegisterClass(REFCLSID clsid, const std::wstring& path) {
    host::RegistrySetString(L"HKCR\\CLSID\\" + Guid(clsid) + L"\\InprocServer32", L"", path);
}

// An outer object that counts its references and hands out nothing but
// itself, so a test can see which count an inner object's calls reach.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

class ComTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        host::ResetRegistry();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        RegisterClass(CLSID_TestAggregatable, ServerPath);
        RegisterClass(CLSID_TestPlain, ServerPath);
    }
    void TearDown() override {
        CoUninitialize();
        EXPECT_EQ(host::com::LoadedServerCount(), 0u) << "a server outlived the last uninitialise";
        KernelTest::TearDown();
    }
};

TEST_F(ComTest, InitialisationIsCountedPerThreadAndKeepsItsModel) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_EQ(host::com::InitializedThreadCount(), 1u);

    HRESULT other = S_OK;
    std::thread([&] {
        void* object = nullptr;
        other = CoCreateInstance(CLSID_TestAggregatable, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IUnknown, &object);
    }).join();
    EXPECT_EQ(other, CO_E_NOTINITIALIZED);
}

TEST_F(ComTest, CreationFailuresSayWhy) {
    // {6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1AFF}
    const GUID unknownToServer = {
        0x6B1F3A52, 0x8C1D, 0x4E0B, {0x9A, 0x3F, 0x2C, 0x5D, 0x7E, 0x9B, 0x1A, 0xFF}};
    const GUID missingModule = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const GUID notAServer = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 12}};
    const GUID unregistered = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 13}};
    RegisterClass(unknownToServer, ServerPath);
    RegisterClass(missingModule, L"/nonexistent/m4350-missing.so");
    RegisterClass(notAServer, L"libm.so.6");
    struct Case {
        const char* what;
        const GUID* clsid;
        DWORD context;
        HRESULT expected;
    } cases[] = {
        {"unregistered class", &unregistered, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {"missing module", &missingModule, CLSCTX_INPROC_SERVER,
         HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {"module without DllGetClassObject", &notAServer, CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
        {"class the server lacks", &unknownToServer, CLSCTX_INPROC_SERVER,
         CLASS_E_CLASSNOTAVAILABLE},
        {"local server only", &CLSID_TestPlain, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
    };
    for (const Case& c : cases) {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(*c.clsid, nullptr, c.context, IID_IUnknown, &object), c.expected)
            << c.what;
        EXPECT_EQ(object, nullptr) << c.what;
    }
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestPlain, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
        E_INVALIDARG);
    CoFreeUnusedLibraries();
}

TEST_F(ComTest, AggregatedInnerDelegatesItsInterfacesToTheOuter) {
    Outer outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestAggregatable, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&inner)),
              S_OK);
    EXPECT_EQ(outer.refs, 1u) << "creating the inner must not keep a reference on the outer";

    ITestValue* value = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_ITestValue, reinterpret_cast<void**>(&value)), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the interface's reference is the outer's";
    EXPECT_EQ(value->AddRef(), 3u);
    EXPECT_EQ(value->Release(), 2u);

    IUnknown* identity = nullptr;
    ASSERT_EQ(value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer) << "the inner's IUnknown calls go to the outer";
    identity->Release();
    value->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(inner->Release(), 0u) << "the outer holds the inner's only reference";
    CoFreeUnusedLibraries();
}

TEST_F(ComTest, AggregationIsRefusedWhereTheRulesSaySo) {
    Outer outer;
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestAggregatable, &outer, CLSCTX_INPROC_SERVER, IID_ITestValue,
                               &object),
              CLASS_E_NOAGGREGATION)
        << "an outer object may ask for IUnknown only";
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestPlain, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(outer.refs, 1u);

    // Without an outer object the object is its own identity.
    ITestValue* value = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestPlain, nullptr, CLSCTX_INPROC_SERVER, IID_ITestValue,
                               reinterpret_cast<void**>(&value)),
              S_OK);
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_EQ(a, b);
    EXPECT_NE(static_cast<void*>(a), static_cast<void*>(value));
    a->Release();
    b->Release();
    EXPECT_EQ(value->Release(), 0u);
    CoFreeUnusedLibraries();
}

TEST_F(ComTest, ServerStaysLoadedWhileObjectsOrLocksLive) {
    ITestValue* value = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestPlain, nullptr, CLSCTX_INPROC_SERVER, IID_ITestValue,
                               reinterpret_cast<void**>(&value)),
              S_OK);
    CoFreeUnusedLibraries();
    ASSERT_TRUE(host::com::IsServerLoaded(ServerPath)) << "unloaded under a live object";
    value->Set(7);
    EXPECT_EQ(value->Get(), 7);
    value->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(host::com::IsServerLoaded(ServerPath));

    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestPlain, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    CoFreeUnusedLibraries();
    ASSERT_TRUE(host::com::IsServerLoaded(ServerPath)) << "unloaded under a server lock";
    ASSERT_EQ(CoGetClassObject(CLSID_TestPlain, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(host::com::IsServerLoaded(ServerPath));
}

TEST_F(ComTest, ObjectsCreatedAndCalledFromManyThreads) {
    constexpr int Threads = 4;
    constexpr int Rounds = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < Rounds; ++i) {
                ITestValue* value = nullptr;
                if (FAILED(CoCreateInstance(CLSID_TestPlain, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_ITestValue, reinterpret_cast<void**>(&value)))) {
                    ++failures;
                    continue;
                }
                value->Set(t * Rounds + i);
                if (value->Get() != t * Rounds + i) {
                    ++failures;
                }
                value->Release();
                if (i % 50 == 0) {
                    CoFreeUnusedLibraries();
                }
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    CoFreeUnusedLibraries();
}

TEST_F(ComTest, GuidStringsRoundTripAndRefuseMalformedText) {
    const GUID guid = CLSID_TestAggregatable;
    WCHAR text[39];
    ASSERT_EQ(StringFromGUID2(guid, text, 39), 39);
    EXPECT_EQ(std::wstring(text), L"{6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A01}");
    EXPECT_EQ(StringFromGUID2(guid, text, 38), 0);
    CLSID parsed{};
    ASSERT_EQ(CLSIDFromString(L"{6b1f3a52-8c1d-4e0b-9a3f-2c5d7e9b1a01}", &parsed), S_OK);
    EXPECT_EQ(parsed, guid);
    for (const wchar_t* bad :
         {L"6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A01", L"{6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1A0}",
          L"{6B1F3A52+8C1D-4E0B-9A3F-2C5D7E9B1A01}", L"{6B1F3A52-8C1D-4E0B-9A3F-2C5D7E9B1AG1}",
          L""}) {
        EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << host::com::Narrow(bad);
    }
}

TEST_F(ComTest, ModuleHandlesPathsAndReferences) {
    HMODULE module = LoadLibraryW(ServerPath.c_str());
    ASSERT_NE(module, nullptr);
    FARPROC entry = GetProcAddress(module, "DllCanUnloadNow");
    ASSERT_NE(entry, nullptr);
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(entry)), &found));
    EXPECT_EQ(found, module);

    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    EXPECT_EQ(std::wstring(path, length), ServerPath);
    WCHAR small[8];
    EXPECT_EQ(GetModuleFileNameW(module, small, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(small), ServerPath.substr(0, 7));
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(module)) << "one load, one free";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LoadLibraryW(L"/nonexistent/m4350-missing.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ComTest, DebugStringsJoinTheDebugLog) {
    host::ClearDebugLog();
    OutputDebugStringA("com debug line\n");
    OutputDebugStringW(L"wide line\n");
    EXPECT_EQ(host::DebugLogCount("com debug line"), 1u);
    EXPECT_EQ(host::DebugLogCount("wide line"), 1u);
}

TEST_F(ComTest, TypeLibraryRegistrationWritesAndRemovesItsKeys) {
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLibEx(ServerPath.c_str(), REGKIND_NONE, &library), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_TestServer);
    EXPECT_EQ(attr->wMajorVerNum, 2);
    EXPECT_EQ(attr->wMinorVerNum, 10);
    library->ReleaseTLibAttr(attr);
    EXPECT_EQ(library->GetTypeInfoCount(), 2u);
    ASSERT_EQ(RegisterTypeLib(library, ServerPath.c_str(), L"/help"), S_OK);
    library->Release();

    const std::wstring version = L"HKCR\\TypeLib\\" + Guid(LIBID_TestServer) + L"\\2.a";
    EXPECT_EQ(host::RegistryGetString(version, L""), L"TestServerLib")
        << "without a help string the name describes the library";
    EXPECT_EQ(host::RegistryGetString(version + L"\\FLAGS", L""), L"0");
    EXPECT_EQ(host::RegistryGetString(version + L"\\HELPDIR", L""), L"/help");
    EXPECT_EQ(host::RegistryGetString(version + L"\\0\\win64", L""), ServerPath);
    const std::wstring automation = L"HKCR\\Interface\\" + Guid(IID_ITestAutomation);
    EXPECT_EQ(host::RegistryGetString(automation, L""), L"ITestAutomation");
    EXPECT_EQ(host::RegistryGetString(automation + L"\\TypeLib", L""), Guid(LIBID_TestServer));
    EXPECT_EQ(host::RegistryGetString(automation + L"\\TypeLib", L"Version"), L"2.a");
    EXPECT_EQ(host::RegistryGetString(automation + L"\\ProxyStubClsid32", L""),
              L"{00020424-0000-0000-C000-000000000046}");
    EXPECT_FALSE(host::RegistryKeyExists(L"HKCR\\Interface\\" + Guid(IID_ITestValue)))
        << "a custom interface is not registered";

    // A second locale keeps the version registered until it goes too.
    host::RegistrySetString(version + L"\\409\\win64", L"", ServerPath);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_TestServer, 2, 10, 0, SYS_WIN64), S_OK);
    EXPECT_FALSE(host::RegistryKeyExists(version + L"\\0"));
    EXPECT_TRUE(host::RegistryKeyExists(version + L"\\FLAGS"));
    EXPECT_TRUE(host::RegistryKeyExists(automation));
    EXPECT_EQ(UnRegisterTypeLib(LIBID_TestServer, 2, 10, 0x409, SYS_WIN64), S_OK);
    EXPECT_FALSE(host::RegistryKeyExists(L"HKCR\\TypeLib\\" + Guid(LIBID_TestServer)));
    EXPECT_FALSE(host::RegistryKeyExists(automation));
    EXPECT_TRUE(host::RegistryKeyExists(L"HKCR\\TypeLib"));
    EXPECT_TRUE(host::RegistryKeyExists(L"HKCR\\Interface"));
    EXPECT_EQ(UnRegisterTypeLib(LIBID_TestServer, 2, 10, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);
}

TEST_F(ComTest, TypeLibraryOfAModuleWithoutOneCannotLoad) {
    ITypeLib* library = reinterpret_cast<ITypeLib*>(1);
    EXPECT_EQ(LoadTypeLibEx(L"libm.so.6", REGKIND_NONE, &library), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(library, nullptr);
    EXPECT_EQ(LoadTypeLibEx(L"/nonexistent/m4350-missing.so", REGKIND_NONE, &library),
              TYPE_E_CANTLOADLIBRARY);
}

} // namespace
