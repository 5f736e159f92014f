// Trace lines of the Dokan side: formatted printf-style, one trailing newline
// dropped, written at DEBUG as "DOKAN||| " + text. Nothing is formatted while
// logging is off.
#pragma once

#include "log/log.h"

namespace tarvik {

void dokanTraceWrite(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tarvik

#define DOKAN_TRACE(...)                                      \
  do {                                                        \
    if (::tarvik::log::isEnabled(::tarvik::log::kDebug))      \
      ::tarvik::dokanTraceWrite(__VA_ARGS__);                 \
  } while (0)
