#include "SearchIndexer.h"

#include <vector>

#include "winprocess.h"

namespace {

constexpr DWORD kMaxProcesses = 1024;
// Access rights to open the indexer with: synchronise (wait for its end),
// query information, read memory (its module path) and terminate.
constexpr DWORD kQueryInformation = 0x0400;
constexpr DWORD kVmRead = 0x0010;
constexpr DWORD kPathSize = 261;  // characters, terminator included

bool indexerRestartPending = false;
WCHAR indexerImagePath[kPathSize] = {0};
bool startupSwitchArmed = false;

struct QuitRequest {
  win32::ProcessSystem* system;
  DWORD processId;
  int windowsAsked;
};

// Asks every top-level window without an owner that belongs to the process
// to quit.
BOOL postQuitToProcessWindows(HWND window, LPARAM param) {
  auto* request = reinterpret_cast<QuitRequest*>(param);
  DWORD owner = 0;
  request->system->GetWindowThreadProcessId(window, &owner);
  if (owner == request->processId && request->system->GetWindow(window, GW_OWNER) == nullptr) {
    request->system->PostMessageW(window, WM_QUIT, 0, 0);
    ++request->windowsAsked;
  }
  return TRUE;
}

bool startupSwitchGiven(win32::ProcessSystem& system) {
  for (const std::u16string& arg : system.CommandLineArguments()) {
    if (QString::fromStdU16String(arg).compare("-startup", Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

bool isIndexerImage(const WCHAR* image) {
  const QString path = QString::fromUtf16(image);
  const QString file = path.mid(path.lastIndexOf('\\') + 1);
  return file.compare("WindowsSearch.exe", Qt::CaseInsensitive) == 0;
}

}  // namespace

void SearchIndexer::armStartupSwitch() { startupSwitchArmed = true; }

bool SearchIndexer::stopIndexer(int timeoutSeconds) {
  win32::ProcessSystem& system = win32::ProcessSystemInstance();
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!system.GetVersionExW(&version) || version.dwMajorVersion != 5 ||
      (version.dwMinorVersion != 1 && version.dwMinorVersion != 2))
    return true;

  indexerRestartPending = false;
  std::vector<DWORD> ids(kMaxProcesses);
  DWORD bytes = 0;
  if (!system.EnumProcesses(ids.data(), kMaxProcesses * sizeof(DWORD), &bytes)) return true;
  const DWORD waitMs = static_cast<DWORD>(timeoutSeconds) * 1000;

  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    HANDLE process = system.OpenProcess(
        SYNCHRONIZE | kQueryInformation | kVmRead | PROCESS_TERMINATE,
        FALSE, ids[i]);
    if (process == nullptr) continue;
    WCHAR image[kPathSize];
    if (system.GetProcessImageFileNameW(process, image, kPathSize) == 0 || !isIndexerImage(image)) {
      system.CloseHandle(process);
      continue;
    }
    if (system.GetModuleFileNameExW(process, nullptr, indexerImagePath, kPathSize) == 0)
      indexerImagePath[0] = 0;

    bool terminateNow = false;
    if (startupSwitchArmed) {
      // Consulted once: a later mount in the same run asks the indexer to quit.
      startupSwitchArmed = false;
      terminateNow = startupSwitchGiven(system);
    }
    bool stopped;
    if (terminateNow) {
      stopped = system.TerminateProcess(process, static_cast<UINT>(-1)) != FALSE;
    } else {
      QuitRequest request{&system, ids[i], 0};
      system.EnumWindows(&postQuitToProcessWindows, reinterpret_cast<LPARAM>(&request));
      if (request.windowsAsked == 0) {
        stopped = system.TerminateProcess(process, static_cast<UINT>(-1)) != FALSE;
      } else {
        stopped = system.WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0 ||
                  system.TerminateProcess(process, static_cast<UINT>(-1)) != FALSE;
      }
    }
    if (!stopped || system.WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) {
      system.CloseHandle(process);
      return false;
    }
    indexerRestartPending = true;
    system.CloseHandle(process);
  }
  return true;
}

bool SearchIndexer::restartIndexer() {
  if (!indexerRestartPending) return true;
  win32::ProcessSystem& system = win32::ProcessSystemInstance();
  PROCESS_INFORMATION info{};
  if (!system.CreateProcessW(indexerImagePath, &info)) return false;
  system.CloseHandle(info.hProcess);
  system.CloseHandle(info.hThread);
  indexerRestartPending = false;
  return true;
}

bool SearchIndexer::restartPending() { return indexerRestartPending; }

QString SearchIndexer::imagePath() { return QString::fromUtf16(indexerImagePath); }

void SearchIndexer::resetForTest() {
  indexerRestartPending = false;
  indexerImagePath[0] = 0;
  startupSwitchArmed = false;
}
