// The rename half of the Dokan adapter (see move_file.h).
//
// Runs on Dokan's worker threads; the office save tracker has its own mutex.
#include "drive/move_file.h"

#include <strings.h>

#include "drive/decas_frame.h"
#include "drive/dokan_trace.h"
#include "drive/office_save_tracker.h"
#include "drive/process_class.h"

namespace tarvik {

namespace {

bool isOffice(uint32_t pid) { return classifyProcess(pid) == ProcessClass::Office; }

// Statuses that say the name does not exist (not found, and the service's
// codes for a missing entry or folder).
bool isMissing(int r) {
  int code = -r;
  return code == 2 || code == 720002 || code == 720003 || code == 720018 || code == 720110;
}

bool hasTmpExtension(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  return strcasecmp(path.c_str() + dot + 1, "tmp") == 0;
}

// The office program moves its new temporary file `from` onto the document
// `to` of its save: the document goes back under its name (keeping its
// identity), is copied to the backup name, and the new content replaces it
// once uploaded. Each step is one move or copy; a failed step leaves the
// document with its old content and the temporary file with the new one.
int replaceOfficeDocument(const OfficeSaveEntry& entry, const std::string& from,
                          const std::string& to, bool toExists, uint32_t pid) {
  int r = decas_rename(entry.backup_path.c_str(), to.c_str(), toExists);
  if (r >= 0) r = decas_copy(to.c_str(), entry.backup_path.c_str());
  if (r < 0) return r;
  officeSaveTracker().markReplaced(pid, from);
  if (!entry.uploaded) return 0;
  r = decas_rename(from.c_str(), to.c_str(), true);
  officeSaveTracker().drop(pid);
  return r;
}

}  // namespace

int moveEntry(const std::string& from, const std::string& to, bool replace,
              bool sourceIsDirectory, uint32_t pid) {
  // Every rule first: nothing is changed for a move that is refused.
  StatRecord st{};
  int r = decas_stat(to.c_str(), &st);
  const bool toExists = r >= 0;
  if (toExists) {
    if (!replace) return -DECAS_EEXIST;
    if (st.type & ENTRY_DIRECTORY) return -DECAS_EISDIR;
    if (sourceIsDirectory) return -DECAS_ENOTDIR;
  } else if (!isMissing(r)) {
    return r;
  }

  const bool office = isOffice(pid);
  if (office) {
    if (hasTmpExtension(to)) officeSaveTracker().recordBackup(pid, from, to);
    auto entry = officeSaveTracker().find(pid);
    if (entry && entry->document_path == to) {
      return replaceOfficeDocument(*entry, from, to, toExists, pid);
    }
  }
  // An existing file is replaced by the move itself, in one service call.
  return decas_rename(from.c_str(), to.c_str(), toExists || office);
}

void finishOfficeReplacement(uint32_t pid) {
  if (!isOffice(pid)) return;
  auto entry = officeSaveTracker().find(pid);
  if (!entry || !entry->replaced || !entry->uploaded) return;
  int r = decas_rename(entry->temp_path.c_str(), entry->document_path.c_str(), true);
  if (r < 0) DOKAN_TRACE("  >rename failed. %d\n", r);
  officeSaveTracker().drop(pid);
}

}  // namespace tarvik
