// The Windows version and process functions the desktop client's search
// indexer handling calls, behind one replaceable interface so that tests can
// put in a version and a process list of their own.
//
// On Linux (ProcessSystemInstance() by default):
// - GetVersionExW answers the kernel's major and minor version;
// - processes are those of /proc; OpenProcess gives a handle over a pidfd;
//   the image file name is the executable's path with "\" separators, the
//   module file name the same path as the system names it (usable to start
//   the program again);
// - TerminateProcess kills the process (SIGKILL), WaitForSingleObject waits
//   for it to end;
// - there are no top-level windows: EnumWindows calls back for none and
//   PostMessageW fails;
// - CreateProcessW starts the program detached (not a child that would need
//   reaping), with no arguments;
// - CommandLineArguments are this process's arguments (/proc/self/cmdline).
#pragma once

#include <string>
#include <vector>

#include "windows_types.h"

typedef void* HWND;
typedef void* HMODULE;
typedef uint64_t WPARAM;
typedef int64_t LPARAM;
typedef unsigned int UINT;
typedef BOOL (*WNDENUMPROC)(HWND, LPARAM);

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr UINT GW_OWNER = 4;
constexpr UINT WM_QUIT = 0x0012;

typedef struct _OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION;

namespace win32 {

class ProcessSystem {
 public:
  virtual ~ProcessSystem() = default;

  virtual BOOL GetVersionExW(OSVERSIONINFOW* info) = 0;
  // Fills `ids` with up to bytes / sizeof(DWORD) process ids.
  virtual BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) = 0;
  virtual HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId) = 0;
  // Both return the length copied (without the terminator), 0 on failure.
  virtual DWORD GetProcessImageFileNameW(HANDLE process, LPWSTR name, DWORD size) = 0;
  virtual DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, LPWSTR name, DWORD size) = 0;
  virtual BOOL TerminateProcess(HANDLE process, UINT exitCode) = 0;
  virtual DWORD WaitForSingleObject(HANDLE process, DWORD milliseconds) = 0;
  virtual BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) = 0;
  virtual DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) = 0;
  virtual HWND GetWindow(HWND window, UINT command) = 0;
  virtual BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Starts `applicationName` with no command line, the default environment,
  // current directory and start-up information, no creation flags.
  virtual BOOL CreateProcessW(LPCWSTR applicationName, PROCESS_INFORMATION* info) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  // The process's command line split into arguments, program first.
  virtual std::vector<std::u16string> CommandLineArguments() = 0;
};

// The system's implementation (see above).
ProcessSystem& LinuxProcessSystem();

// The implementation in force: the system's, or the one a test installed.
ProcessSystem& ProcessSystemInstance();
// Installs `system` (not owned); null restores the system's.
void SetProcessSystemForTest(ProcessSystem* system);

}  // namespace win32
