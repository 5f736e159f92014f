// Registry reads over QSettings' native INI store (see winreg.h).
//
// The parser follows the toolkit's INI rules as it writes them: section
// names and keys are escaped ("%XX", "%UXXXX", "\" for "/"), values may be
// quoted, carry C-style escapes ("\n", "\x3042", "\0"), split into lists at
// unquoted commas, and end at an unquoted ";". Raw bytes outside escapes
// are read as UTF-8, falling back to Latin-1 for a run that is not UTF-8
// (older writers). A value "@String(...)" is a string, "@@..." a string
// beginning with "@", "@ByteArray(...)" bytes; other "@" forms are not
// strings.
#include "winreg.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "errhandlingapi.h"
#include "unicode.h"

namespace {

struct Value {
  DWORD type = REG_NONE;
  std::u16string text;            // REG_SZ
  std::vector<std::u16string> list;  // REG_MULTI_SZ
  std::string bytes;              // REG_BINARY
};

}  // namespace

struct RegistryKey {
  std::map<std::u16string, Value> values;
};

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Raw bytes as text: UTF-8 when they are, Latin-1 otherwise.
std::u16string DecodeRaw(const std::string& raw) {
  std::u16string out;
  if (win32::Utf8ToUtf16(raw, out)) return out;
  out.clear();
  for (unsigned char c : raw) out.push_back(c);
  return out;
}

// A section name or key as the toolkit escapes it.
std::u16string UnescapeKey(const std::string& in) {
  std::u16string out;
  std::string raw;
  auto flush = [&] {
    out += DecodeRaw(raw);
    raw.clear();
  };
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '\\') {
      flush();
      out.push_back(u'/');
    } else if (c == '%' && i + 5 < in.size() && in[i + 1] == 'U') {
      int v = 0;
      bool ok = true;
      for (int k = 2; k < 6; ++k) {
        int d = HexDigit(in[i + k]);
        ok = ok && d >= 0;
        v = v * 16 + (d < 0 ? 0 : d);
      }
      if (!ok) {
        raw.push_back(c);
        continue;
      }
      flush();
      out.push_back(static_cast<char16_t>(v));
      i += 5;
    } else if (c == '%' && i + 2 < in.size() && HexDigit(in[i + 1]) >= 0 && HexDigit(in[i + 2]) >= 0) {
      flush();
      out.push_back(static_cast<char16_t>(HexDigit(in[i + 1]) * 16 + HexDigit(in[i + 2])));
      i += 2;
    } else {
      raw.push_back(c);
    }
  }
  flush();
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text after "=": a string, or a list when unquoted commas split it.
// Returns the pieces; `isList` tells whether a comma was seen.
std::vector<std::u16string> UnescapeValue(const std::string& in, bool* isList) {
  std::vector<std::u16string> pieces;
  std::u16string cur;
  std::string raw;
  bool quoted = false;
  size_t pendingBlanks = 0;  // unquoted blanks, dropped when they end a piece
  bool started = false;      // leading unquoted blanks are dropped
  *isList = false;
  auto flushRaw = [&] {
    cur += DecodeRaw(raw);
    raw.clear();
  };
  auto takeBlanks = [&] {
    raw.append(pendingBlanks, ' ');
    pendingBlanks = 0;
  };
  auto endPiece = [&] {
    flushRaw();
    pieces.push_back(cur);
    cur.clear();
    pendingBlanks = 0;
    started = false;
  };
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (!quoted && IsBlank(c)) {
      if (started) ++pendingBlanks;
      continue;
    }
    if (!quoted && c == ';') break;
    if (!quoted && c == ',') {
      *isList = true;
      endPiece();
      continue;
    }
    takeBlanks();
    started = true;
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c != '\\') {
      raw.push_back(c);
      continue;
    }
    if (i + 1 >= in.size()) break;
    char e = in[++i];
    flushRaw();
    switch (e) {
      case 'a': cur.push_back(u'\a'); break;
      case 'b': cur.push_back(u'\b'); break;
      case 'f': cur.push_back(u'\f'); break;
      case 'n': cur.push_back(u'\n'); break;
      case 'r': cur.push_back(u'\r'); break;
      case 't': cur.push_back(u'\t'); break;
      case 'v': cur.push_back(u'\v'); break;
      case 'x': {
        unsigned v = 0;
        while (i + 1 < in.size() && HexDigit(in[i + 1]) >= 0) v = (v << 4 | HexDigit(in[++i])) & 0xFFFF;
        cur.push_back(static_cast<char16_t>(v));
        break;
      }
      default:
        if (e >= '0' && e <= '7') {
          unsigned v = static_cast<unsigned>(e - '0');
          while (i + 1 < in.size() && in[i + 1] >= '0' && in[i + 1] <= '7')
            v = (v << 3 | static_cast<unsigned>(in[++i] - '0')) & 0xFFFF;
          cur.push_back(static_cast<char16_t>(v));
        } else {
          cur.push_back(static_cast<char16_t>(static_cast<unsigned char>(e)));  // "\"", "\\", "\?", "\'"
        }
    }
  }
  endPiece();
  return pieces;
}

bool StartsWith(const std::u16string& s, const std::u16string& p) { return s.compare(0, p.size(), p) == 0; }

Value ToValue(const std::string& text) {
  bool isList = false;
  std::vector<std::u16string> pieces = UnescapeValue(text, &isList);
  Value v;
  if (isList) {
    v.type = REG_MULTI_SZ;
    v.list = pieces;
    return v;
  }
  std::u16string s = pieces.empty() ? std::u16string() : pieces[0];
  if (StartsWith(s, u"@@")) {
    v.type = REG_SZ;
    v.text = s.substr(1);
  } else if (StartsWith(s, u"@String(") && s.back() == u')') {
    v.type = REG_SZ;
    v.text = s.substr(8, s.size() - 9);
  } else if (StartsWith(s, u"@ByteArray(") && s.back() == u')') {
    v.type = REG_BINARY;
    for (size_t i = 11; i + 1 < s.size(); ++i) v.bytes.push_back(static_cast<char>(s[i] & 0xFF));
  } else if (StartsWith(s, u"@")) {
    v.type = REG_NONE;  // a variant, a geometry, or "@Invalid()"
  } else {
    v.type = REG_SZ;
    v.text = s;
  }
  return v;
}

// Reads the [General] section (the toolkit's top-level keys).
bool ReadStore(const std::string& path, RegistryKey* key) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t b = 0;
    while (b < line.size() && IsBlank(line[b])) ++b;
    if (b == line.size() || line[b] == ';' || line[b] == '#') continue;
    if (line[b] == '[') {
      size_t e = line.find(']', b);
      section = line.substr(b + 1, e == std::string::npos ? std::string::npos : e - b - 1);
      continue;
    }
    size_t eq = line.find('=', b);
    if (eq == std::string::npos) continue;
    // A key written into the general section as "%General" is a key named General.
    if (section != "General" && section != "%General") continue;
    size_t ke = eq;
    while (ke > b && IsBlank(line[ke - 1])) --ke;
    std::u16string name = UnescapeKey(line.substr(b, ke - b));
    if (name.find(u'/') != std::u16string::npos) continue;  // a subgroup's key
    key->values[name] = ToValue(line.substr(eq + 1));
  }
  return true;
}

std::string ConfigHome() {
  const char* x = getenv("XDG_CONFIG_HOME");
  if (x && x[0] == '/') return x;
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "/") + "/.config";
}

}  // namespace

namespace win32 {
std::string RegistryStorePath(const std::string& organisation, const std::string& application) {
  return ConfigHome() + "/" + organisation + "/" + application + ".conf";
}
}  // namespace win32

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  if (!result || !subKey) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key != HKEY_CURRENT_USER) return ERROR_INVALID_PARAMETER;
  if (desired & ~KEY_READ) return ERROR_ACCESS_DENIED;
  std::string path = win32::ToUtf8(subKey);
  // "Software\<organisation>\<application>", nothing more, no empty part.
  std::vector<std::string> parts;
  std::stringstream ss(path);
  for (std::string p; std::getline(ss, p, '\\');) parts.push_back(p);
  if (parts.size() != 3 || parts[0] != "Software" || parts[1].empty() || parts[2].empty() ||
      parts[1].find('/') != std::string::npos || parts[2].find('/') != std::string::npos ||
      parts[1] == "." || parts[1] == ".." || parts[2] == "." || parts[2] == "..")
    return ERROR_FILE_NOT_FOUND;
  auto k = std::make_unique<RegistryKey>();
  if (!ReadStore(win32::RegistryStorePath(parts[1], parts[2]), k.get())) return ERROR_FILE_NOT_FOUND;
  *result = k.release();
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, BYTE* data,
                         LPDWORD dataSize) {
  if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  auto it = key->values.find(valueName ? std::u16string(valueName) : std::u16string());
  if (it == key->values.end() || it->second.type == REG_NONE) return ERROR_FILE_NOT_FOUND;
  const Value& v = it->second;
  std::string bytes;
  if (v.type == REG_SZ) {
    bytes.assign(reinterpret_cast<const char*>(v.text.c_str()), (v.text.size() + 1) * sizeof(char16_t));
  } else if (v.type == REG_MULTI_SZ) {
    std::u16string all;
    for (const auto& s : v.list) all += s + u'\0';
    all.push_back(u'\0');
    bytes.assign(reinterpret_cast<const char*>(all.data()), all.size() * sizeof(char16_t));
  } else {
    bytes = v.bytes;
  }
  if (type) *type = v.type;
  if (!dataSize) return ERROR_SUCCESS;
  DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  std::copy(bytes.begin(), bytes.end(), data);
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}
