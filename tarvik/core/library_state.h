// The library's one process-wide state record, read by every part of the
// library: the transport takes proxy and certificate from it, the request
// envelope the base URL, language, session values, counter, callback and
// error table.
//
// Threads: proxy, certificate, base URL, language and callback are written
// only by the exports, which the caller runs before transfers start; the
// counters are atomic. Session values are written by sign-in and read by
// every request; they change only while no filesystem work runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "tarvik.h"

namespace tarvik {

class ErrorMessageTable;  // webapi/error_table.h

struct LibraryState {
  // Proxy (empty host = no proxy; empty user = no proxy credentials).
  std::string proxyHost;
  int32_t proxyPort = 0;
  ProxyType proxyType = 0;
  std::string proxyUser;
  std::string proxyPassword;

  // The caller's certificate context; not owned, never freed.
  const struct _CERT_CONTEXT* certificate = nullptr;

  std::string apiBase;   // base URL + "api/"
  std::string language;  // "ja" or "en"
  StatusCallback statusCallback = nullptr;
  std::atomic<uint32_t> requestCounter{0};
  std::shared_ptr<ErrorMessageTable> errorTable;

  // Session values; never cleared by the library.
  std::string arrayid;
  std::string jsessionid;
  std::string corpId;
  std::string userId;
  bool sessionFromCaller = false;

  bool debug = false;
  bool noLocking = false;
  char versionText[256] = "UNKNOWN";

  // Directory tree, set by the global initialisation.
  std::string baseDir;
  std::string logDir;
  std::string cacheRoot;
  std::string blockDir;
  std::string tempDir;
  std::atomic<uint32_t> tempFileCounter{0};
};

// The one instance; created empty at load, never freed.
LibraryState& state();

// Status callback used when tarvik_init gets none: "(" code ") " message
// and a line end on standard error.
void builtinStatusCallback(int32_t code, const char* message);

// Calls the status callback of the state, or the built-in one before init.
void reportStatus(int32_t code, const char* message);

}  // namespace tarvik
