// Captures the library log of one test in a temporary file.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/library_state.h"
#include "log/log.h"

namespace tarvik_test {

class LogCapture {
 public:
  // With `curlTrace` the library's debug flag is set too, which adds the
  // transfer library's own trace to the log.
  explicit LogCapture(bool curlTrace = false) {
    char name[] = "/tmp/tarvik-test-log-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    path_ = name;
    tarvik::log::start(path_, true);
    if (curlTrace) tarvik::state().debug = true;
    curlTrace_ = curlTrace;
  }
  ~LogCapture() {
    tarvik::log::stop();
    if (curlTrace_) tarvik::state().debug = false;
    unlink(path_.c_str());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Occurrences of `piece` anywhere in the log.
  int count(const std::string& piece) const {
    const std::string t = text();
    int n = 0;
    for (size_t at = t.find(piece); at != std::string::npos; at = t.find(piece, at + 1)) ++n;
    return n;
  }
  // Lines that contain `needle`.
  int lines(const std::string& needle) const {
    std::istringstream in(text());
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
      if (line.find(needle) != std::string::npos) ++n;
    }
    return n;
  }

 private:
  std::string path_;
  bool curlTrace_ = false;
};

}  // namespace tarvik_test
