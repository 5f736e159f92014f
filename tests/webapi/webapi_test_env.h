// Shared set-up of the web API tests: a private home and cache directory,
// the test CA trusted through CURL_CA_BUNDLE, the library's state pointed at
// a test server, a recorder for the status callback and a log capture.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"

namespace webapi_test {

// Records every status callback (code, message).
struct StatusRecorder {
  static void callback(int32_t code, const char* message);
  static std::vector<std::pair<int, std::string>> take();
  static void clear();
};

// Points the library at `baseUrl` ("https://host:port/"): API base,
// language, built-in error table, recorder callback, request counter 0, no
// session, no proxy, no certificate.
void useService(const std::string& baseUrl, const std::string& language = "en");

// Logging on into a fresh file for the life of the object (tests/support).
using tarvik_test::LogCapture;

// Seconds since an arbitrary start, for coarse timing checks.
double now();

// Reads a whole file ("" when missing).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// A fresh private directory under the test's temporary root.
std::string scratchDir();

}  // namespace webapi_test
