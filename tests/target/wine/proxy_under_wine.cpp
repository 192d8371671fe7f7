// m4350proxy.ax under a real COM runtime (Wine): registration, aggregation
// under an outer object that answers IKsObject, the six methods' requests as
// the streaming proxy receives them, and unregistration.
//
//   proxy_under_wine lifecycle <m4350proxy.ax>  register, use, unregister in-process
//   proxy_under_wine registered <m4350proxy.ax> the registration is in place (regsvr32)
//   proxy_under_wine unregistered               the registration is gone, its parents stay
//
// The stand-in ksproxy.ax beside this program records each request (see
// ksproxy_standin.h). Prints one line per failed check; exits 1 on any.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <initializer_list>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "inf_registration.h"
#include "ksproxy_standin.h"

// The interface as its callers see it: IUnknown, then six methods in slot
// order. Declared outside the anonymous namespace: the implementations live in
// other modules, and the compiler must not assume it sees every derived class.
struct IM4350Cfg : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetAttr(ULONG channel, ULONG attribute, LONG value,
                                              LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttr(ULONG channel, ULONG attribute, LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdateEeprom(ULONG magic, BYTE* data, ULONG length) = 0;
    virtual HRESULT STDMETHODCALLTYPE VerifyEeprom(ULONG magic, BYTE* data, ULONG length) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVersion(ULONG selector, ULONG* version) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSerial(ULONG* serial) = 0;
};

struct IKsObject : IUnknown {
    virtual HANDLE STDMETHODCALLTYPE KsGetObjectHandle() = 0;
};

namespace {

int failures = 0;

#define CHECK(condition, ...)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ++failures;                                                                            \
            printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #condition);                            \
            printf(__VA_ARGS__);                                                                   \
            printf("\n");                                                                          \
        }                                                                                          \
    } while (0)

// The identifiers the plug-in is known by.
const GUID ClsidM4350Cfg = {
    0xC9C5121F, 0x0B7F, 0x4694, {0x90, 0x90, 0x21, 0x77, 0xD0, 0x3A, 0x07, 0x20}};
const GUID IidIM4350Cfg = {
    0xD4AC87BC, 0x5FC5, 0x4CCB, {0x96, 0x8D, 0xD6, 0x15, 0x77, 0x80, 0xC0, 0xDA}};
const GUID LibidM4350Proxy = {
    0x53032719, 0xB20C, 0x4261, {0xBA, 0x0E, 0x5C, 0x4E, 0xFA, 0x50, 0xAD, 0x41}};
const GUID IidIKsObject = {
    0x423C13A2, 0x2070, 0x11D0, {0x9E, 0xF7, 0x00, 0xAA, 0x00, 0xA2, 0x16, 0xA1}};
const wchar_t ClsidText[] = L"{C9C5121F-0B7F-4694-9090-2177D03A0720}";
const wchar_t LibidText[] = L"{53032719-B20C-4261-BA0E-5C4EFA50AD41}";

constexpr ULONG IoctlKsMethod = 0x2F000F;
constexpr ULONG KsMethodTypeModify = 3;
constexpr HRESULT PluginRefusal = -1;

// The streaming proxy's filter object as far as the plug-in sees it: it
// answers IKsObject with a filter handle (or, for the refusal case, does
// not), and forwards everything else to the inner object it aggregates.
class OuterFilter : public IKsObject {
public:
    OuterFilter(HANDLE handle, bool answersKsObject)
        : handle_(handle), answersKsObject_(answersKsObject) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) ||
            (answersKsObject_ && IsEqualGUID(iid, IidIKsObject))) {
            *out = static_cast<IKsObject*>(this);
            AddRef();
            return S_OK;
        }
        if (inner)
            return inner->QueryInterface(iid, out);
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&references_); }
    HANDLE STDMETHODCALLTYPE KsGetObjectHandle() override {
        ++handleQueries;
        return handle_;
    }

    LONG references() const { return references_; }

    IUnknown* inner = nullptr;
    int handleQueries = 0;

private:
    HANDLE handle_;
    bool answersKsObject_;
    LONG references_ = 1; // the test's own
};

// ---------------------------------------------------------------------------
// Registry

bool ReadString(HKEY root, const wchar_t* path, const wchar_t* name, wchar_t* out, DWORD chars) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, bytes = chars * sizeof(wchar_t);
    const LONG status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return false;
    out[bytes / sizeof(wchar_t) < chars ? bytes / sizeof(wchar_t) : chars - 1] = 0;
    return true;
}

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

struct ExpectedValue {
    HKEY root;
    const wchar_t* path;
    const wchar_t* name; // nullptr: the key's default value
    const wchar_t* text; // nullptr: the module's path
    bool caseInsensitive;
};

#define CLSID_KEY L"CLSID\\{C9C5121F-0B7F-4694-9090-2177D03A0720}"
#define MEDIA_KEY L"SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces"

const ExpectedValue Registration[] = {
    {HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg.1", nullptr, L"M4350Cfg Class", false},
    {HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg.1\\CLSID", nullptr, ClsidText, true},
    {HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg", nullptr, L"M4350Cfg Class", false},
    {HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg\\CLSID", nullptr, ClsidText, true},
    {HKEY_CLASSES_ROOT, CLSID_KEY, nullptr, L"M4350Cfg Class", false},
    {HKEY_CLASSES_ROOT, CLSID_KEY L"\\ProgID", nullptr, L"m4350proxy.M4350Cfg.1", false},
    {HKEY_CLASSES_ROOT, CLSID_KEY L"\\VersionIndependentProgID", nullptr, L"m4350proxy.M4350Cfg",
     false},
    {HKEY_CLASSES_ROOT, CLSID_KEY L"\\InprocServer32", nullptr, nullptr, true},
    {HKEY_CLASSES_ROOT, CLSID_KEY L"\\InprocServer32", L"ThreadingModel", L"both", false},
    {HKEY_LOCAL_MACHINE, MEDIA_KEY L"\\{C9C5121F-0B7F-4694-9090-2177D03A0720}", nullptr,
     L"m4350 AVStream Driver Usermode Proxy", false},
};

// The keys registration creates and unregistration removes, and the parents
// that must outlive it.
const struct {
    HKEY root;
    const wchar_t* path;
} OwnKeys[] =
    {
        {HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg.1"},
        {HKEY_CLASSES_ROOT, L"m4350proxy.M4350Cfg"},
        {HKEY_CLASSES_ROOT, CLSID_KEY},
        {HKEY_LOCAL_MACHINE, MEDIA_KEY L"\\{C9C5121F-0B7F-4694-9090-2177D03A0720}"},
        {HKEY_CLASSES_ROOT, L"TypeLib\\{53032719-B20C-4261-BA0E-5C4EFA50AD41}"},
},
  ParentKeys[] = {
      {HKEY_CLASSES_ROOT, L"CLSID"},
      {HKEY_CLASSES_ROOT, L"TypeLib"},
      {HKEY_LOCAL_MACHINE, MEDIA_KEY},
};

void CheckRegistered(const wchar_t* module) {
    for (const ExpectedValue& v : Registration) {
        wchar_t text[MAX_PATH * 2] = {};
        const bool found = ReadString(v.root, v.path, v.name, text, MAX_PATH * 2);
        const wchar_t* want = v.text ? v.text : module;
        CHECK(found, "%ls [%ls] missing", v.path, v.name ? v.name : L"(default)");
        if (found) {
            const bool same =
                v.caseInsensitive ? _wcsicmp(text, want) == 0 : wcscmp(text, want) == 0;
            CHECK(same, "%ls [%ls] is \"%ls\", expected \"%ls\"", v.path,
                  v.name ? v.name : L"(default)", text, want);
        }
    }

    // The type library: registered under its LIBID and version, loadable, and
    // naming the library and interface as the module declares them.
    wchar_t text[MAX_PATH] = {};
    CHECK(ReadString(HKEY_CLASSES_ROOT, L"TypeLib\\{53032719-B20C-4261-BA0E-5C4EFA50AD41}\\1.0",
                     nullptr, text, MAX_PATH) &&
              wcscmp(text, L"m4350proxy 1.0 Type Library") == 0,
          "type library 1.0 registration reads \"%ls\"", text);
    ITypeLib* library = nullptr;
    const HRESULT hr = LoadRegTypeLib(LibidM4350Proxy, 1, 0, LOCALE_NEUTRAL, &library);
    CHECK(SUCCEEDED(hr) && library, "LoadRegTypeLib: 0x%08lx", (unsigned long)hr);
    if (library) {
        BSTR name = nullptr;
        CHECK(SUCCEEDED(library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr)) && name &&
                  wcscmp(name, L"m4350PROXYLib") == 0,
              "library name \"%ls\"", name ? name : L"");
        SysFreeString(name);
        ITypeInfo* info = nullptr;
        CHECK(SUCCEEDED(library->GetTypeInfoOfGuid(IidIM4350Cfg, &info)) && info,
              "the type library does not declare IM4350Cfg");
        if (info) {
            BSTR help = nullptr;
            CHECK(
                SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr)) &&
                    help && wcscmp(help, L"IM4350Cfg Interface") == 0,
                "interface help string \"%ls\"", help ? help : L"");
            SysFreeString(help);
            info->Release();
        }
        library->Release();
    }
}

void CheckUnregistered() {
    for (const auto& key : OwnKeys)
        CHECK(!KeyExists(key.root, key.path), "%ls still exists", key.path);
    for (const auto& key : ParentKeys)
        CHECK(KeyExists(key.root, key.path), "parent %ls was removed", key.path);
}

// ---------------------------------------------------------------------------
// Requests

StandInState* StandIn() {
    HMODULE standIn = GetModuleHandleW(L"ksproxy.ax");
    auto stateOf = standIn ? reinterpret_cast<StandInStateRoutine>(
                                 reinterpret_cast<void*>(GetProcAddress(standIn, "StandInStateOf")))
                           : nullptr;
    return stateOf ? stateOf() : nullptr;
}

ULONG Word(const StandInCall& call, ULONG offset) {
    ULONG value;
    memcpy(&value, call.request + offset, sizeof value);
    return value;
}

// Every request: the filter's handle, IOCTL_KS_METHOD, one buffer as both
// input and output of the given size, the method set's header.
void CheckRequest(StandInState* s, HANDLE filter, ULONG method, ULONG size, const char* what) {
    const StandInCall& call = s->last;
    CHECK(s->calls == 1, "%s: %ld requests, expected 1", what, s->calls);
    CHECK(call.handle == filter, "%s: handle %p, expected the filter's %p", what, call.handle,
          filter);
    CHECK(call.ioControl == IoctlKsMethod, "%s: control code 0x%lx", what, call.ioControl);
    CHECK(call.inLength == size && call.outLength == size, "%s: lengths %lu/%lu, expected %lu",
          what, call.inLength, call.outLength, size);
    CHECK(call.inBuffer && call.inBuffer == call.outBuffer,
          "%s: input and output are not one buffer", what);
    CHECK(memcmp(call.request, &ClsidM4350Cfg, sizeof(GUID)) == 0, "%s: set is not the device's",
          what);
    CHECK(Word(call, 16) == method, "%s: method id %lu, expected %lu", what, Word(call, 16),
          method);
    CHECK(Word(call, 20) == KsMethodTypeModify, "%s: flags %lu", what, Word(call, 20));
}

void Prepare(StandInState* s, HRESULT result, LONG word, BOOL leaveReply = FALSE) {
    s->calls = 0;
    s->answerResult = result;
    s->answerWord = word;
    s->leaveReply = leaveReply;
}

constexpr HRESULT DeviceFailure = HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);

void CheckMethods(IM4350Cfg* cfg, StandInState* s, HANDLE filter) {
    // Set and get attribute: channel, attribute and value words; the answer
    // word comes back whenever a place for it is given, also after a failure.
    struct {
        HRESULT answer;
        LONG word;
        bool giveResult;
    } sets[] = {{S_OK, 1, true}, {S_OK, 0, false}, {DeviceFailure, 0, true}};
    for (const auto& c : sets) {
        Prepare(s, c.answer, c.word);
        LONG result = 0x5A5A;
        const HRESULT hr = cfg->SetAttr(2, 4, -7, c.giveResult ? &result : nullptr);
        CheckRequest(s, filter, 0, 40, "SetAttr");
        CHECK(hr == c.answer, "SetAttr returned 0x%08lx, expected 0x%08lx", (unsigned long)hr,
              (unsigned long)c.answer);
        CHECK(Word(s->last, 24) == 2 && Word(s->last, 28) == 4 && (LONG)Word(s->last, 32) == -7,
              "SetAttr words %lu %lu %ld", Word(s->last, 24), Word(s->last, 28),
              (LONG)Word(s->last, 32));
        if (c.giveResult && SUCCEEDED(c.answer))
            CHECK(result == c.word, "SetAttr result %ld, expected %ld", result, c.word);
    }

    struct {
        HRESULT answer;
        LONG word;
        BOOL leaveReply;
        LONG expected;
    } gets[] = {
        {S_OK, -3, FALSE, -3},          // the driver's value
        {S_OK, 0, TRUE, 205},           // an attribute the driver does not answer
        {DeviceFailure, 9, FALSE, 205}, // a failed request still copies the word back
    };
    for (const auto& c : gets) {
        Prepare(s, c.answer, c.word, c.leaveReply);
        LONG value = 0;
        const HRESULT hr = cfg->GetAttr(3, 5, &value);
        CheckRequest(s, filter, 1, 40, "GetAttr");
        CHECK(Word(s->last, 24) == 3 && Word(s->last, 28) == 5 && Word(s->last, 32) == 205,
              "GetAttr words %lu %lu %lu", Word(s->last, 24), Word(s->last, 28), Word(s->last, 32));
        CHECK(hr == c.answer, "GetAttr returned 0x%08lx", (unsigned long)hr);
        CHECK(value == c.expected, "GetAttr value %ld, expected %ld", value, c.expected);
    }
    Prepare(s, S_OK, 1);
    CHECK(SUCCEEDED(cfg->GetAttr(1, 0, nullptr)) && s->calls == 1, "GetAttr without a value");

    // EEPROM: magic, the data at 28 and the length at 8220; at most 8192
    // bytes, refused before anything is sent above that.
    static BYTE data[8193];
    for (ULONG i = 0; i < sizeof data; ++i)
        data[i] = (BYTE)(i * 7 + 1);
    struct {
        ULONG method;
        ULONG size;
        ULONG length;
        HRESULT answer;
        LONG resultWord;
        HRESULT expected;
    } eeproms[] = {
        {5, 8224, 8192, S_OK, 0, S_OK},
        {5, 8224, 3, DeviceFailure, 0, DeviceFailure},
        {6, 8232, 8192, S_OK, 0, S_OK},
        {6, 8232, 16, S_OK, 1, PluginRefusal}, // a mismatch the driver reports
        {6, 8232, 16, DeviceFailure, 0, DeviceFailure},
    };
    for (const auto& c : eeproms) {
        Prepare(s, c.answer, c.resultWord);
        const HRESULT hr = c.method == 5 ? cfg->UpdateEeprom(43501, data, c.length)
                                         : cfg->VerifyEeprom(43501, data, c.length);
        const char* what = c.method == 5 ? "UpdateEeprom" : "VerifyEeprom";
        CheckRequest(s, filter, c.method, c.size, what);
        CHECK(hr == c.expected, "%s(%lu) returned 0x%08lx, expected 0x%08lx", what, c.length,
              (unsigned long)hr, (unsigned long)c.expected);
        CHECK(Word(s->last, 24) == 43501 && Word(s->last, 8220) == c.length,
              "%s magic %lu length %lu", what, Word(s->last, 24), Word(s->last, 8220));
        CHECK(memcmp(s->last.request + 28, data, c.length) == 0, "%s data not copied", what);
    }
    for (const ULONG method : {5ul, 6ul}) {
        Prepare(s, S_OK, 0);
        const HRESULT hr = method == 5 ? cfg->UpdateEeprom(43501, data, 8193)
                                       : cfg->VerifyEeprom(43501, data, 8193);
        CHECK(hr == PluginRefusal && s->calls == 0,
              "EEPROM method %lu with 8193 bytes: 0x%08lx, "
              "%ld requests",
              method, (unsigned long)hr, s->calls);
    }

    // Version and serial number: the word is stored on success and 0 on
    // failure; a missing output is refused without a request.
    struct {
        HRESULT answer;
        LONG word;
        ULONG expected;
    } words[] = {{S_OK, 0x01020304, 0x01020304}, {DeviceFailure, 0x77, 0}};
    for (const auto& c : words) {
        Prepare(s, c.answer, c.word);
        ULONG version = 0xFFFF;
        HRESULT hr = cfg->GetVersion(6, &version);
        CheckRequest(s, filter, 7, 32, "GetVersion");
        CHECK(Word(s->last, 24) == 6, "GetVersion selector %lu", Word(s->last, 24));
        CHECK(hr == c.answer && version == c.expected, "GetVersion 0x%08lx version 0x%lx",
              (unsigned long)hr, version);

        Prepare(s, c.answer, c.word);
        ULONG serial = 0xFFFF;
        hr = cfg->GetSerial(&serial);
        CheckRequest(s, filter, 8, 32, "GetSerial");
        CHECK(hr == c.answer && serial == c.expected, "GetSerial 0x%08lx serial 0x%lx",
              (unsigned long)hr, serial);
    }
    Prepare(s, S_OK, 0);
    CHECK(cfg->GetVersion(0, nullptr) == PluginRefusal && s->calls == 0, "GetVersion(null)");
    CHECK(cfg->GetSerial(nullptr) == PluginRefusal && s->calls == 0, "GetSerial(null)");
}

// ---------------------------------------------------------------------------

typedef HRESULT(STDAPICALLTYPE* ServerRoutine)();

ServerRoutine Export(HMODULE module, const char* name) {
    auto routine =
        reinterpret_cast<ServerRoutine>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    CHECK(routine != nullptr, "%s is not exported", name);
    return routine;
}

void UseAggregated(StandInState* s) {
    HANDLE filter = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4350));
    OuterFilter outer(filter, true);
    IUnknown* inner = nullptr;
    HRESULT hr = CoCreateInstance(ClsidM4350Cfg, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&inner));
    CHECK(SUCCEEDED(hr) && inner, "CoCreateInstance aggregated: 0x%08lx", (unsigned long)hr);
    if (!inner)
        return;
    outer.inner = inner;
    CHECK(outer.handleQueries == 1, "the filter handle was asked for %d times",
          outer.handleQueries);
    CHECK(outer.references() == 1, "the inner object holds %ld references on its outer object",
          outer.references() - 1);

    // Through the outer object, as an application reaches it.
    IM4350Cfg* cfg = nullptr;
    hr = outer.QueryInterface(IidIM4350Cfg, reinterpret_cast<void**>(&cfg));
    CHECK(SUCCEEDED(hr) && cfg, "IM4350Cfg through the filter: 0x%08lx", (unsigned long)hr);
    if (cfg) {
        // Its IUnknown is the outer object's.
        IUnknown* identity = nullptr;
        cfg->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
        CHECK(identity == static_cast<IUnknown*>(static_cast<IKsObject*>(&outer)),
              "IM4350Cfg does not delegate IUnknown to the outer object");
        if (identity)
            identity->Release();
        CheckMethods(cfg, s, filter);
        cfg->Release();
        CHECK(outer.handleQueries == 1, "the handle is asked for again by the methods");
    }
    outer.inner = nullptr;
    CHECK(inner->Release() == 0, "the inner object outlives its last reference");
    CHECK(outer.references() == 1, "references on the outer object left: %ld",
          outer.references() - 1);

    // Outer objects the plug-in cannot work under: one without IKsObject
    // (creation fails with that query's result) and one whose filter handle
    // is null (nothing to talk to).
    struct {
        HANDLE handle;
        bool answersKsObject;
        HRESULT expected;
        const char* what;
    } refusals[] = {
        {filter, false, E_NOINTERFACE, "an outer object without IKsObject"},
        {nullptr, true, E_UNEXPECTED, "a null filter handle"},
    };
    for (const auto& c : refusals) {
        OuterFilter refusing(c.handle, c.answersKsObject);
        inner = nullptr;
        hr = CoCreateInstance(ClsidM4350Cfg, &refusing, CLSCTX_INPROC_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(&inner));
        CHECK(hr == c.expected && !inner, "creation under %s: 0x%08lx", c.what, (unsigned long)hr);
        if (inner)
            inner->Release();
        CHECK(refusing.references() == 1, "creation under %s left %ld references on it", c.what,
              refusing.references() - 1);
    }
}

int Lifecycle(const wchar_t* path) {
    HMODULE module = LoadLibraryW(path);
    CHECK(module != nullptr, "cannot load %ls (error %lu)", path, GetLastError());
    if (!module)
        return 1;
    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(module, modulePath, MAX_PATH);

    StandInState* s = StandIn();
    CHECK(s != nullptr, "the plug-in did not load the stand-in ksproxy.ax (Wine's builtin one?)");
    ServerRoutine registerServer = Export(module, "DllRegisterServer");
    ServerRoutine unregisterServer = Export(module, "DllUnregisterServer");
    ServerRoutine canUnload = Export(module, "DllCanUnloadNow");
    if (!s || !registerServer || !unregisterServer || !canUnload)
        return 1;

    // A registration left by an aborted earlier run would hide the first check.
    if (KeyExists(HKEY_CLASSES_ROOT, CLSID_KEY))
        unregisterServer();
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(ClsidM4350Cfg, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&unknown));
    CHECK(hr == REGDB_E_CLASSNOTREG, "before registration: 0x%08lx", (unsigned long)hr);

    hr = registerServer();
    CHECK(hr == S_OK, "DllRegisterServer: 0x%08lx", (unsigned long)hr);
    CheckRegistered(modulePath);
    hr = registerServer(); // registering again replaces, it does not fail
    CHECK(hr == S_OK, "DllRegisterServer again: 0x%08lx", (unsigned long)hr);
    CheckRegistered(modulePath);

    UseAggregated(s);
    CoFreeUnusedLibraries();
    CHECK(canUnload() == S_OK, "DllCanUnloadNow: objects or locks left");

    hr = unregisterServer();
    CHECK(hr == S_OK, "DllUnregisterServer: 0x%08lx", (unsigned long)hr);
    CheckUnregistered();
    FreeLibrary(module);
    return failures ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        printf("FAIL CoInitializeEx: 0x%08lx\n", (unsigned long)hr);
        return 1;
    }
    int status = 2;
    if (argc == 3 && wcscmp(argv[1], L"lifecycle") == 0) {
        status = Lifecycle(argv[2]);
    } else if (argc == 3 && wcscmp(argv[1], L"registered") == 0) {
        wchar_t full[MAX_PATH] = {};
        GetFullPathNameW(argv[2], MAX_PATH, full, nullptr);
        CheckRegistered(full);
        status = failures ? 1 : 0;
    } else if (argc == 4 && wcscmp(argv[1], L"inf") == 0) {
        status = InfRegistration(argv[2], argv[3]);
    } else if (argc == 2 && wcscmp(argv[1], L"unregistered") == 0) {
        CheckUnregistered();
        status = failures ? 1 : 0;
    } else {
        printf("usage: proxy_under_wine lifecycle|registered <m4350proxy.ax> | unregistered"
               " | inf <m4350proxy.ax> <m4350av.inf>\n");
    }
    CoUninitialize();
    if (status == 0)
        printf("ok\n");
    return status;
}
