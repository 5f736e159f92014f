// CryptBinaryToStringW: bytes as Base64 text in the CryptoAPI's layout.
#pragma once

#include "windows_types.h"

constexpr DWORD CRYPT_STRING_BASE64 = 0x00000001;
constexpr DWORD CRYPT_STRING_NOCRLF = 0x40000000;
constexpr DWORD CRYPT_STRING_NOCR = 0x80000000;

// CRYPT_STRING_BASE64: Base64 in lines of 64 characters, each ended by
// "\r\n" (the last one too); CRYPT_STRING_NOCR ends lines with "\n",
// CRYPT_STRING_NOCRLF writes one line without a break. With `out` null,
// `*outSize` receives the characters needed including the NUL. Otherwise
// `*outSize` gives the room in characters and receives the length written
// without the NUL; FALSE (ERROR_MORE_DATA) when it does not fit.
BOOL CryptBinaryToStringW(const BYTE* data, DWORD size, DWORD flags, LPWSTR out, DWORD* outSize);
