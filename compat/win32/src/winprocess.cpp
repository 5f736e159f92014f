// The version and process functions of winprocess.h over Linux.
#include "winprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "unicode.h"

namespace win32 {
namespace {

struct ProcessHandle {
  pid_t pid;
  int pidfd;  // -1 when the process could not be opened for waiting
};

int pidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::string executablePath(pid_t pid) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return {};
  std::string path(target, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

DWORD copyWide(const std::string& utf8, LPWSTR out, DWORD size) {
  std::u16string wide;
  if (out == nullptr || size == 0 || utf8.empty() || !Utf8ToUtf16(utf8, wide)) return 0;
  if (wide.size() >= size) wide.resize(size - 1);
  wide.copy(out, wide.size());
  out[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}

class LinuxSystem : public ProcessSystem {
 public:
  BOOL GetVersionExW(OSVERSIONINFOW* info) override {
    struct utsname name {};
    if (info == nullptr || uname(&name) != 0) return FALSE;
    unsigned major = 0, minor = 0;
    std::sscanf(name.release, "%u.%u", &major, &minor);
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = 0;
    info->dwPlatformId = 0;
    info->szCSDVersion[0] = 0;
    return TRUE;
  }

  BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) override {
    DIR* dir = opendir("/proc");
    if (dir == nullptr || ids == nullptr || bytesReturned == nullptr) {
      if (dir != nullptr) closedir(dir);
      return FALSE;
    }
    const DWORD room = bytes / sizeof(DWORD);
    DWORD count = 0;
    while (dirent* e = readdir(dir)) {
      char* end = nullptr;
      const unsigned long pid = std::strtoul(e->d_name, &end, 10);
      if (end == e->d_name || *end != 0 || pid == 0) continue;
      if (count == room) break;
      ids[count++] = static_cast<DWORD>(pid);
    }
    closedir(dir);
    *bytesReturned = count * sizeof(DWORD);
    return TRUE;
  }

  HANDLE OpenProcess(DWORD, BOOL, DWORD processId) override {
    if (processId == 0) return nullptr;
    const int fd = pidfdOpen(static_cast<pid_t>(processId));
    if (fd < 0) return nullptr;
    return new ProcessHandle{static_cast<pid_t>(processId), fd};
  }

  DWORD GetProcessImageFileNameW(HANDLE process, LPWSTR name, DWORD size) override {
    if (process == nullptr) return 0;
    std::string path = executablePath(static_cast<ProcessHandle*>(process)->pid);
    for (char& c : path)
      if (c == '/') c = '\\';
    return copyWide(path, name, size);
  }

  DWORD GetModuleFileNameExW(HANDLE process, HMODULE, LPWSTR name, DWORD size) override {
    if (process == nullptr) return 0;
    return copyWide(executablePath(static_cast<ProcessHandle*>(process)->pid), name, size);
  }

  BOOL TerminateProcess(HANDLE process, UINT) override {
    auto* h = static_cast<ProcessHandle*>(process);
    if (h == nullptr || h->pidfd < 0) return FALSE;
    return syscall(SYS_pidfd_send_signal, h->pidfd, SIGKILL, nullptr, 0) == 0 ? TRUE : FALSE;
  }

  DWORD WaitForSingleObject(HANDLE process, DWORD milliseconds) override {
    auto* h = static_cast<ProcessHandle*>(process);
    if (h == nullptr || h->pidfd < 0) return WAIT_FAILED;
    pollfd p{h->pidfd, POLLIN, 0};
    const int timeout = milliseconds > static_cast<DWORD>(INT_MAX) ? -1 : static_cast<int>(milliseconds);
    int r;
    do {
      r = poll(&p, 1, timeout);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return WAIT_FAILED;
    return r == 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  }

  BOOL EnumWindows(WNDENUMPROC, LPARAM) override { return TRUE; }
  DWORD GetWindowThreadProcessId(HWND, DWORD* processId) override {
    if (processId != nullptr) *processId = 0;
    return 0;
  }
  HWND GetWindow(HWND, UINT) override { return nullptr; }
  BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) override { return FALSE; }

  BOOL CreateProcessW(LPCWSTR applicationName, PROCESS_INFORMATION* info) override {
    std::string path;
    if (applicationName == nullptr || info == nullptr ||
        !Utf16ToUtf8(std::u16string_view(applicationName), path) || path.empty())
      return FALSE;
    // The started program is detached: an intermediate child starts it and
    // exits at once, so it never becomes our zombie. A pipe closed on exec
    // carries exec's error back.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return FALSE;
    int pidPipe[2];
    if (pipe2(pidPipe, O_CLOEXEC) != 0) {
      close(report[0]);
      close(report[1]);
      return FALSE;
    }
    const pid_t middle = fork();
    if (middle < 0) {
      for (int fd : {report[0], report[1], pidPipe[0], pidPipe[1]}) close(fd);
      return FALSE;
    }
    if (middle == 0) {
      setsid();
      const pid_t program = fork();
      if (program == 0) {
        char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
        execv(path.c_str(), argv);
        const int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
      }
      ssize_t ignored = write(pidPipe[1], &program, sizeof program);
      (void)ignored;
      _exit(program < 0 ? 1 : 0);
    }
    close(report[1]);
    close(pidPipe[1]);
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    pid_t program = -1;
    if (read(pidPipe[0], &program, sizeof program) != static_cast<ssize_t>(sizeof program))
      program = -1;
    close(pidPipe[0]);
    int execError = 0;
    ssize_t n;
    do {
      n = read(report[0], &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (program <= 0 || n > 0) return FALSE;
    const int fd = pidfdOpen(program);  // -1 when it has ended already
    info->hProcess = new ProcessHandle{program, fd};
    info->hThread = new ProcessHandle{program, -1};
    info->dwProcessId = static_cast<DWORD>(program);
    info->dwThreadId = static_cast<DWORD>(program);
    return TRUE;
  }

  BOOL CloseHandle(HANDLE handle) override {
    auto* h = static_cast<ProcessHandle*>(handle);
    if (h == nullptr) return FALSE;
    if (h->pidfd >= 0) close(h->pidfd);
    delete h;
    return TRUE;
  }

  std::vector<std::u16string> CommandLineArguments() override {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::u16string> args;
    size_t start = 0;
    while (start < all.size()) {
      const size_t end = all.find('\0', start);
      const std::string arg = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
      std::u16string wide;
      if (Utf8ToUtf16(arg, wide)) args.push_back(wide);
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return args;
  }
};

std::atomic<ProcessSystem*> gInstalled{nullptr};

}  // namespace

ProcessSystem& LinuxProcessSystem() {
  static LinuxSystem system;
  return system;
}

ProcessSystem& ProcessSystemInstance() {
  ProcessSystem* installed = gInstalled.load();
  return installed != nullptr ? *installed : LinuxProcessSystem();
}

void SetProcessSystemForTest(ProcessSystem* system) { gInstalled.store(system); }

}  // namespace win32
