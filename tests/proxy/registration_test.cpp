// m4350proxy's registration: the keys and values it writes, exactly, and
// nothing else; re-registration replacing the class's own keys;
// unregistration removing them and leaving their parents.
#include "proxy_fixture.h"

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

// Every key and string value below HKLM (HKCR included), lower-cased names.
using Snapshot = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

std::wstring Lower(std::wstring text) {
    for (auto& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

void Walk(HKEY parent, const std::wstring& path, Snapshot& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    auto& values = out[Lower(path)];
    WCHAR name[MAX_KEY_LENGTH + 1];
    for (DWORD i = 0;; ++i) {
        DWORD length = MAX_KEY_LENGTH + 1;
        BYTE data[1024];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &length, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        values[Lower(name)] = type == REG_SZ ? std::wstring(reinterpret_cast<WCHAR*>(data))
                                             : L"<type " + std::to_wstring(type) + L">";
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; ++i) {
        DWORD length = MAX_KEY_LENGTH + 1;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(name, length);
    }
    RegCloseKey(key);
    for (const auto& child : children) {
        Walk(parent, path.empty() ? child : path + L"\\" + child, out);
    }
}

Snapshot Take() {
    Snapshot snapshot;
    Walk(HKEY_LOCAL_MACHINE, L"", snapshot);
    return snapshot;
}

// What `after` has that `before` has not: new keys with their values, and
// new or changed values of old keys.
Snapshot Added(const Snapshot& before, const Snapshot& after) {
    Snapshot added;
    for (const auto& [key, values] : after) {
        auto old = before.find(key);
        if (old == before.end()) {
            added[key] = values;
            continue;
        }
        for (const auto& [name, value] : values) {
            auto was = old->second.find(name);
            if (was == old->second.end() || was->second != value) {
                added[key][name] = value;
            }
        }
    }
    return added;
}

const std::wstring Classes = L"software\\classes\\";
const std::wstring Clsid = L"{c9c5121f-0b7f-4694-9090-2177d03a0720}";
const std::wstring Libid = L"{53032719-b20c-4261-ba0e-5c4efa50ad41}";
const std::wstring MediaInterfaces = L"system\\currentcontrolset\\control\\mediainterfaces";

class RegistrationTest : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        // The parents exist on any Windows machine.
        for (const wchar_t* parent :
             {L"HKCR\\CLSID", L"HKCR\\TypeLib", L"HKCR\\Interface",
              L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces"}) {
            host::RegistryCreateKey(parent);
        }
        host::RegistrySetString(L"HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}", L"",
                                L"neighbour");
    }
};

TEST_F(RegistrationTest, WritesExactlyTheTableAndTheTypeLibrary) {
    Snapshot before = Take();
    Register();
    const std::wstring path = Lower(ProxyModule);
    const std::wstring folder = Lower(std::filesystem::path(ProxyModule).parent_path().wstring());
    Snapshot expected = {
        {Classes + L"m4350proxy.m4350cfg.1", {{L"", L"M4350Cfg Class"}}},
        {Classes + L"m4350proxy.m4350cfg.1\\clsid",
         {{L"", L"{C9C5121F-0B7F-4694-9090-2177D03A0720}"}}},
        {Classes + L"m4350proxy.m4350cfg", {{L"", L"M4350Cfg Class"}}},
        {Classes + L"m4350proxy.m4350cfg\\clsid",
         {{L"", L"{C9C5121F-0B7F-4694-9090-2177D03A0720}"}}},
        {Classes + L"clsid\\" + Clsid, {{L"", L"M4350Cfg Class"}}},
        {Classes + L"clsid\\" + Clsid + L"\\progid", {{L"", L"m4350proxy.M4350Cfg.1"}}},
        {Classes + L"clsid\\" + Clsid + L"\\versionindependentprogid",
         {{L"", L"m4350proxy.M4350Cfg"}}},
        {Classes + L"clsid\\" + Clsid + L"\\inprocserver32",
         {{L"", ProxyModule}, {L"threadingmodel", L"both"}}},
        {MediaInterfaces + L"\\" + Clsid, {{L"", L"m4350 AVStream Driver Usermode Proxy"}}},
        {Classes + L"typelib\\" + Libid, {}},
        {Classes + L"typelib\\" + Libid + L"\\1.0", {{L"", L"m4350proxy 1.0 Type Library"}}},
        {Classes + L"typelib\\" + Libid + L"\\1.0\\flags", {{L"", L"0"}}},
        {Classes + L"typelib\\" + Libid + L"\\1.0\\helpdir",
         {{L"", std::filesystem::path(ProxyModule).parent_path().wstring()}}},
        {Classes + L"typelib\\" + Libid + L"\\1.0\\0", {}},
        {Classes + L"typelib\\" + Libid + L"\\1.0\\0\\win64", {{L"", ProxyModule}}},
    };
    Snapshot added = Added(before, Take());
    EXPECT_EQ(added.size(), expected.size());
    for (const auto& [key, values] : expected) {
        auto found = added.find(key);
        ASSERT_NE(found, added.end()) << host::com::Narrow(key.c_str()) << " missing";
        EXPECT_EQ(found->second, values) << host::com::Narrow(key.c_str());
    }
    for (const auto& [key, values] : added) {
        EXPECT_TRUE(expected.count(key)) << host::com::Narrow(key.c_str()) << " not expected";
    }
}

TEST_F(RegistrationTest, RegisteringAgainReplacesTheClassKeys) {
    Register();
    const std::wstring clsidKey = L"HKCR\\CLSID\\" + GuidText(CLSID_M4350Cfg);
    const std::wstring mediaKey =
        L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces\\" + GuidText(CLSID_M4350Cfg);
    host::RegistrySetString(clsidKey + L"\\InprocServer32", L"", L"/old/m4350proxy.so");
    host::RegistrySetString(clsidKey + L"\\Stale", L"", L"left from before");
    host::RegistrySetString(mediaKey, L"Stale", L"left from before");
    Snapshot before = Take();
    Register();
    EXPECT_EQ(host::RegistryGetString(clsidKey + L"\\InprocServer32", L""), ProxyModule);
    EXPECT_FALSE(host::RegistryKeyExists(clsidKey + L"\\Stale"));
    EXPECT_FALSE(host::RegistryGetString(mediaKey, L"Stale").has_value());
    EXPECT_EQ(host::RegistryGetString(mediaKey, L""), L"m4350 AVStream Driver Usermode Proxy");
}

TEST_F(RegistrationTest, UnregisteringRemovesTheKeysAndKeepsTheirParents) {
    Snapshot clean = Take();
    Register();
    ASSERT_EQ(module_.Call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(Take(), clean) << "everything registration added is gone, nothing more";
    EXPECT_TRUE(host::RegistryKeyExists(L"HKCR\\CLSID\\{00000000-1111-2222-3333-444444444444}"));
    EXPECT_EQ(module_.Call("DllUnregisterServer"), S_OK) << "nothing left to remove is no failure";
    EXPECT_EQ(Take(), clean);
}

// The host's stand-in for the embedded type library must say what the IDL
// says.
TEST_F(RegistrationTest, TypeLibraryMatchesTheIdl) {
    std::ifstream file(M4350PROXY_IDL);
    ASSERT_TRUE(file) << M4350PROXY_IDL;
    std::stringstream text;
    text << file.rdbuf();
    const std::string idl = text.str();
    std::smatch library;
    ASSERT_TRUE(std::regex_search(
        idl, library,
        std::regex(
            R"re(uuid\(([0-9A-Fa-f-]+)\),\s*version\((\d+)\.(\d+)\),\s*helpstring\("([^"]*)"\)\s*\]\s*library\s+(\w+))re")));
    std::smatch iface;
    ASSERT_TRUE(std::regex_search(
        idl, iface,
        std::regex(
            R"re(uuid\(([0-9A-Fa-f-]+)\),\s*helpstring\("([^"]*)"\)[^\]]*\]\s*interface\s+IM4350Cfg)re")));
    EXPECT_EQ(library[5], "m4350PROXYLib");
    EXPECT_EQ(iface[2], "IM4350Cfg Interface");
    EXPECT_EQ(iface[1], host::com::Narrow(GuidText(IID_IM4350Cfg).substr(1, 36).c_str()));

    ITypeLib* typeLib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(ProxyModule.c_str(), REGKIND_NONE, &typeLib), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(typeLib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(host::com::Narrow(GuidText(attr->guid).substr(1, 36).c_str()), library[1].str());
    EXPECT_EQ(attr->wMajorVerNum, std::stoi(library[2]));
    EXPECT_EQ(attr->wMinorVerNum, std::stoi(library[3]));
    typeLib->ReleaseTLibAttr(attr);
    typeLib->Release();
    Register();
    EXPECT_EQ(
        host::com::Narrow(host::RegistryGetString(
                              L"HKCR\\TypeLib\\" + GuidText(LIBID_m4350PROXYLib) + L"\\1.0", L"")
                              .value_or(L"")
                              .c_str()),
        library[4].str());
}

} // namespace
