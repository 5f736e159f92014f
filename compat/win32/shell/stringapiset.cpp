// WideCharToMultiByte (see stringapiset.h). CP_ACP is the character set of
// the calling process's locale (LC_CTYPE), through iconv.
#include "stringapiset.h"

#include <iconv.h>
#include <langinfo.h>

#include <cstring>
#include <string>

#include "errhandlingapi.h"
#include "unicode.h"

namespace {

// One code point in the locale's character set; false when it has none.
bool ToLocale(iconv_t cd, char32_t cp, std::string* out) {
  std::string utf8;
  win32::AppendUtf8(utf8, cp);
  char buf[16];
  char* in = utf8.data();
  size_t inLeft = utf8.size();
  char* o = buf;
  size_t oLeft = sizeof buf;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &in, &inLeft, &o, &oLeft) == static_cast<size_t>(-1)) return false;
  out->append(buf, sizeof buf - oLeft);
  return true;
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int count, LPSTR out, int outSize,
                        LPCSTR defaultChar, BOOL* usedDefault) {
  if (!text || count == 0 || count < -1 || outSize < 0 || (outSize > 0 && !out) ||
      (codePage != CP_ACP && codePage != CP_UTF8)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = count == -1 ? win32::WideLength(text) + 1 : static_cast<size_t>(count);
  std::u16string_view in(text, n);
  std::string result;
  if (usedDefault) *usedDefault = FALSE;
  if (codePage == CP_UTF8) {
    if (!win32::Utf16ToUtf8(in, result)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    const char* charset = nl_langinfo(CODESET);
    bool utf8 = charset && (strcmp(charset, "UTF-8") == 0 || strcmp(charset, "utf8") == 0);
    iconv_t cd = utf8 ? reinterpret_cast<iconv_t>(-1) : iconv_open(charset ? charset : "ASCII", "UTF-8");
    if (!utf8 && cd == reinterpret_cast<iconv_t>(-1)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string fallback = defaultChar ? std::string(defaultChar) : std::string("?");
    for (size_t i = 0; i < in.size(); ++i) {
      char32_t cp = in[i];
      bool paired = cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF;
      if (paired) cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
      bool lone = !paired && cp >= 0xD800 && cp <= 0xDFFF;
      if (!lone && utf8) {
        win32::AppendUtf8(result, cp);
      } else if (lone || !ToLocale(cd, cp, &result)) {
        result += fallback;
        if (usedDefault) *usedDefault = TRUE;
      }
    }
    if (!utf8) iconv_close(cd);
  }
  if (outSize == 0) return static_cast<int>(result.size());
  if (result.size() > static_cast<size_t>(outSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(out, result.data(), result.size());
  return static_cast<int>(result.size());
}
