// Byte sizes as people write them: "10G", "512M", "64k", "1048576", with
// an optional "B" or "iB" after the unit. Units are powers of 1024. Shared
// by the library (the cache limit from the environment) and tarvik-mount
// (its --cache-limit option), so both accept exactly the same texts.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>

namespace tarvik {

// The value of `text` in bytes, or false when it is not a size (empty, not a
// number, an unknown unit, or beyond what 64 bits hold).
inline bool parseByteSize(const std::string& text, int64_t* out) {
  size_t k = 0;
  uint64_t value = 0;
  while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k]))) {
    const uint64_t digit = static_cast<uint64_t>(text[k] - '0');
    if (value > (static_cast<uint64_t>(INT64_MAX) - digit) / 10) return false;
    value = value * 10 + digit;
    ++k;
  }
  if (k == 0) return false;
  int shift = 0;
  if (k < text.size()) {
    switch (std::toupper(static_cast<unsigned char>(text[k]))) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      case 'T': shift = 40; break;
      default: break;
    }
    if (shift != 0) {
      ++k;
      if (k < text.size() && text[k] == 'i') ++k;
    }
    if (k < text.size() && (text[k] == 'B' || text[k] == 'b')) ++k;
  }
  if (k != text.size()) return false;
  if (shift != 0 && value > (static_cast<uint64_t>(INT64_MAX) >> shift)) return false;
  *out = static_cast<int64_t>(value << shift);
  return true;
}

}  // namespace tarvik
