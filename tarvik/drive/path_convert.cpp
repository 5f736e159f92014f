// Path conversions at the Dokan boundary (see path_convert.h).
#include "drive/path_convert.h"

#include "unicode.h"

namespace tarvik {

namespace {
constexpr size_t kLongPathBytes = 259;  // beyond this Windows needs the long-path prefix

bool IsSlash(char c) { return c == '/' || c == '\\'; }

}  // namespace

int fromWindowsPath(std::u16string_view in, std::string& out) {
  out.clear();
  if (in.substr(0, 8) == u"\\\\?\\UNC\\") {
    out = "//";
    in.remove_prefix(8);
  } else if (in.substr(0, 4) == u"\\\\?\\") {
    in.remove_prefix(4);
  }
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return -22;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return -22;
    }
    std::string piece;
    if (cp == u'\\')
      piece = "/";
    else
      win32::AppendUtf8(piece, cp);
    if (out.size() + piece.size() > kMaxDrivePathBytes) return -38;
    out += piece;
  }
  return 0;
}

std::u16string toWindowsPath(std::string_view in) {
  std::u16string out;
  // Convert the longest valid prefix.
  size_t good = in.size();
  while (!win32::Utf8ToUtf16(in.substr(0, good), out) && good > 0) --good;
  for (char16_t& c : out)
    if (c == u'/') c = u'\\';
  if (in.size() > kLongPathBytes) {
    if (in.size() >= 3 && ((in[0] >= 'A' && in[0] <= 'Z') || (in[0] >= 'a' && in[0] <= 'z')) &&
        in[1] == ':' && IsSlash(in[2])) {
      out = u"\\\\?\\" + out;
    } else if (in.size() >= 3 && IsSlash(in[0]) && IsSlash(in[1]) && in[2] != '?') {
      out = u"\\\\?\\UNC\\" + out.substr(2);
    }
  }
  return out;
}

}  // namespace tarvik
