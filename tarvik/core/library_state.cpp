#include "core/library_state.h"

#include <cstdio>
#include <string>

namespace tarvik {

LibraryState& state() {
  // Created on first use and deliberately never destroyed: worker threads
  // may still read it while the process exits.
  static LibraryState* instance = new LibraryState();
  return *instance;
}

void builtinStatusCallback(int32_t code, const char* message) {
  std::string line = "(" + std::to_string(code) + ") " + (message ? message : "") + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void reportStatus(int32_t code, const char* message) {
  StatusCallback cb = state().statusCallback;
  if (cb == nullptr) cb = builtinStatusCallback;
  cb(code, message);
}

}  // namespace tarvik
