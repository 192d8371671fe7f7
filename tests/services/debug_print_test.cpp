// DbgPrint: Windows printf rules and the debug log.
#include "services_test.h"

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using DbgPrintLog = ServicesTest;

std::string LastEntry() {
    const auto lines = host::DebugLogLines();
    return lines.empty() ? "<empty log>" : lines.back();
}

struct FormatCase {
    const char* expected;
    std::function<void()> print;
};

TEST_F(DbgPrintLog, WindowsFormatRules) {
    static char narrow[] = "narrow text";
    static wchar_t wide[] = L"wide text";
    ANSI_STRING ansi = {6, 12, narrow};                                     // counted: "narrow"
    UNICODE_STRING unicode = {4 * sizeof(WCHAR), 10 * sizeof(WCHAR), wide}; // "wide"
    UNICODE_STRING empty = {0, 0, nullptr};

    const FormatCase cases[] = {
        {"c000009d abc", [] { DbgPrint("%lx %S", (LONG)0xC000009D, L"abc"); }},
        // 'l' is 32 bits: a negative LONG prints as 8 hex digits.
        {"ffffffff -1 4294967295", [] { DbgPrint("%lx %ld %lu", (LONG)-1, (LONG)-1, (LONG)-1); }},
        {"-5 42 3000000000", [] { DbgPrint("%d %i %u", -5, 42, 3000000000u); }},
        {"ff FF 17", [] { DbgPrint("%x %X %o", 255, 255, 15); }},
        {"FFFFFFFE -7", [] { DbgPrint("%lX %li", (ULONG)0xFFFFFFFE, (LONG)-7); }},
        {"-9000000000 18446744073709551615 123456789abc",
         [] { DbgPrint("%lld %llu %llx", -9000000000LL, ~0ULL, 0x123456789ABCULL); }},
        {"-9000000000 9000000000 1ffffffff",
         [] { DbgPrint("%I64d %I64u %I64x", -9000000000LL, 9000000000ULL, 0x1FFFFFFFFULL); }},
        // The width of one argument never shifts the ones after it.
        {"100000000 5 x", [] { DbgPrint("%I64x %d %s", 0x100000000ULL, 5, "x"); }},
        {"4464 2345", [] { DbgPrint("%hd %hx", 70000, 0x12345); }},
        {"A z", [] { DbgPrint("%c %c", 'A', 'z'); }},
        {"narrow text|wide text|wide",
         [] { DbgPrint("%s|%ws|%ls", narrow, L"wide text", L"wide"); }},
        {"\xc3\xa9t\xc3\xa9 \xe4\xb8\xad", [] { DbgPrint("%S %C", L"\u00e9t\u00e9", L'\u4e2d'); }},
        {"narrow|wide", [&] { DbgPrint("%Z|%wZ", &ansi, &unicode); }},
        {"(null) (null) (null)",
         [&] { DbgPrint("%s %S %wZ", (char*)nullptr, (wchar_t*)nullptr, &empty); }},
        {"0000000000001234 0000000000ABCDEF",
         [] { DbgPrint("%p %p", (void*)0x1234, (void*)0xABCDEF); }},
        {"100% done", [] { DbgPrint("%d%% done", 100); }},
        {"[   42] [42   ] [00042] [+42] [ 42]",
         [] { DbgPrint("[%5d] [%-5d] [%05d] [%+d] [% d]", 42, 42, 42, 42, 42); }},
        {"[-0042] [  -42]", [] { DbgPrint("[%05d] [%5d]", -42, -42); }},
        {"0xff 0XFF 010 0", [] { DbgPrint("%#x %#X %#o %#x", 255, 255, 8, 0); }},
        {"007 [] [   07]", [] { DbgPrint("%.3d [%.0d] [%5.2d]", 7, 0, 7); }},
        {"[   7] [7   ] [ab] [     abc]",
         [] { DbgPrint("[%*d] [%-*d] [%.*s] [%8.3s]", 4, 7, 4, 7, 2, "abcdef", "abcdef"); }},
        {"[    -3]", [] { DbgPrint("[%*d]", 6, -3); }},
        {"[7  ]", [] { DbgPrint("[%*d]", -3, 7); }},
        {"[          0000000000001234]", [] { DbgPrint("[%26p]", (void*)0x1234); }},
        {"3 2.50", [] { DbgPrint("%zu %.2f", (size_t)3, 2.5); }},
        {"%y stays", [] { DbgPrint("%y stays"); }},
        {"trailing %", [] { DbgPrint("trailing %"); }},
    };
    for (const auto& c : cases) {
        c.print();
        EXPECT_EQ(LastEntry(), c.expected);
    }
    EXPECT_EQ(host::DebugLogLines().size(), std::size(cases));
}

TEST_F(DbgPrintLog, OneEntryPerCallWithoutTheFinalNewline) {
    DbgPrint("mx4350: ");
    DbgPrint("Open File : %lx Handle %p", (LONG)0, (void*)nullptr);
    DbgPrint("could not create filter\n");
    DbgPrint("two lines\nin one call\n");
    DbgPrint("blank line after\n\n");
    DbgPrint("m4350: firmware failed in PNPstart. loading again");
    const std::vector<std::string> expected = {
        "mx4350: ",
        "Open File : 0 Handle 0000000000000000",
        "could not create filter",
        "two lines\nin one call",
        "blank line after\n",
        "m4350: firmware failed in PNPstart. loading again",
    };
    EXPECT_EQ(host::DebugLogLines(), expected);
}

TEST_F(DbgPrintLog, CountingAndClearing) {
    for (int i = 0; i < 3; ++i) {
        DbgPrint("create filter %d\n", i);
    }
    DbgPrint("could not create filter\n");
    DbgPrint("could not create filter\n");
    EXPECT_EQ(host::DebugLogCount("could not create filter"), 2u);
    EXPECT_EQ(host::DebugLogCount("could not create"), 0u);
    EXPECT_EQ(host::DebugLogCountContaining("create filter"), 5u);
    EXPECT_EQ(host::DebugLogCountMatching("^create filter [12]$"), 2u);
    EXPECT_THROW(host::DebugLogCountMatching("(unclosed"), std::regex_error);
    host::ClearDebugLog();
    EXPECT_TRUE(host::DebugLogLines().empty());
}

TEST_F(DbgPrintLog, EchoToAFileShowsTheOutputAsPrinted) {
    const auto file = root_ / "debug.txt";
    host::SetDebugEcho(file.string());
    DbgPrint("mx4350: ");
    DbgPrint("Read Status : %lx, Size : %d", (LONG)0, 336);
    DbgPrint("\nsave config\n");
    host::SetDebugEcho("");
    DbgPrint("not echoed\n");
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "mx4350: Read Status : 0, Size : 336\nsave config\n");
}

TEST_F(DbgPrintLog, KeepsTheNewestEntriesUpToItsCapacity) {
    const size_t capacity = host::DebugLogCapacity();
    host::SetDebugLogCapacity(3);
    for (int i = 0; i < 5; ++i) {
        DbgPrint("%d", i);
    }
    host::SetDebugLogCapacity(capacity);
    EXPECT_EQ(host::DebugLogLines(), (std::vector<std::string>{"2", "3", "4"}));
}

TEST_F(DbgPrintLog, DbgPrintExShowsErrorsUnlessTheMaskSaysMore) {
    DbgPrintEx(DPFLTR_IHVSTREAMING_ID, DPFLTR_ERROR_LEVEL, "error %d\n", 1);
    DbgPrintEx(DPFLTR_IHVSTREAMING_ID, DPFLTR_INFO_LEVEL, "info %d\n", 2);
    EXPECT_EQ(host::DebugLogLines(), (std::vector<std::string>{"error 1"}));
    host::SetDbgPrintExMask(0xF);
    DbgPrintEx(DPFLTR_IHVSTREAMING_ID, DPFLTR_INFO_LEVEL, "info %d\n", 3);
    DbgPrintEx(DPFLTR_IHVSTREAMING_ID, DPFLTR_MASK | 0x10, "level 4 only by mask\n");
    host::SetDbgPrintExMask(1u << DPFLTR_ERROR_LEVEL);
    EXPECT_EQ(host::DebugLogLines(), (std::vector<std::string>{"error 1", "info 3"}));
}

TEST_F(DbgPrintLog, WaitsForALineFromAnotherThread) {
    std::thread printer([] { DbgPrint("[m4350av] firmware load pass\n"); });
    EXPECT_TRUE(host::WaitForDebugLog("[m4350av] firmware load pass", 1, std::chrono::seconds(10)));
    printer.join();
    EXPECT_FALSE(host::WaitForDebugLog("never printed", 1, std::chrono::milliseconds(1)));
}

TEST_F(DbgPrintLog, ConcurrentPrintersAtAnyIrql) {
    constexpr int Threads = 4;
    constexpr int PerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            for (int i = 0; i < PerThread; ++i) {
                DbgPrint("thread %d line %d\n", t, i);
            }
            KeLowerIrql(old);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(host::DebugLogCountContaining("thread "), static_cast<size_t>(Threads * PerThread));
    EXPECT_EQ(host::DebugLogCount("thread 3 line 499"), 1u);
}

} // namespace
