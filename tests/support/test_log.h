// Captures the library log of one test in a temporary file.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "log/log.h"

class LogCapture {
 public:
  LogCapture() {
    char name[] = "/tmp/tarvik-fs-log-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    path_ = name;
    tarvik::log::start(path_, true);
  }
  ~LogCapture() {
    tarvik::log::stop();
    unlink(path_.c_str());
  }
  std::string text() const {
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int count(const std::string& piece) const {
    std::string t = text();
    int n = 0;
    for (size_t at = t.find(piece); at != std::string::npos; at = t.find(piece, at + 1)) ++n;
    return n;
  }

 private:
  std::string path_;
};
