// Process image names read from /proc/<pid>/exe.
#include "process_image.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "process_image_testing.h"
#include "unicode.h"

namespace {

thread_local DWORD tLastError = 0;

struct ProcessHandle {
  DWORD pid;
};

std::mutex gOverrideMutex;
std::map<DWORD, std::string>& Overrides() {
  static std::map<DWORD, std::string> table;
  return table;
}

// The image path of a process in "\" form, or empty with tLastError set.
std::string ImagePath(DWORD pid) {
  {
    std::lock_guard<std::mutex> lock(gOverrideMutex);
    auto it = Overrides().find(pid);
    if (it != Overrides().end()) return it->second;
  }
  char link[64];
  snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(pid));
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) {
    tLastError = errno == ENOENT ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED;
    return {};
  }
  std::string path(target, static_cast<size_t>(n));
  // A replaced executable reads as "<path> (deleted)"; keep the path.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

}  // namespace

// The calling thread's last error, for the programs that link this library
// alone; the shell layers' shared library has its own (shell/), which the
// context-menu host and extension share.
DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  {
    std::lock_guard<std::mutex> lock(gOverrideMutex);
    if (Overrides().count(processId)) return new ProcessHandle{processId};
  }
  char dir[64];
  snprintf(dir, sizeof dir, "/proc/%u", static_cast<unsigned>(processId));
  if (processId == 0 || access(dir, F_OK) != 0) {
    tLastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return new ProcessHandle{processId};
}

BOOL CloseHandle(HANDLE handle) {
  if (!handle) {
    tLastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  delete static_cast<ProcessHandle*>(handle);
  return TRUE;
}

DWORD K32GetProcessImageFileNameW(HANDLE process, LPWSTR imageFileName, DWORD size) {
  if (!process || !imageFileName || size == 0) {
    tLastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string path = ImagePath(static_cast<ProcessHandle*>(process)->pid);
  if (path.empty()) return 0;
  std::u16string wide;
  if (!win32::Utf8ToUtf16(path, wide)) {
    tLastError = ERROR_NO_UNICODE_TRANSLATION;
    return 0;
  }
  if (wide.size() >= size) {
    wide.resize(size - 1);
    tLastError = ERROR_INSUFFICIENT_BUFFER;
  }
  wide.copy(imageFileName, wide.size());
  imageFileName[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}

namespace dokan {

std::vector<std::string> RunningProcessImages() {
  std::vector<std::string> out;
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    unsigned long pid = strtoul(e->d_name, &end, 10);
    if (!end || *end || pid == 0) continue;
    std::string path = ImagePath(static_cast<DWORD>(pid));
    if (!path.empty()) out.push_back(path);
  }
  closedir(d);
  return out;
}

void SetProcessImageForTest(DWORD pid, const std::string& imagePath) {
  std::lock_guard<std::mutex> lock(gOverrideMutex);
  if (imagePath.empty())
    Overrides().erase(pid);
  else
    Overrides()[pid] = imagePath;
}

}  // namespace dokan
