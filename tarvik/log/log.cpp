// Log file writer. One mutex serialises the lines on the file descriptor;
// the enable flag is atomic so the hot check in TLOG takes no lock.
#include "log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace tarvik::log {
namespace {

std::mutex g_mutex;            // guards g_fd and g_path
int g_fd = -1;
std::string g_path;
std::atomic<bool> g_enabled{false};

long currentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

const char* label(Severity severity) {
  switch (severity) {
    case kAlert: return "FATAL";
    case kError: return "ERROR";
    case kWarning: return " WARN";
    case kInfo: return " INFO";
    case kDebug: return "DEBUG";
    default: return "";
  }
}

std::string formatPrefix(long threadId, Severity severity) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm local;
  if (::localtime_r(&tv.tv_sec, &local) == nullptr) {
    bailout("failed to elicit time");
    return std::string();
  }
  char buf[96];
  const int n = std::snprintf(buf, sizeof buf, "[%02d:%02d:%02d.%03ld;%-6ld;%s]: ", local.tm_hour,
                              local.tm_min, local.tm_sec, static_cast<long>(tv.tv_usec / 1000),
                              threadId, label(severity));
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

bool start(const std::string& path, bool enable) {
  stop();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_path = path;
  if (!enable) return true;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  g_fd = fd;
  g_enabled.store(true, std::memory_order_release);
  return true;
}

std::string freeFileName(const std::string& dir, int64_t micros) {
  for (;;) {
    std::string name = dir + "/" + std::to_string(micros) + ".log";
    struct stat st;
    if (::lstat(name.c_str(), &st) != 0) return name;  // free (or not ours to judge)
    ++micros;
  }
}

void stop() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_enabled.store(false, std::memory_order_release);
  if (g_fd >= 0) {
    ::close(g_fd);
    g_fd = -1;
  }
}

bool isEnabled(Severity) { return g_enabled.load(std::memory_order_acquire); }

void writeLine(Severity severity, std::string_view message) {
  if (!isEnabled(severity)) return;
  std::string line = formatPrefix(currentThreadId(), severity);
  if (line.empty()) return;
  line.append(message);
  line.append("\r\n");
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_fd >= 0) writeAll(g_fd, line.data(), line.size());
}

void writef(Severity severity, const char* format, ...) {
  if (!isEnabled(severity)) return;
  va_list ap;
  va_start(ap, format);
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, ap);
    text.resize(static_cast<size_t>(n));
  }
  va_end(ap);
  writeLine(severity, text);
}

void bailout(std::string_view text) {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm local {};
  ::localtime_r(&tv.tv_sec, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04u%02u%02u-%02u%02u%02u.%03u: ",
                static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
                static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec),
                static_cast<unsigned>(tv.tv_usec / 1000));
  std::string line(stamp);
  line.append(text.empty() ? std::string_view("Unspecified failure") : text);
  line.append("\r\n");
  writeAll(STDERR_FILENO, line.data(), line.size());
  const int fd = ::open("logging-bailout.txt", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd >= 0) {
    writeAll(fd, line.data(), line.size());
    ::close(fd);
  }
  ::openlog("logging-bailout", LOG_PID, LOG_USER);
  ::syslog(LOG_ERR, "%.*s", static_cast<int>(line.size() - 2), line.data());
  ::closelog();
}

}  // namespace tarvik::log
