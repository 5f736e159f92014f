// Classes of the calling process (see process_class.h).
#include "drive/process_class.h"

#include <strings.h>

#include "drive/dokan_trace.h"
#include "process_image.h"
#include "unicode.h"

namespace tarvik {

namespace {
// File managers whose deletes go to the trash and whose exclusive opens do
// not lock on the service.
const char* const kExplorerNames[] = {"explorer.exe", "nautilus", "nemo",    "caja",
                                      "thunar",       "dolphin",  "pcmanfm", "pcmanfm-qt"};
// Programs that save by renaming the document away and a temporary file onto it.
const char* const kOfficeNames[] = {"EXCEL.EXE",   "POWERPNT.EXE", "PPCNVCOM.EXE", "WINWORD.EXE",
                                    "MSPUB.EXE",   "INFOPATH.EXE", "VISIO.EXE"};
constexpr unsigned kImageNameChars = 260;
}  // namespace

ProcessClass classOfImageName(const std::string& name) {
  for (const char* n : kExplorerNames)
    if (strcasecmp(name.c_str(), n) == 0) return ProcessClass::Explorer;
  for (const char* n : kOfficeNames)
    if (strcasecmp(name.c_str(), n) == 0) return ProcessClass::Office;
  return ProcessClass::Other;
}

ProcessClass classifyProcess(uint32_t processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
  if (!process) {
    DOKAN_TRACE(">OpenProcess Error: %ld\n", static_cast<long>(GetLastError()));
    return ProcessClass::Other;
  }
  WCHAR image[kImageNameChars] = {};
  DWORD n = K32GetProcessImageFileNameW(process, image, kImageNameChars);
  CloseHandle(process);
  if (n == 0) {
    DOKAN_TRACE(">GetProcessImageFileName Error: %ld\n", static_cast<long>(GetLastError()));
    return ProcessClass::Other;
  }
  std::string full = win32::ToUtf8(std::u16string_view(image, n));
  DOKAN_TRACE(">Process: %s(Id = %ld)\n", full.c_str(), static_cast<long>(processId));
  size_t slash = full.rfind('\\');
  return classOfImageName(slash == std::string::npos ? full : full.substr(slash + 1));
}

}  // namespace tarvik
