// Process image names from /proc, under the Win32 names the adapter calls.
// The image name has "\" separators (the Linux path of the executable with
// "/" turned into "\"), so the part behind the last "\" is the program name
// as it is on Windows.
#pragma once

#include <string>
#include <vector>

#include "errhandlingapi.h"
#include "windows_types.h"

constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_VM_READ = 0x0010;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;

// A handle for a running process, or nullptr (GetLastError tells why).
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
BOOL CloseHandle(HANDLE handle);
// Copies the image file name (NUL-terminated, truncated to `size` - 1
// characters); returns its length, 0 on failure.
DWORD K32GetProcessImageFileNameW(HANDLE process, LPWSTR imageFileName, DWORD size);

namespace dokan {
// Image names of every running process (for the debug process list).
std::vector<std::string> RunningProcessImages();
}  // namespace dokan
