// WideCharToMultiByte: UTF-16 to UTF-8 or to the locale's 8-bit code page.
#pragma once

#include "windows_types.h"

typedef unsigned int UINT;
typedef char* LPSTR;
typedef const char* LPCSTR;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// Converts `count` characters of `text` (-1: up to and including its NUL).
// With `outSize` 0 returns the bytes needed. Characters the code page cannot
// hold become `defaultChar` (or "?") and set `*usedDefault`. Returns the
// bytes written, 0 on failure (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER,
// ERROR_NO_UNICODE_TRANSLATION for an unpaired surrogate with CP_UTF8).
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int count, LPSTR out, int outSize,
                        LPCSTR defaultChar, BOOL* usedDefault);
