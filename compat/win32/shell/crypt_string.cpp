// CryptBinaryToStringW for CRYPT_STRING_BASE64 (see crypt_string.h).
#include "crypt_string.h"

#include <string>

#include "errhandlingapi.h"

BOOL CryptBinaryToStringW(const BYTE* data, DWORD size, DWORD flags, LPWSTR out, DWORD* outSize) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const DWORD kLineChars = 64;  // the CryptoAPI's Base64 line length
  if (!outSize || (!data && size) || (flags & 0xFFFF) != CRYPT_STRING_BASE64) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string text;
  std::u16string lineEnd = (flags & CRYPT_STRING_NOCRLF) ? u"" : (flags & CRYPT_STRING_NOCR) ? u"\n" : u"\r\n";
  DWORD onLine = 0;
  for (DWORD i = 0; i < size; i += 3) {
    unsigned v = data[i] << 16 | (i + 1 < size ? data[i + 1] << 8 : 0) | (i + 2 < size ? data[i + 2] : 0);
    char16_t q[4] = {static_cast<char16_t>(kTable[v >> 18 & 63]), static_cast<char16_t>(kTable[v >> 12 & 63]),
                     static_cast<char16_t>(i + 1 < size ? kTable[v >> 6 & 63] : '='),
                     static_cast<char16_t>(i + 2 < size ? kTable[v & 63] : '=')};
    text.append(q, 4);
    onLine += 4;
    if (onLine == kLineChars) {
      text += lineEnd;
      onLine = 0;
    }
  }
  if (onLine) text += lineEnd;
  if (!out) {
    *outSize = static_cast<DWORD>(text.size() + 1);
    return TRUE;
  }
  if (*outSize < text.size() + 1) {
    *outSize = static_cast<DWORD>(text.size() + 1);
    SetLastError(234 /* ERROR_MORE_DATA */);
    return FALSE;
  }
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = u'\0';
  *outSize = static_cast<DWORD>(text.size());
  return TRUE;
}
