// DbgPrint: the kernel debugger's output, kept as an in-memory log that
// tests search, and echoed to stderr or a file on request.
//
// Formatting follows the Windows kernel's printf rules rather than the host
// C library's: 'l' is 32 bits (LONG), 'll' and 'I64' are 64, 'I' is pointer
// sized, %S / %ls / %ws / %C take wide characters, %Z a STRING*, %wZ a
// UNICODE_STRING*, and %p prints 16 upper-case hex digits. Every argument is
// read with exactly the width its conversion names. %n writes nothing.
#include "rtl_text.h"
#include "services_internal.h"

#include <host/services.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <regex>

namespace {

namespace rtl = m4350::rtl;

struct Spec {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1; // none
};

void Pad(std::string& out, const Spec& spec, const std::string& body, size_t bodyWidth) {
    const size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    const size_t fill = width > bodyWidth ? width - bodyWidth : 0;
    if (spec.left) {
        out += body;
        out.append(fill, ' ');
    } else {
        out.append(fill, ' ');
        out += body;
    }
}

void FormatInteger(std::string& out, const Spec& spec, char conversion, bool negative,
                   uint64_t magnitude) {
    unsigned base = 10;
    const char* digitSet = "0123456789abcdef";
    if (conversion == 'x') {
        base = 16;
    } else if (conversion == 'X') {
        base = 16;
        digitSet = "0123456789ABCDEF";
    } else if (conversion == 'o') {
        base = 8;
    }
    std::string digits;
    for (uint64_t v = magnitude; v != 0; v /= base) {
        digits.insert(digits.begin(), digitSet[v % base]);
    }
    if (spec.precision < 0 && digits.empty()) {
        digits = "0";
    }
    if (spec.precision > 0 && digits.size() < static_cast<size_t>(spec.precision)) {
        digits.insert(0, static_cast<size_t>(spec.precision) - digits.size(), '0');
    }
    std::string prefix;
    const bool isSigned = conversion == 'd' || conversion == 'i';
    if (negative) {
        prefix = "-";
    } else if (isSigned && spec.plus) {
        prefix = "+";
    } else if (isSigned && spec.space) {
        prefix = " ";
    }
    if (spec.alternate && magnitude != 0) {
        if (base == 16) {
            prefix += conversion == 'X' ? "0X" : "0x";
        } else if (base == 8 && (digits.empty() || digits[0] != '0')) {
            digits.insert(digits.begin(), '0');
        }
    }
    const size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (spec.zero && !spec.left && spec.precision < 0 && prefix.size() + digits.size() < width) {
        digits.insert(0, width - prefix.size() - digits.size(), '0');
    }
    const std::string body = prefix + digits;
    Pad(out, spec, body, body.size());
}

void FormatNarrow(std::string& out, const Spec& spec, const char* s, size_t available) {
    size_t n = 0;
    const size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : available;
    while (n < limit && n < available && s[n]) {
        ++n;
    }
    Pad(out, spec, std::string(s, n), n);
}

void FormatWide(std::string& out, const Spec& spec, const wchar_t* s, size_t available) {
    size_t n = 0;
    const size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : available;
    while (n < limit && n < available && s[n]) {
        ++n;
    }
    // Width counts characters, not UTF-8 bytes.
    Pad(out, spec, rtl::ToUtf8(std::wstring_view(s, n)), n);
}

// An image's wide text: UTF-16, surrogate pairs joined.
void FormatUtf16(std::string& out, const Spec& spec, const char16_t* s, size_t available) {
    size_t n = 0;
    const size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : available;
    while (n < limit && n < available && s[n]) {
        ++n;
    }
    const std::wstring text = rtl::FromUtf16(std::u16string_view(s, n));
    Pad(out, spec, rtl::ToUtf8(text), text.size());
}

void FormatNull(std::string& out, const Spec& spec) {
    FormatNarrow(out, spec, "(null)", 6);
}

enum class Size { Default, Char, Short, Long32, Long64, Wide };

// The arguments of a host caller: the host's va_list, wide text in WCHAR.
struct HostArgs {
    static constexpr bool kUtf16 = false;
    explicit HostArgs(va_list from) { va_copy(ap, from); }
    ~HostArgs() { va_end(ap); }
    HostArgs(const HostArgs&) = delete;
    HostArgs& operator=(const HostArgs&) = delete;
    template <class T>
    T Next() {
        return va_arg(ap, T);
    }
    va_list ap;
};

// The arguments of a loaded driver image: the Microsoft x64 va_list (every
// argument one 8-byte slot), wide text in UTF-16.
struct ImageArgs {
    static constexpr bool kUtf16 = true;
    explicit ImageArgs(__builtin_ms_va_list from) { __builtin_ms_va_copy(ap, from); }
    ~ImageArgs() { __builtin_ms_va_end(ap); }
    ImageArgs(const ImageArgs&) = delete;
    ImageArgs& operator=(const ImageArgs&) = delete;
    template <class T>
    T Next() {
        return __builtin_va_arg(ap, T);
    }
    __builtin_ms_va_list ap;
};

template <class Args>
std::string FormatText(const char* format, Args& ap) {
    std::string out;
    if (!format) {
        return out;
    }
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        Spec spec;
        for (bool more = true; more && *p;) {
            switch (*p) {
            case '-':
                spec.left = true;
                ++p;
                break;
            case '+':
                spec.plus = true;
                ++p;
                break;
            case ' ':
                spec.space = true;
                ++p;
                break;
            case '#':
                spec.alternate = true;
                ++p;
                break;
            case '0':
                spec.zero = true;
                ++p;
                break;
            default:
                more = false;
            }
        }
        if (*p == '*') {
            const int w = ap.template Next<int>();
            if (w < 0) {
                spec.left = true;
                spec.width = w == INT32_MIN ? INT32_MAX : -w;
            } else {
                spec.width = w;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                spec.width = spec.width > 100000 ? spec.width : spec.width * 10 + (*p - '0');
                ++p;
            }
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                const int v = ap.template Next<int>();
                spec.precision = v < 0 ? -1 : v;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    spec.precision =
                        spec.precision > 100000 ? spec.precision : spec.precision * 10 + (*p - '0');
                    ++p;
                }
            }
        }
        Size size = Size::Default;
        bool wideFlag = false;
        bool narrowFlag = false;
        if (p[0] == 'h' && p[1] == 'h') {
            size = Size::Char;
            p += 2;
        } else if (*p == 'h') {
            size = Size::Short;
            narrowFlag = true;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = Size::Long64;
            p += 2;
        } else if (*p == 'l') {
            size = Size::Long32;
            wideFlag = true;
            ++p;
        } else if (*p == 'w') {
            size = Size::Wide;
            wideFlag = true;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = Size::Long64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            size = Size::Long32;
            p += 3;
        } else if (*p == 'I' || *p == 'z' || *p == 't' || *p == 'j' || *p == 'L') {
            size = Size::Long64;
            ++p;
        }

        const char conversion = *p;
        if (!conversion) {
            out.append(start, p); // an unfinished conversion stays as written
            break;
        }
        ++p;
        switch (conversion) {
        case 'd':
        case 'i': {
            int64_t v;
            switch (size) {
            case Size::Char:
                v = static_cast<signed char>(ap.template Next<int>());
                break;
            case Size::Short:
                v = static_cast<short>(ap.template Next<int>());
                break;
            case Size::Long64:
                v = ap.template Next<long long>();
                break;
            default:
                v = static_cast<int32_t>(ap.template Next<int>());
                break;
            }
            const uint64_t magnitude = v < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(v)
                                             : static_cast<uint64_t>(v);
            FormatInteger(out, spec, conversion, v < 0, magnitude);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t v;
            switch (size) {
            case Size::Char:
                v = static_cast<unsigned char>(ap.template Next<unsigned int>());
                break;
            case Size::Short:
                v = static_cast<unsigned short>(ap.template Next<unsigned int>());
                break;
            case Size::Long64:
                v = ap.template Next<unsigned long long>();
                break;
            default:
                v = static_cast<uint32_t>(ap.template Next<unsigned int>());
                break;
            }
            FormatInteger(out, spec, conversion, false, v);
            break;
        }
        case 'p': {
            const void* v = ap.template Next<void*>();
            char buffer[32];
            snprintf(buffer, sizeof(buffer), "%016llX",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
            Pad(out, spec, buffer, 16);
            break;
        }
        case 'c':
        case 'C': {
            const int v = ap.template Next<int>();
            const bool wide = conversion == 'C' ? !narrowFlag : wideFlag;
            if (wide) {
                const wchar_t c = Args::kUtf16 ? static_cast<wchar_t>(static_cast<char16_t>(v))
                                               : static_cast<wchar_t>(v);
                Pad(out, spec, rtl::ToUtf8(std::wstring_view(&c, 1)), 1);
            } else {
                const char c = static_cast<char>(v);
                Pad(out, spec, std::string(1, c), 1);
            }
            break;
        }
        case 's':
        case 'S': {
            const bool wide = conversion == 'S' ? !narrowFlag : wideFlag;
            if (wide) {
                const auto* s = ap.template Next<const void*>();
                if (!s) {
                    FormatNull(out, spec);
                } else if (Args::kUtf16) {
                    FormatUtf16(out, spec, static_cast<const char16_t*>(s), SIZE_MAX);
                } else {
                    FormatWide(out, spec, static_cast<const wchar_t*>(s), SIZE_MAX);
                }
            } else {
                const auto* s = ap.template Next<const char*>();
                if (!s) {
                    FormatNull(out, spec);
                } else {
                    FormatNarrow(out, spec, s, SIZE_MAX);
                }
            }
            break;
        }
        case 'Z': {
            if (wideFlag) {
                const auto* s = ap.template Next<const UNICODE_STRING*>();
                if (!s || !s->Buffer) {
                    FormatNull(out, spec);
                } else {
                    // A counted string ends at its length, NULs included.
                    const std::wstring chars =
                        Args::kUtf16 ? rtl::FromUtf16(std::u16string_view(
                                           reinterpret_cast<const char16_t*>(s->Buffer),
                                           s->Length / sizeof(char16_t)))
                                     : std::wstring(rtl::View(s));
                    size_t n = chars.size();
                    if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) {
                        n = static_cast<size_t>(spec.precision);
                    }
                    Pad(out, spec, rtl::ToUtf8(chars.substr(0, n)), n);
                }
            } else {
                const auto* s = ap.template Next<const STRING*>();
                if (!s || !s->Buffer) {
                    FormatNull(out, spec);
                } else {
                    size_t n = s->Length;
                    if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) {
                        n = static_cast<size_t>(spec.precision);
                    }
                    Pad(out, spec, std::string(s->Buffer, n), n);
                }
            }
            break;
        }
        case 'n':
            (void)ap.template Next<void*>();
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            const double v = ap.template Next<double>();
            std::string hostSpec = "%";
            hostSpec += spec.left ? "-" : "";
            hostSpec += spec.plus ? "+" : "";
            hostSpec += spec.space ? " " : "";
            hostSpec += spec.alternate ? "#" : "";
            hostSpec += spec.zero ? "0" : "";
            if (spec.width > 0) {
                hostSpec += std::to_string(spec.width);
            }
            if (spec.precision >= 0) {
                hostSpec += "." + std::to_string(spec.precision);
            }
            hostSpec += conversion;
            const int n = snprintf(nullptr, 0, hostSpec.c_str(), v);
            std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
            snprintf(text.data(), text.size() + 1, hostSpec.c_str(), v);
            out += text;
            break;
        }
        case '%':
            out += '%';
            break;
        default:
            // Not a conversion: shown as written, and no argument is taken.
            out.append(start, p);
            break;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// The log
// ---------------------------------------------------------------------------

struct DebugLog {
    std::mutex mutex;
    std::condition_variable added;
    std::deque<std::string> entries;
    size_t capacity = 100000;
    bool echoConfigured = false;
    bool echoStderr = false;
    FILE* echoFile = nullptr;
    uint32_t exMask = 1u << DPFLTR_ERROR_LEVEL;

    ~DebugLog() {
        if (echoFile) {
            fclose(echoFile);
        }
    }
};

DebugLog& Log() {
    static DebugLog log;
    return log;
}

// With the log's lock held.
void ConfigureEcho(DebugLog& log, const std::string& target) {
    if (log.echoFile) {
        fclose(log.echoFile);
        log.echoFile = nullptr;
    }
    log.echoStderr = false;
    log.echoConfigured = true;
    if (target.empty()) {
        return;
    }
    if (target == "stderr") {
        log.echoStderr = true;
        return;
    }
    log.echoFile = fopen(target.c_str(), "a");
    if (!log.echoFile) {
        fprintf(stderr, "DbgPrint: cannot open %s for the debug output echo\n", target.c_str());
    }
}

void Append(std::string text) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    if (!log.echoConfigured) {
        const char* env = std::getenv("M4350_DBGPRINT");
        ConfigureEcho(log, env ? env : "");
    }
    // The echo shows the output as a debugger would, without separators, so
    // a message printed in pieces reads as one line.
    if (log.echoStderr) {
        fputs(text.c_str(), stderr);
        fflush(stderr);
    } else if (log.echoFile) {
        fputs(text.c_str(), log.echoFile);
        fflush(log.echoFile);
    }
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    log.entries.push_back(std::move(text));
    while (log.entries.size() > log.capacity) {
        log.entries.pop_front();
    }
    log.added.notify_all();
}

bool Shown(ULONG level) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    const uint32_t bits = level > 31 ? (level & ~DPFLTR_MASK) : (1u << level);
    return (bits & log.exMask) != 0;
}

} // namespace

EXTERN_C ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    std::string text;
    {
        HostArgs args(ap);
        text = FormatText(Format, args);
    }
    va_end(ap);
    Append(std::move(text));
    return STATUS_SUCCESS;
}

EXTERN_C ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    if (!Shown(Level)) {
        return STATUS_SUCCESS;
    }
    HostArgs args(arglist);
    std::string text = FormatText(Format, args);
    Append(std::move(text));
    return STATUS_SUCCESS;
}

EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    const ULONG status = vDbgPrintEx(ComponentId, Level, Format, ap);
    va_end(ap);
    return status;
}

namespace host {

unsigned long DbgPrintImage(const char* format, __builtin_ms_va_list arguments) {
    ImageArgs args(arguments);
    Append(FormatText(format, args));
    return STATUS_SUCCESS;
}

std::vector<std::string> DebugLogLines() {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    return {log.entries.begin(), log.entries.end()};
}

size_t DebugLogCount(std::string_view exact) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    size_t n = 0;
    for (const auto& entry : log.entries) {
        n += entry == exact;
    }
    return n;
}

size_t DebugLogCountContaining(std::string_view substring) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    size_t n = 0;
    for (const auto& entry : log.entries) {
        n += entry.find(substring) != std::string::npos;
    }
    return n;
}

size_t DebugLogCountMatching(const std::string& pattern) {
    const std::regex re(pattern, std::regex::ECMAScript);
    const auto lines = DebugLogLines();
    size_t n = 0;
    for (const auto& entry : lines) {
        n += std::regex_search(entry, re);
    }
    return n;
}

void ClearDebugLog() {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    log.entries.clear();
}

bool WaitForDebugLog(std::string_view exact, size_t count, std::chrono::milliseconds bound) {
    auto& log = Log();
    std::unique_lock lock(log.mutex);
    return log.added.wait_for(lock, bound, [&] {
        size_t n = 0;
        for (const auto& entry : log.entries) {
            n += entry == exact;
        }
        return n >= count;
    });
}

size_t DebugLogCapacity() {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    return log.capacity;
}

void SetDebugLogCapacity(size_t entries) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    log.capacity = entries ? entries : 1;
    while (log.entries.size() > log.capacity) {
        log.entries.pop_front();
    }
}

void SetDebugEcho(const std::string& target) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    ConfigureEcho(log, target);
}

void SetDbgPrintExMask(uint32_t levels) {
    auto& log = Log();
    std::lock_guard lock(log.mutex);
    log.exMask = levels;
}

} // namespace host
