// Conversions between Dokan's UTF-16 Windows paths and the drive's UTF-8
// paths with "/" separators.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// Longest converted drive path, in bytes.
constexpr size_t kMaxDrivePathBytes = 8192;

// "\\?\UNC\" becomes "//", "\\?\" is dropped, the rest is converted and every
// "\" becomes "/". Returns 0, -38 when the result does not fit in
// kMaxDrivePathBytes, or -22 on an unpaired surrogate; on failure `out`
// holds the converted prefix.
int fromWindowsPath(std::u16string_view in, std::string& out);

// UTF-8 to UTF-16 with "/" turned into "\"; texts longer than 259 bytes get
// the "\\?\" (drive letter) or "\\?\UNC\" (two leading slashes) prefix.
// Invalid UTF-8 converts up to the first bad sequence.
std::u16string toWindowsPath(std::string_view in);

}  // namespace tarvik
