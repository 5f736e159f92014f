// Files by Windows path (see fileapi.h).
#include "fileapi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "errhandlingapi.h"
#include "unicode.h"

namespace {

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EEXIST:
    case ENOTEMPTY: return ERROR_ALREADY_EXISTS;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_INVALID_FUNCTION;
  }
}

BOOL Fail(int e) {
  SetLastError(ErrorFromErrno(e));
  return FALSE;
}

std::string HomeDir() {
  const char* home = getenv("HOME");
  return home && *home ? home : "/root";
}

}  // namespace

namespace win32 {

std::string DriveLetterDirectory(char letter) {
  return HomeDir() + "/Ambermoor/" + std::string(1, static_cast<char>(toupper(static_cast<unsigned char>(letter))));
}

std::string NativePath(std::u16string_view p) {
  std::string rest;
  std::string out;
  if (p.size() >= 2 && p[1] == u':' && p[0] < 0x80 && isalpha(static_cast<int>(p[0]))) {
    if (!Utf16ToUtf8(p.substr(2), rest)) return {};
    out = DriveLetterDirectory(static_cast<char>(p[0]));
    if (!rest.empty() && rest[0] != '\\' && rest[0] != '/') out += '/';  // "X:name" is relative to the root here
  } else if (!p.empty() && (p[0] == u'/' || p[0] == u'\\')) {
    if (!Utf16ToUtf8(p, rest)) return {};
  } else {
    return {};
  }
  for (char& c : rest)
    if (c == '\\') c = '/';
  return out + rest;
}

std::u16string WindowsPath(const std::string& native) {
  const std::string base = HomeDir() + "/Ambermoor/";
  if (native.compare(0, base.size(), base) == 0 && native.size() > base.size() &&
      isupper(static_cast<unsigned char>(native[base.size()])) &&
      (native.size() == base.size() + 1 || native[base.size() + 1] == '/')) {
    std::u16string out(1, static_cast<char16_t>(native[base.size()]));
    out += u':';
    std::u16string rest = ToUtf16(native.substr(base.size() + 1));
    for (char16_t& c : rest)
      if (c == u'/') c = u'\\';
    return out + (rest.empty() ? u"\\" : rest);
  }
  return ToUtf16(native);
}

}  // namespace win32

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target) {
  if (!existing || !target) return Fail(EINVAL);
  std::string from = win32::NativePath(existing), to = win32::NativePath(target);
  if (from.empty() || to.empty()) return Fail(ENOENT);
  // MoveFile never replaces: ask the kernel not to, and check by hand where
  // the file system cannot be asked.
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
  if (errno != EINVAL && errno != ENOSYS) return Fail(errno);
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return Fail(EEXIST);
  if (rename(from.c_str(), to.c_str()) != 0) return Fail(errno);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  std::string p = path ? win32::NativePath(path) : std::string();
  if (p.empty()) return Fail(ENOENT);
  return unlink(p.c_str()) == 0 ? TRUE : Fail(errno);
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
  std::string dir;
  const char* tmp = getenv("TMPDIR");
  const char* cache = getenv("XDG_CACHE_HOME");
  if (tmp && tmp[0] == '/') dir = tmp;
  else if (cache && cache[0] == '/') dir = cache;
  else dir = HomeDir() + "/.cache";
  if (dir.back() != '/') dir += '/';
  std::u16string w = win32::ToUtf16(dir);
  if (w.empty()) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (!buffer || size < w.size() + 1) return static_cast<DWORD>(w.size() + 1);
  std::copy(w.begin(), w.end(), buffer);
  buffer[w.size()] = u'\0';
  return static_cast<DWORD>(w.size());
}

UINT GetTempFileNameW(LPCWSTR dir, LPCWSTR prefix, UINT unique, LPWSTR out) {
  if (!dir || !out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string base(dir);
  if (!base.empty() && base.back() != u'/' && base.back() != u'\\') base += u'/';
  base += std::u16string(prefix ? prefix : u"").substr(0, 3);
  auto nameFor = [&](UINT n) {
    char hex[8];
    snprintf(hex, sizeof hex, "%X", n & 0xFFFF);
    return base + win32::ToUtf16(hex) + u".tmp";
  };
  auto store = [&](const std::u16string& name) {
    if (name.size() + 1 > MAX_PATH) return false;
    std::copy(name.begin(), name.end(), out);
    out[name.size()] = u'\0';
    return true;
  };
  if (unique != 0) {
    if (!store(nameFor(unique))) {
      SetLastError(ERROR_BUFFER_OVERFLOW);
      return 0;
    }
    return unique & 0xFFFF;
  }
  std::random_device rd;
  UINT start = (rd() & 0xFFFF) | 1;
  for (UINT k = 0; k < 0x10000; ++k) {
    UINT n = ((start + k) & 0xFFFF) ? ((start + k) & 0xFFFF) : 1;
    std::u16string name = nameFor(n);
    if (name.size() + 1 > MAX_PATH) {
      SetLastError(ERROR_BUFFER_OVERFLOW);
      return 0;
    }
    std::string native = win32::NativePath(name);
    if (native.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    int fd = ::open(native.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      store(name);
      return n;
    }
    if (errno != EEXIST) {
      Fail(errno);
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

FILE* _wfopen(LPCWSTR path, LPCWSTR mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  std::string native = win32::NativePath(path);
  std::string m = win32::ToUtf8(mode);
  if (native.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  bool utf8 = false;
  size_t comma = m.find(',');
  if (comma != std::string::npos) {
    std::string ccs = m.substr(comma + 1);
    for (char& c : ccs) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (ccs != "CCS=UTF-8") {
      errno = EINVAL;
      return nullptr;
    }
    utf8 = true;
    m.resize(comma);
  }
  int flags;
  const char* fmode;
  if (m == "r") flags = O_RDONLY, fmode = "r";
  else if (m == "w") flags = O_WRONLY | O_CREAT | O_TRUNC, fmode = "w";
  else if (m == "wx") flags = O_WRONLY | O_CREAT | O_EXCL, fmode = "w";
  else if (m == "a") flags = O_WRONLY | O_CREAT | O_APPEND, fmode = "a";
  else if (m == "ax") flags = O_WRONLY | O_CREAT | O_EXCL | O_APPEND, fmode = "a";
  else {
    errno = EINVAL;
    return nullptr;
  }
  int fd = ::open(native.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  if (utf8 && flags != O_RDONLY) {
    struct stat st;
    // A new or emptied file starts with the byte-order mark, in a write of
    // its own, before any text.
    if (fstat(fd, &st) == 0 && st.st_size == 0) {
      static const char kBom[3] = {'\xEF', '\xBB', '\xBF'};
      if (::write(fd, kBom, 3) != 3) {
        int e = errno;
        ::close(fd);
        errno = e;
        return nullptr;
      }
    }
  }
  FILE* f = fdopen(fd, fmode);
  if (!f) ::close(fd);
  return f;
}

int fputws(LPCWSTR text, FILE* stream) {
  if (!text || !stream) return EOF;
  std::string utf8;
  if (!win32::Utf16ToUtf8(text, utf8)) {
    errno = EILSEQ;
    return EOF;
  }
  return fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size() ? 0 : EOF;
}
