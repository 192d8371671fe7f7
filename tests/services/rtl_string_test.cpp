// Counted-string helpers of the run-time library.
#include "services_test.h"

#include <string>

namespace {

using RtlString = ServicesTest;

std::wstring Text(const UNICODE_STRING& s) {
    return std::wstring(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST_F(RtlString, InitCopyAndAppendStayInTheirBuffers) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"m4350av");
    EXPECT_EQ(source.Length, 7 * sizeof(WCHAR));
    EXPECT_EQ(source.MaximumLength, 8 * sizeof(WCHAR));
    RtlInitUnicodeString(&source, nullptr);
    EXPECT_EQ(source.Length, 0);
    EXPECT_EQ(source.Buffer, nullptr);

    WCHAR storage[8];
    for (auto& c : storage) {
        c = L'#';
    }
    UNICODE_STRING target = {0, 5 * sizeof(WCHAR), storage};
    RtlInitUnicodeString(&source, L"m4350av");
    RtlCopyUnicodeString(&target, &source); // truncated to the five that fit
    EXPECT_EQ(Text(target), L"m4350");
    EXPECT_EQ(storage[5], L'#'); // no terminator written past MaximumLength

    target.Length = 0;
    EXPECT_EQ(RtlAppendUnicodeToString(&target, L"ab"), STATUS_SUCCESS);
    EXPECT_EQ(storage[2], L'\0'); // terminated while there is room
    EXPECT_EQ(RtlAppendUnicodeToString(&target, L"cdef"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(target), L"ab"); // unchanged by the refused append
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"cde");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&target, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(target), L"abcde");
    EXPECT_EQ(storage[5], L'#');
}

TEST_F(RtlString, Comparisons) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        bool caseInsensitive;
        bool equal;
        int order;
    } cases[] = {
        {L"Parameters", L"PARAMETERS", true, true, 0},
        {L"Parameters", L"PARAMETERS", false, false, 1},
        {L"abc", L"abd", true, false, -1},
        {L"abc", L"ab", false, false, 1},
        {L"\u00e9t\u00e9", L"\u00c9T\u00c9", true, true, 0},
        {L"\u0434\u0430", L"\u0414\u0410", true, true, 0},
        {L"", L"", false, true, 0},
    };
    for (const auto& c : cases) {
        UNICODE_STRING a, b;
        RtlInitUnicodeString(&a, c.a);
        RtlInitUnicodeString(&b, c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.equal)
            << testing::PrintToString(std::wstring(c.a));
        const LONG order = RtlCompareUnicodeString(&a, &b, c.caseInsensitive);
        EXPECT_EQ((order > 0) - (order < 0), c.order) << testing::PrintToString(std::wstring(c.a));
    }
}

TEST_F(RtlString, StringToInteger) {
    const struct {
        const wchar_t* text;
        ULONG base;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {L"123", 10, STATUS_SUCCESS, 123}, {L"0x1F", 0, STATUS_SUCCESS, 31},
        {L"-5", 10, STATUS_SUCCESS, ~4u},  {L"  42", 0, STATUS_SUCCESS, 42},
        {L"1010", 2, STATUS_SUCCESS, 10},  {L"0b101", 0, STATUS_SUCCESS, 5},
        {L"ff", 16, STATUS_SUCCESS, 255},  {L"12ab", 10, STATUS_SUCCESS, 12},
        {L"", 10, STATUS_SUCCESS, 0},      {L"17", 3, STATUS_INVALID_PARAMETER, 77},
        {L"0o17", 0, STATUS_SUCCESS, 15},  {L"4294967296", 10, STATUS_SUCCESS, 0},
    };
    for (const auto& c : cases) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, c.text);
        ULONG value = 77;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status)
            << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(value, c.value) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST_F(RtlString, IntegerToString) {
    WCHAR storage[4];
    UNICODE_STRING s = {0, sizeof(storage), storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), L"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), L"1234");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlString, CompareMemoryCountsTheEqualPrefix) {
    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST_F(RtlString, AllocatedConversionsComeFromTaggedPool) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "f4350usb.bin");
    UNICODE_STRING wide = {};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(wide), L"f4350usb.bin");
    EXPECT_EQ(host::PoolLiveCount(host::PoolTag("Strg")), 1u);
    ANSI_STRING back = {};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), "f4350usb.bin");
    RtlFreeAnsiString(&back);
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(host::PoolLiveCount(host::PoolTag("Strg")), 0u);

    host::FailAllocationsWithTag(host::PoolTag("Strg"));
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_NO_MEMORY);
}

} // namespace
