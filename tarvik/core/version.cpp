#include "core/version.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/library_state.h"

namespace tarvik {
namespace {
std::mutex g_versionMutex;  // guards the first read of the version file
}  // namespace

const char* versionText() {
  char* text = state().versionText;
  std::lock_guard<std::mutex> lock(g_versionMutex);
  if (std::strcmp(text, "UNKNOWN") == 0) {
    if (FILE* f = std::fopen("VERSION", "r")) {
      char line[256];
      if (std::fgets(line, sizeof line, f) != nullptr) {
        // The text rides in every request URL: a line break would break it.
        size_t n = std::strlen(line);
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
        if (n > 0) std::memcpy(text, line, n + 1);
      }
      std::fclose(f);
    }
  }
  return text;
}

}  // namespace tarvik
