// The wall clock the library stamps records with.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarvik {

// Current time in microseconds since 1970-01-01 UTC.
inline int64_t nowMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tarvik
