// Trace lines of the Dokan side (see dokan_trace.h).
#include "drive/dokan_trace.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace tarvik {

namespace {
// A trace line holds at most 1024 characters; longer texts are cut.
constexpr size_t kTraceLimit = 1024;

// Cuts `s` to at most `limit` UTF-8 characters without splitting one.
void CutCharacters(std::string& s, size_t limit) {
  size_t chars = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (chars == limit) {
        s.resize(i);
        return;
      }
      ++chars;
    }
  }
}
}  // namespace

void dokanTraceWrite(const char* format, ...) {
  char small[kTraceLimit * 4 + 1];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return;
  std::string text(small, std::min(static_cast<size_t>(n), sizeof small - 1));
  CutCharacters(text, kTraceLimit);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  log::write(log::kDebug, "DOKAN||| ", text);
}

}  // namespace tarvik
