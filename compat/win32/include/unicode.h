// UTF-8 <-> UTF-16 conversion for the Windows layers.
#pragma once

#include <string>
#include <string_view>

#include "windows_types.h"

namespace win32 {

// Converts UTF-8 to UTF-16. Returns false (and leaves `out` empty) on an
// invalid UTF-8 sequence, so malformed names are refused rather than mangled.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);

// Converts UTF-16 to UTF-8. Returns false (and leaves `out` empty) when the
// input holds an unpaired surrogate.
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

// Appends the UTF-8 form of one code point (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);

// Length of a NUL-terminated wide string, in code units.
size_t WideLength(LPCWSTR s);

// Convenience forms that return an empty string on failure.
std::u16string ToUtf16(std::string_view in);
std::string ToUtf8(std::u16string_view in);

}  // namespace win32
