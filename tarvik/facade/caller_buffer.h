// Copying results into the buffers callers of the exports pass.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace tarvik {

// Copies `value` into a caller buffer of `size` bytes, cut to fit and
// always terminated. Nothing happens for a null buffer or a size of 0.
inline void copyBounded(char* out, size_t size, const std::string& value) {
  if (out == nullptr || size == 0) return;
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

}  // namespace tarvik
