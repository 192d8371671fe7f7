// Text helpers shared by the string, registry, file and debug-print services:
// the kernel's case folding and conversions between WCHAR text and the
// host's UTF-8.
#pragma once

#include <ntdef.h>

#include <string>
#include <string_view>

namespace m4350::rtl {

// Upper-case folding as the kernel's name comparisons use it: ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic; other characters fold to themselves.
WCHAR Upcase(WCHAR c);
WCHAR Downcase(WCHAR c);

std::wstring UpcaseString(std::wstring_view s);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
// <0, 0, >0 like wcscmp, on upcased characters.
int CompareNoCase(std::wstring_view a, std::wstring_view b);

// WCHAR text to UTF-8; characters that are no Unicode scalar value become
// U+FFFD.
std::string ToUtf8(std::wstring_view s);
void AppendUtf8(std::string& out, char32_t c);
// UTF-8 to WCHAR text; malformed sequences become U+FFFD.
std::wstring FromUtf8(std::string_view s);

// A driver image's UTF-16 text and the host's WCHAR text. Unpaired
// surrogates become U+FFFD; characters beyond the BMP become pairs.
std::wstring FromUtf16(std::u16string_view s);
std::u16string ToUtf16(std::wstring_view s);

// The characters of a counted string (Length / sizeof(WCHAR) of them; an odd
// byte is ignored). Empty for a null string or buffer.
std::wstring_view View(PCUNICODE_STRING s);

} // namespace m4350::rtl
