// Drop-file lists and ShellExecuteW (see shellapi.h).
#include "shellapi.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "errhandlingapi.h"
#include "fileapi.h"
#include "unicode.h"

extern char** environ;

namespace {

// The block behind an HDROP: DROPFILES, then the UTF-16 path list.
const DROPFILES* Header(HDROP drop) { return reinterpret_cast<const DROPFILES*>(drop); }

std::vector<std::u16string_view> Paths(HDROP drop) {
  std::vector<std::u16string_view> out;
  if (!drop || !Header(drop)->fWide) return out;
  const char16_t* p = reinterpret_cast<const char16_t*>(reinterpret_cast<const char*>(drop) + Header(drop)->pFiles);
  while (*p) {
    std::u16string_view s(p);
    out.push_back(s);
    p += s.size() + 1;
  }
  return out;
}

}  // namespace

namespace win32 {
HDROP CreateDropFiles(const std::vector<std::u16string>& paths) {
  size_t chars = 1;
  for (const auto& p : paths) chars += p.size() + 1;
  size_t bytes = sizeof(DROPFILES) + chars * sizeof(char16_t);
  char* block = static_cast<char*>(calloc(1, bytes));
  if (!block) return nullptr;
  DROPFILES* h = reinterpret_cast<DROPFILES*>(block);
  h->pFiles = sizeof(DROPFILES);
  h->fWide = TRUE;
  char16_t* out = reinterpret_cast<char16_t*>(block + sizeof(DROPFILES));
  for (const auto& p : paths) {
    // A NUL inside a path would end the list early; such a path cannot name a file.
    for (char16_t c : p) *out++ = c == u'\0' ? u'?' : c;
    *out++ = u'\0';
  }
  *out = u'\0';
  return reinterpret_cast<HDROP>(block);
}
}  // namespace win32

UINT DragQueryFileW(HDROP drop, UINT file, LPWSTR buffer, UINT size) {
  std::vector<std::u16string_view> paths = Paths(drop);
  if (file == 0xFFFFFFFFu) return static_cast<UINT>(paths.size());
  if (file >= paths.size()) return 0;
  std::u16string_view p = paths[file];
  if (!buffer) return static_cast<UINT>(p.size());
  if (size == 0) return 0;
  size_t n = std::min<size_t>(p.size(), size - 1);
  std::copy(p.begin(), p.begin() + n, buffer);
  buffer[n] = u'\0';
  return static_cast<UINT>(n);
}

void DragFinish(HDROP drop) { free(drop); }

HINSTANCE ShellExecuteW(HWND, LPCWSTR operation, LPCWSTR file, LPCWSTR, LPCWSTR, int) {
  auto result = [](uintptr_t v) { return reinterpret_cast<HINSTANCE>(v); };
  if (!file || (operation && std::u16string_view(operation) != u"open")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return result(SE_ERR_NOASSOC);
  }
  std::string path = win32::NativePath(file);
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return result(ERROR_FILE_NOT_FOUND);
  }
  // xdg-open may wait for the browser; a grandchild runs it so that the
  // caller neither waits nor leaves a zombie behind.
  pid_t child = fork();
  if (child < 0) return result(SE_ERR_NOASSOC);
  if (child == 0) {
    pid_t pid;
    const char* argv[] = {"xdg-open", path.c_str(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawnp(&pid, "xdg-open", &fa, nullptr, const_cast<char**>(argv), environ);
    _exit(rc == 0 ? 0 : 127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return result(SE_ERR_NOASSOC);
  }
  return result(42);
}
