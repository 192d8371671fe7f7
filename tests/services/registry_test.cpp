// The kernel's Rtl registry calls and the hive's file.
#include "services_test.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const wchar_t Parameters[] = L"m4350av\\Parameters";

std::wstring ParametersKey() {
    return host::ServiceKeyPath(Parameters);
}

// One direct DWORD query, the way a driver reads a parameter.
NTSTATUS QueryDword(PRTL_QUERY_REGISTRY_VALUES query, PCWSTR path, PCWSTR name, ULONG& result,
                    ULONG defaultType = REG_DWORD, ULONG defaultValue = 0, ULONG flags = 0,
                    ULONG relativeTo = RTL_REGISTRY_SERVICES) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = &result;
    table[0].DefaultType = defaultType;
    table[0].DefaultData = &defaultValue;
    table[0].DefaultLength = sizeof(defaultValue);
    return query(relativeTo, path, table, nullptr, nullptr);
}

std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RegistryQuery : public ServicesTest,
                      public ::testing::WithParamInterface<PRTL_QUERY_REGISTRY_VALUES> {};

TEST_P(RegistryQuery, AbsentValueTakesTheDefault) {
    host::RegistryCreateKey(ParametersKey());
    ULONG result = 99;
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result, REG_DWORD, 7),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 7u);
}

TEST_P(RegistryQuery, AbsentValueWithoutDefaultStaysUntouched) {
    host::RegistryCreateKey(ParametersKey());
    ULONG result = 99;
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result, REG_NONE),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 99u);
}

TEST_P(RegistryQuery, PresentValueIsRead) {
    host::SetServiceDword(Parameters, L"FixedStandard", 2);
    ULONG result = 0;
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result), STATUS_SUCCESS);
    EXPECT_EQ(result, 2u);
}

TEST_P(RegistryQuery, NamesCompareWithoutCase) {
    host::RegistrySetDword(host::ServiceKeyPath(L"M4350AV\\PARAMETERS"), L"FIXEDSTANDARD", 5);
    ULONG result = 0;
    EXPECT_EQ(QueryDword(GetParam(), L"m4350av\\parameters", L"fixedStandard", result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 5u);
    // Writing under another spelling changes the same value, and the key
    // keeps the spelling it was created with.
    ULONG value = 6;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"M4350av\\Parameters", L"FixedSTANDARD",
                                    REG_DWORD, &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(host::GetServiceDword(L"m4350av\\parameters", L"fixedstandard"), 6u);
    EXPECT_NE(ReadText(host::RegistryFilePath()).find("\\M4350AV\\PARAMETERS]"), std::string::npos);
}

TEST_P(RegistryQuery, MissingKey) {
    ULONG result = 99;
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result, REG_DWORD, 7),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 99u);
    // An optional key reads as an empty one.
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result, REG_DWORD, 7, 0,
                         RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 7u);
}

TEST_P(RegistryQuery, RequiredValueMissing) {
    host::RegistryCreateKey(ParametersKey());
    ULONG result = 99;
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result, REG_DWORD, 7,
                         RTL_QUERY_REGISTRY_REQUIRED),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 99u);
}

TEST_P(RegistryQuery, TypeCheckRefusesAnotherType) {
    host::RegistrySetString(ParametersKey(), L"FixedStandard", L"a string");
    ULONG result = 99;
    const ULONG typed = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"FixedStandard", result, typed, 0,
                         RTL_QUERY_REGISTRY_TYPECHECK),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(result, 99u);
    // An absent value still takes the default with the type check on.
    EXPECT_EQ(QueryDword(GetParam(), Parameters, L"PALDefault", result, typed, 3,
                         RTL_QUERY_REGISTRY_TYPECHECK),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 3u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEx, RegistryQuery,
                         ::testing::Values(&RtlQueryRegistryValues, &RtlQueryRegistryValuesEx));

using RegistryDirect = ServicesTest;

TEST_F(RegistryDirect, StringIntoCallerBufferOrPool) {
    host::RegistrySetString(ParametersKey(), L"Name", L"board");
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    UNICODE_STRING value = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"Name");
    table[0].EntryContext = &value;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_NE(value.Buffer, nullptr);
    EXPECT_EQ(std::wstring(value.Buffer, value.Length / sizeof(WCHAR)), L"board");
    EXPECT_EQ(value.Buffer[value.Length / sizeof(WCHAR)], L'\0');
    RtlFreeUnicodeString(&value);

    WCHAR small[3];
    value.Buffer = small;
    value.Length = 0;
    value.MaximumLength = sizeof(small);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RegistryDirect, LargeBinaryHonoursTheSizeWord) {
    const uint8_t blob[6] = {1, 2, 3, 4, 5, 6};
    host::RegistrySetValue(ParametersKey(), L"Blob", REG_BINARY, blob, sizeof(blob));
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"Blob");

    // Negative size: the data alone.
    uint8_t dataOnly[8];
    const LONG negative = -static_cast<LONG>(sizeof(dataOnly));
    memcpy(dataOnly, &negative, sizeof(negative));
    table[0].EntryContext = dataOnly;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(memcmp(dataOnly, blob, sizeof(blob)), 0);

    // Positive size: length and type words, then the data.
    uint8_t withHeader[16];
    const LONG positive = sizeof(withHeader);
    memcpy(withHeader, &positive, sizeof(positive));
    table[0].EntryContext = withHeader;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, nullptr, nullptr),
              STATUS_SUCCESS);
    ULONG header[2];
    memcpy(header, withHeader, sizeof(header));
    EXPECT_EQ(header[0], sizeof(blob));
    EXPECT_EQ(header[1], static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(memcmp(withHeader + 8, blob, sizeof(blob)), 0);

    // Too small either way.
    const LONG tooSmall = -5;
    memcpy(dataOnly, &tooSmall, sizeof(tooSmall));
    table[0].EntryContext = dataOnly;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
}

struct Call {
    std::wstring name;
    ULONG type;
    std::vector<uint8_t> data;
};

NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                      PVOID entryContext) {
    auto* calls = static_cast<std::vector<Call>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    calls->push_back(
        {name ? name : L"<null>", type,
         bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{}});
    return entryContext ? *static_cast<NTSTATUS*>(entryContext) : STATUS_SUCCESS;
}

std::wstring Text(const Call& call) {
    return std::wstring(reinterpret_cast<const wchar_t*>(call.data.data()),
                        call.data.size() / sizeof(wchar_t));
}

using RegistryRoutine = ServicesTest;

TEST_F(RegistryRoutine, MultiStringIsSplitUnlessNoExpand) {
    const wchar_t list[] = L"one\0two\0";
    host::RegistrySetValue(ParametersKey(), L"List", REG_MULTI_SZ, list, sizeof(list));
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Record;
    table[0].Name = const_cast<PWSTR>(L"list");
    std::vector<Call> calls;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, &calls, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(Text(calls[0]), std::wstring(L"one", 4));
    EXPECT_EQ(Text(calls[1]), std::wstring(L"two", 4));

    calls.clear();
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, &calls, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(Text(calls[0]), std::wstring(list, 9));
}

TEST_F(RegistryRoutine, ExpandStringUsesTheEnvironment) {
    host::RegistrySetString(ParametersKey(), L"Path", L"%SystemRoot%\\x;%Unknown%;%Board%",
                            REG_EXPAND_SZ);
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Record;
    table[0].Name = const_cast<PWSTR>(L"Path");
    std::vector<Call> calls;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, &calls, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].type, static_cast<ULONG>(REG_SZ));
    const std::wstring root = host::SystemRoot().wstring();
    EXPECT_EQ(Text(calls[0]), root + L"\\x;%Unknown%;%Board%" + std::wstring(1, L'\0'));

    const wchar_t environment[] = L"Board=b1\0\0";
    calls.clear();
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, &calls,
                                     const_cast<wchar_t*>(environment)),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(calls[0]), std::wstring(L"%SystemRoot%\\x;%Unknown%;b1", 28));
}

TEST_F(RegistryRoutine, WholeKeyAndFailingRoutine) {
    host::SetServiceDword(Parameters, L"A", 1);
    host::SetServiceDword(Parameters, L"B", 2);
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = Record;
    std::vector<Call> calls;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, &calls, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, L"A");
    EXPECT_EQ(calls[1].name, L"B");

    NTSTATUS failure = STATUS_INSUFFICIENT_RESOURCES;
    table[0].EntryContext = &failure;
    calls.clear();
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Parameters, table, &calls, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(RegistryRoutine, DeleteFlagRemovesTheValueAfterReading) {
    host::SetServiceDword(Parameters, L"Once", 4);
    ULONG result = 0;
    EXPECT_EQ(QueryDword(RtlQueryRegistryValues, Parameters, L"Once", result, REG_DWORD, 0,
                         RTL_QUERY_REGISTRY_DELETE),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 4u);
    EXPECT_FALSE(host::GetServiceDword(Parameters, L"Once"));
}

using RegistryWrite = ServicesTest;

TEST_F(RegistryWrite, CreatesTheKeysAlongThePath) {
    ULONG value = 2;
    EXPECT_FALSE(host::RegistryKeyExists(host::ServiceKeyPath(L"m4350av")));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, Parameters, L"FixedStandard", REG_DWORD,
                                    &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(host::GetServiceDword(Parameters, L"FixedStandard"), 2u);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(Parameters)),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"m4350av\\Other")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"m4350av\\Other")),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"m4350av\\Other")),
              STATUS_SUCCESS);
}

TEST_F(RegistryWrite, ValueIsVisibleToTheNextReadAndSurvivesAReload) {
    ULONG value = 2;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, Parameters, L"FixedStandard", REG_DWORD,
                                    &value, sizeof(value)),
              STATUS_SUCCESS);
    ULONG result = 0;
    EXPECT_EQ(QueryDword(RtlQueryRegistryValues, Parameters, L"FixedStandard", result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 2u);

    std::string error;
    ASSERT_TRUE(host::ReloadRegistry(&error)) << error;
    result = 0;
    EXPECT_EQ(QueryDword(RtlQueryRegistryValues, Parameters, L"FixedStandard", result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 2u);
    EXPECT_NE(ReadText(host::RegistryFilePath()).find("\"FixedStandard\"=dword:00000002"),
              std::string::npos);
}

TEST_F(RegistryWrite, BadArguments) {
    ULONG value = 1;
    const struct {
        ULONG relativeTo;
        PCWSTR path;
        NTSTATUS expected;
    } cases[] = {
        {RTL_REGISTRY_ABSOLUTE, L"Machine\\x", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {RTL_REGISTRY_ABSOLUTE, L"\\Device\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {RTL_REGISTRY_SERVICES, L"a\\\\b", STATUS_OBJECT_NAME_INVALID},
        {RTL_REGISTRY_MAXIMUM, L"x", STATUS_INVALID_PARAMETER},
        {RTL_REGISTRY_HANDLE, L"x", STATUS_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            RtlWriteRegistryValue(c.relativeTo, c.path, L"v", REG_DWORD, &value, sizeof(value)),
            c.expected)
            << static_cast<const void*>(c.path);
    }
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"", L"v", REG_DWORD, nullptr, 4),
              STATUS_INVALID_PARAMETER);
}

using RegistryFile = ServicesTest;

// Every type and awkward strings come back byte for byte from the file.
TEST_F(RegistryFile, RoundTripsEveryType) {
    const std::wstring key = host::ServiceKeyPath(L"m4350av\\Round \"trip\"");
    const uint32_t dword = 0xC000009D;
    const uint64_t qword = 0x0123456789ABCDEFull;
    const std::wstring awkward = L"quote\" back\\slash\nline\ttab\x01 é ünï \u4e2d";
    const wchar_t multi[] = L"first\0sec\"ond\0";
    const uint8_t binary[] = {0x00, 0xFF, 0x10};
    const uint8_t oddDword[] = {1, 2}; // a REG_DWORD of the wrong size keeps its bytes
    host::RegistrySetValue(key, L"dword", REG_DWORD, &dword, sizeof(dword));
    host::RegistrySetValue(key, L"qword", REG_QWORD, &qword, sizeof(qword));
    host::RegistrySetString(key, L"sz", awkward);
    host::RegistrySetString(key, L"expand", L"%SystemRoot%", REG_EXPAND_SZ);
    host::RegistrySetString(key, L"", L"default value");
    host::RegistrySetString(key, L"empty", L"");
    host::RegistrySetValue(key, L"multi", REG_MULTI_SZ, multi, sizeof(multi));
    host::RegistrySetValue(key, L"binary", REG_BINARY, binary, sizeof(binary));
    host::RegistrySetValue(key, L"none", REG_NONE, nullptr, 0);
    host::RegistrySetValue(key, L"odd", REG_DWORD, oddDword, sizeof(oddDword));
    host::RegistrySetValue(key, awkward, REG_LINK, binary, sizeof(binary));
    host::RegistryCreateKey(key + L"\\Empty subkey");
    host::RegistrySetDword(L"\\Registry", L"On the root", 1);

    const wchar_t* names[] = {L"dword", L"qword", L"sz",     L"expand", L"",
                              L"empty", L"multi", L"binary", L"none",   L"odd"};
    std::vector<host::RegistryValue> before;
    for (const auto* name : names) {
        before.push_back(*host::RegistryGetValue(key, name));
    }
    before.push_back(*host::RegistryGetValue(key, awkward));

    std::string error;
    ASSERT_TRUE(host::ReloadRegistry(&error)) << error;
    for (size_t i = 0; i < before.size(); ++i) {
        const auto after = host::RegistryGetValue(key, i < std::size(names) ? names[i] : awkward);
        ASSERT_TRUE(after) << i;
        EXPECT_EQ(after->type, before[i].type) << i;
        EXPECT_EQ(after->data, before[i].data) << i;
    }
    EXPECT_TRUE(host::RegistryKeyExists(key + L"\\empty SUBKEY"));
    EXPECT_EQ(host::RegistryGetDword(L"\\Registry", L"on the root"), 1u);
    EXPECT_EQ(host::RegistryGetString(key, L"sz"), awkward);
}

TEST_F(RegistryFile, HandEditedFileIsReadAndBadLinesAreReported) {
    {
        std::ofstream out(host::RegistryFilePath(), std::ios::trunc);
        out << "# edited by hand\n"
               "[\\Registry\\Machine\\System\\CurrentControlSet\\Services\\m4350av\\Parameters]\n"
               "\"FixedStandard\"=dword:00000001\n"
               "\"Broken\"=dword:xyz\n"
               "\"Name\" = sz:\"caf\\u{e9}\"\n"
               "[not a registry path]\n"
               "\"Orphan\"=dword:00000001\n";
    }
    std::string error;
    EXPECT_FALSE(host::ReloadRegistry(&error));
    EXPECT_NE(error.find("line 4"), std::string::npos) << error;
    EXPECT_NE(error.find("line 6"), std::string::npos) << error;
    EXPECT_NE(error.find("line 7"), std::string::npos) << error;
    EXPECT_EQ(host::GetServiceDword(Parameters, L"FixedStandard"), 1u);
    EXPECT_EQ(host::RegistryGetString(ParametersKey(), L"Name"), L"caf\u00e9");
    // The standard keys are there even though the file lacked them.
    EXPECT_TRUE(host::RegistryKeyExists(L"HKCR"));
}

TEST_F(RegistryFile, EachSystemRootHasItsOwnHive) {
    host::SetServiceDword(Parameters, L"FixedStandard", 1);
    const auto first = host::SystemRoot();
    const auto second = root_ / "other";
    host::SetSystemRoot(second);
    EXPECT_TRUE(std::filesystem::exists(second / "system32" / "drivers"));
    EXPECT_FALSE(host::GetServiceDword(Parameters, L"FixedStandard"));
    host::SetSystemRoot(first);
    EXPECT_EQ(host::GetServiceDword(Parameters, L"FixedStandard"), 1u);
}

TEST_F(RegistryFile, ConcurrentWritersLoseNothing) {
    host::RegistryCreateKey(host::ServiceKeyPath(L"m4350av"));
    constexpr int Threads = 4;
    constexpr int PerThread = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < PerThread; ++i) {
                const std::wstring name = L"v" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                ULONG value = static_cast<ULONG>(t * 1000 + i);
                RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, Parameters, name.c_str(), REG_DWORD,
                                      &value, sizeof(value));
                ULONG read = 0;
                QueryDword(RtlQueryRegistryValues, Parameters, name.c_str(), read);
                EXPECT_EQ(read, value);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(host::ReloadRegistry());
    for (int t = 0; t < Threads; ++t) {
        for (int i = 0; i < PerThread; ++i) {
            const std::wstring name = L"v" + std::to_wstring(t) + L"_" + std::to_wstring(i);
            EXPECT_EQ(host::GetServiceDword(Parameters, name), static_cast<uint32_t>(t * 1000 + i));
        }
    }
}

using SystemRoutine = ServicesTest;

// The driver's way of reading a parameter: the Ex routine when the system
// has it, else the plain one.
ULONG QueryParameterLikeADriver(PCWSTR name) {
    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, L"RtlQueryRegistryValuesEx");
    auto query = reinterpret_cast<PRTL_QUERY_REGISTRY_VALUES>(MmGetSystemRoutineAddress(&routine));
    ULONG result = 0;
    const NTSTATUS status =
        QueryDword(query ? query : &RtlQueryRegistryValues, Parameters, name, result);
    return NT_SUCCESS(status) ? result : 0;
}

TEST_F(SystemRoutine, QueryExCanBeWithdrawn) {
    host::SetServiceDword(Parameters, L"FixedStandard", 2);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RtlQueryRegistryValuesEx");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&RtlQueryRegistryValuesEx));
    EXPECT_EQ(QueryParameterLikeADriver(L"FixedStandard"), 2u);
    EXPECT_EQ(host::RegistryQueryCallCount().ex, 1u);

    host::SetRtlQueryRegistryValuesExAvailable(false);
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
    EXPECT_EQ(QueryParameterLikeADriver(L"FixedStandard"), 2u);
    EXPECT_EQ(host::RegistryQueryCallCount().plain, 1u);
    EXPECT_EQ(host::RegistryQueryCallCount().ex, 1u);

    host::ResetSystemRoutines();
    EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
}

TEST_F(SystemRoutine, NamesMatchExactly) {
    for (const auto* unknown : {L"rtlqueryregistryvaluesex", L"RtlQueryRegistryValuesExx", L""}) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, unknown);
        EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ZwCreateFile");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&ZwCreateFile));
}

} // namespace
