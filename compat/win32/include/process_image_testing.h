// Test hook: gives a process id a made-up image name ("\" separators), so
// tests can act as a file manager or an office program. Empty removes it.
#pragma once

#include <map>
#include <string>

#include "windows_types.h"

namespace dokan {
void SetProcessImageForTest(DWORD pid, const std::string& imagePath);
}  // namespace dokan
