// Counted-string helpers of the run-time library, and the text helpers the
// other system services share.
#include <wdm.h>

#include "rtl_text.h"
#include "services_internal.h"

#include <cwchar>

namespace m4350::rtl {

WCHAR Upcase(WCHAR c) {
    const auto u = static_cast<uint32_t>(c);
    if (u < 0x80) {
        return (u >= 'a' && u <= 'z') ? static_cast<WCHAR>(u - 0x20) : c;
    }
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7)) {
        return static_cast<WCHAR>(u - 0x20);
    }
    if (u == 0xFF) {
        return static_cast<WCHAR>(0x178);
    }
    // Latin Extended-A pairs capitals and small letters on even/odd code
    // points, with the run from U+0139 to U+0148 and U+0179 to U+017E shifted
    // by one.
    if (u >= 0x100 && u <= 0x17F) {
        const bool oddCapitals = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
        if (u == 0x131 || u == 0x138 || u == 0x149 || u == 0x17F) {
            return c;
        }
        if (oddCapitals ? (u % 2 == 0) : (u % 2 == 1)) {
            return static_cast<WCHAR>(u - 1);
        }
        return c;
    }
    if (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) {
        return static_cast<WCHAR>(u - 0x20);
    }
    if (u >= 0x430 && u <= 0x44F) {
        return static_cast<WCHAR>(u - 0x20);
    }
    if (u >= 0x450 && u <= 0x45F) {
        return static_cast<WCHAR>(u - 0x50);
    }
    return c;
}

WCHAR Downcase(WCHAR c) {
    const auto u = static_cast<uint32_t>(c);
    if (u < 0x80) {
        return (u >= 'A' && u <= 'Z') ? static_cast<WCHAR>(u + 0x20) : c;
    }
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) {
        return static_cast<WCHAR>(u + 0x20);
    }
    if (u == 0x178) {
        return static_cast<WCHAR>(0xFF);
    }
    if (u >= 0x100 && u <= 0x17F) {
        const bool oddCapitals = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
        if (u == 0x130 || u == 0x138 || u == 0x149 || u == 0x17F) {
            return c;
        }
        if (oddCapitals ? (u % 2 == 1) : (u % 2 == 0)) {
            return static_cast<WCHAR>(u + 1);
        }
        return c;
    }
    if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) {
        return static_cast<WCHAR>(u + 0x20);
    }
    if (u >= 0x410 && u <= 0x42F) {
        return static_cast<WCHAR>(u + 0x20);
    }
    if (u >= 0x400 && u <= 0x40F) {
        return static_cast<WCHAR>(u + 0x50);
    }
    return c;
}

std::wstring UpcaseString(std::wstring_view s) {
    std::wstring out(s);
    for (auto& c : out) {
        c = Upcase(c);
    }
    return out;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upcase(a[i]) != Upcase(b[i])) {
            return false;
        }
    }
    return true;
}

int CompareNoCase(std::wstring_view a, std::wstring_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<uint32_t>(Upcase(a[i]));
        const auto y = static_cast<uint32_t>(Upcase(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = 0xFFFD;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string ToUtf8(std::wstring_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(s[i]));
        // A 16-bit WCHAR build carries UTF-16; join surrogate pairs there.
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
                auto low = static_cast<char32_t>(static_cast<uint16_t>(s[i + 1]));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring FromUtf8(std::string_view s) {
    std::wstring out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t c = 0xFFFD;
        size_t extra = 0;
        char32_t minimum = 0;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            extra = 0;
            c = 0xFFFD;
        }
        ++i;
        bool ok = true;
        for (size_t k = 0; k < extra; ++k) {
            if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
            ++i;
        }
        if (!ok || (extra && c < minimum) || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0x10000) {
                c -= 0x10000;
                out += static_cast<wchar_t>(0xD800 + (c >> 10));
                out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
                continue;
            }
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

std::wstring FromUtf16(std::u16string_view s) {
    std::wstring out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

std::u16string ToUtf16(std::wstring_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (const wchar_t w : s) {
        auto c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::wstring_view View(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) {
        return {};
    }
    return std::wstring_view(s->Buffer, s->Length / sizeof(WCHAR));
}

} // namespace m4350::rtl

namespace {

using m4350::rtl::Downcase;
using m4350::rtl::Upcase;
using m4350::services::StringTag;

// The longest byte count a counted string can describe with room for its
// terminator, rounded down to whole characters.
constexpr USHORT MaxCountedBytes =
    static_cast<USHORT>(((MAXUSHORT - sizeof(WCHAR)) / sizeof(WCHAR)) * sizeof(WCHAR));

void Terminate(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) {
        s->Buffer[s->Length / sizeof(WCHAR)] = L'\0';
    }
}

NTSTATUS AppendChars(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
    if (bytes == 0) {
        return STATUS_SUCCESS;
    }
    if (static_cast<size_t>(destination->Length) + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove(reinterpret_cast<PUCHAR>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    Terminate(destination);
    return STATUS_SUCCESS;
}

int DigitValue(WCHAR c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return 99;
}

NTSTATUS NumberToString(ULONGLONG value, ULONG base, PUNICODE_STRING string) {
    if (base == 0) {
        base = 10;
    }
    if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!string) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[65];
    size_t n = 0;
    do {
        digits[n++] = L"0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    const size_t bytes = n * sizeof(WCHAR);
    if (bytes > string->MaximumLength || !string->Buffer) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) {
        string->Buffer[i] = digits[n - 1 - i];
    }
    string->Length = static_cast<USHORT>(bytes);
    Terminate(string);
    return STATUS_SUCCESS;
}

} // namespace

EXTERN_C VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!DestinationString) {
        return;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > MaxCountedBytes) {
        bytes = MaxCountedBytes;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

EXTERN_C NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString,
                                               PCWSTR SourceString) {
    if (!DestinationString) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SourceString && wcslen(SourceString) * sizeof(WCHAR) > MaxCountedBytes) {
        return STATUS_NAME_TOO_LONG;
    }
    RtlInitUnicodeString(DestinationString, SourceString);
    return STATUS_SUCCESS;
}

EXTERN_C VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (!DestinationString) {
        return;
    }
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > MAXUSHORT - 1) {
        bytes = MAXUSHORT - 1;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

EXTERN_C VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
    RtlInitAnsiString(DestinationString, SourceString);
}

EXTERN_C VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString) {
    if (!DestinationString) {
        return;
    }
    if (!SourceString || !SourceString->Buffer || !DestinationString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes =
            static_cast<USHORT>(DestinationString->MaximumLength / sizeof(WCHAR) * sizeof(WCHAR));
    }
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    Terminate(DestinationString);
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Destination) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Source) {
        return STATUS_SUCCESS;
    }
    return AppendChars(Destination, Source, wcslen(Source) * sizeof(WCHAR));
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source) {
    if (!Destination) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Source || !Source->Buffer) {
        return STATUS_SUCCESS;
    }
    return AppendChars(Destination, Source->Buffer, Source->Length / sizeof(WCHAR) * sizeof(WCHAR));
}

EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive) {
    const auto a = m4350::rtl::View(String1);
    const auto b = m4350::rtl::View(String2);
    if (CaseInSensitive) {
        return m4350::rtl::EqualNoCase(a, b);
    }
    return a == b;
}

EXTERN_C LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive) {
    const auto a = m4350::rtl::View(String1);
    const auto b = m4350::rtl::View(String2);
    if (CaseInSensitive) {
        return m4350::rtl::CompareNoCase(a, b);
    }
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

EXTERN_C BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
    const auto prefix = m4350::rtl::View(String1);
    const auto s = m4350::rtl::View(String2);
    if (prefix.size() > s.size()) {
        return FALSE;
    }
    const auto head = s.substr(0, prefix.size());
    return CaseInSensitive ? m4350::rtl::EqualNoCase(prefix, head) : prefix == head;
}

EXTERN_C BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2,
                                      BOOLEAN CaseInSensitive) {
    const USHORT n1 = (String1 && String1->Buffer) ? String1->Length : 0;
    const USHORT n2 = (String2 && String2->Buffer) ? String2->Length : 0;
    if (n1 != n2) {
        return FALSE;
    }
    for (USHORT i = 0; i < n1; ++i) {
        auto a = static_cast<unsigned char>(String1->Buffer[i]);
        auto b = static_cast<unsigned char>(String2->Buffer[i]);
        if (CaseInSensitive) {
            a = static_cast<unsigned char>(Upcase(a));
            b = static_cast<unsigned char>(Upcase(b));
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

EXTERN_C WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    return Upcase(SourceCharacter);
}

EXTERN_C WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter) {
    return Downcase(SourceCharacter);
}

EXTERN_C NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                               PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto source = m4350::rtl::View(SourceString);
    const size_t bytes = source.size() * sizeof(WCHAR);
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, bytes ? bytes : sizeof(WCHAR), StringTag));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes ? bytes : sizeof(WCHAR));
    } else if (bytes > DestinationString->MaximumLength || !DestinationString->Buffer) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < source.size(); ++i) {
        DestinationString->Buffer[i] = Upcase(source[i]);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

// ANSI text is taken as Latin-1 both ways, the code page of a default
// Western system; characters beyond it become '?'.
EXTERN_C NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                     PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t chars = SourceString->Buffer ? SourceString->Length : 0;
    const size_t bytes = chars * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    if (AllocateDestinationString) {
        auto* buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), StringTag));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes > DestinationString->MaximumLength || !DestinationString->Buffer) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        DestinationString->Buffer[i] =
            static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    Terminate(DestinationString);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
    if (!DestinationString || !SourceString) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto source = m4350::rtl::View(SourceString);
    const size_t chars = source.size();
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, StringTag));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
    } else if (chars > DestinationString->MaximumLength || !DestinationString->Buffer) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        const auto c = static_cast<uint32_t>(source[i]);
        DestinationString->Buffer[i] = static_cast<CHAR>(c <= 0xFF ? c : '?');
    }
    DestinationString->Length = static_cast<USHORT>(chars);
    if (chars < DestinationString->MaximumLength) {
        DestinationString->Buffer[chars] = '\0';
    }
    return STATUS_SUCCESS;
}

EXTERN_C VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString && UnicodeString->Buffer) {
        ExFreePoolWithTag(UnicodeString->Buffer, StringTag);
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = 0;
        UnicodeString->MaximumLength = 0;
    }
}

EXTERN_C VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString && AnsiString->Buffer) {
        ExFreePoolWithTag(AnsiString->Buffer, StringTag);
        AnsiString->Buffer = nullptr;
        AnsiString->Length = 0;
        AnsiString->MaximumLength = 0;
    }
}

// Leading blanks, an optional sign, then digits up to the first character
// that is no digit of the base. Base 0 reads a 0x, 0o or 0b prefix, else
// decimal. Like the kernel's, the value wraps at 32 bits and a string
// without digits reads as 0.
EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base,
                                                  PULONG Value) {
    if (!Value) {
        return STATUS_ACCESS_VIOLATION;
    }
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto s = m4350::rtl::View(String);
    size_t i = 0;
    while (i < s.size() && (s[i] == L' ' || s[i] == L'\t')) {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) {
        negative = s[i] == L'-';
        ++i;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < s.size() && s[i] == L'0') {
            switch (s[i + 1]) {
            case L'x':
                Base = 16;
                i += 2;
                break;
            case L'o':
                Base = 8;
                i += 2;
                break;
            case L'b':
                Base = 2;
                i += 2;
                break;
            default:
                break;
            }
        }
    }
    ULONG result = 0;
    for (; i < s.size(); ++i) {
        const int digit = DigitValue(s[i]);
        if (digit >= static_cast<int>(Base)) {
            break;
        }
        result = result * Base + static_cast<ULONG>(digit);
    }
    *Value = negative ? static_cast<ULONG>(0u - result) : result;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    return NumberToString(Value, Base, String);
}

EXTERN_C NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base,
                                                PUNICODE_STRING String) {
    return NumberToString(Value, Base, String);
}

EXTERN_C SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}
