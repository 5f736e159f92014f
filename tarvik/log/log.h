// The library's diagnostic log: one file per start, all or nothing.
//
// When logging is on, every line of every severity is written; when it is
// off, nothing is written and TLOG skips building the message. Each line is
// "[" time ";" thread id padded to 6 ";" label "]: " message "\r\n", written
// with one write(2) call under a mutex so lines from many threads never
// interleave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarvik::log {

enum Severity : int {
  kEmergency = 0,
  kAlert = 1,
  kCritical = 2,
  kError = 3,
  kWarning = 4,
  kNotice = 5,
  kInfo = 6,
  kDebug = 7,
};

// Label written for a severity ("DEBUG", " WARN", ...; empty for some).
const char* label(Severity severity);

// Starts logging to `path`; stops a running log first. With `enable` false
// nothing is opened and nothing will be written. Returns false when the file
// cannot be opened (the library then goes on without a log).
bool start(const std::string& path, bool enable);

// dir + "/" + micros + ".log", or, when that file exists, the first such
// name of a later microsecond that does not: two starts within one
// microsecond (or after the clock was set back) never share a file.
std::string freeFileName(const std::string& dir, int64_t micros);

// Closes the file; later lines are dropped until the next start.
void stop();

// The enable flag, whatever the severity.
bool isEnabled(Severity severity = kDebug);

// Writes one finished message as a line.
void writeLine(Severity severity, std::string_view message);

// Builds the line prefix for a thread id and severity with the current time;
// exposed for tests of the exact format.
std::string formatPrefix(long threadId, Severity severity);

// Reports a failure of the logging machinery itself: standard error,
// "logging-bailout.txt" in the current directory, and syslog.
void bailout(std::string_view text);

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s ? s : "(null)"); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
inline void append(std::string& out, bool b) { out.push_back(b ? '1' : '0'); }
template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                        !std::is_same_v<T, char>, int> = 0>
void append(std::string& out, T v) {
  if constexpr (std::is_signed_v<T>) {
    out.append(std::to_string(static_cast<long long>(v)));
  } else {
    out.append(std::to_string(static_cast<unsigned long long>(v)));
  }
}
template <class T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
void append(std::string& out, T v) {
  append(out, static_cast<long long>(v));
}
}  // namespace detail

// Concatenates text pieces and integers (decimal) into one message.
template <class... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string out;
  (detail::append(out, pieces), ...);
  return out;
}

template <class... Pieces>
void write(Severity severity, const Pieces&... pieces) {
  if (!isEnabled(severity)) return;
  writeLine(severity, concat(pieces...));
}

// printf-style form for the trace lines that are specified with formats.
void writef(Severity severity, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Identity of an object as a number, as printed after "@" and in mutex lines.
inline unsigned long long identity(const void* p) {
  return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace tarvik::log

// Writes a line only when logging is on; the pieces are not evaluated otherwise.
#define TLOG(severity, ...)                                  \
  do {                                                       \
    if (::tarvik::log::isEnabled(severity))                  \
      ::tarvik::log::write((severity), __VA_ARGS__);         \
  } while (0)

#define TLOG_DEBUG(...) TLOG(::tarvik::log::kDebug, __VA_ARGS__)
#define TLOG_INFO(...) TLOG(::tarvik::log::kInfo, __VA_ARGS__)
#define TLOG_WARN(...) TLOG(::tarvik::log::kWarning, __VA_ARGS__)
#define TLOG_ERROR(...) TLOG(::tarvik::log::kError, __VA_ARGS__)
