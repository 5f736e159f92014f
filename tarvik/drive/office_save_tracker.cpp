// The office save tracker (see office_save_tracker.h).
#include "drive/office_save_tracker.h"

#include "core/scoped_lock.h"

namespace tarvik {

std::optional<OfficeSaveEntry> OfficeSaveTracker::find(uint32_t pid) {
  ScopedLock lock(mutex_);
  auto it = entries_.find(pid);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

void OfficeSaveTracker::recordBackup(uint32_t pid, const std::string& documentPath,
                                     const std::string& backupPath) {
  ScopedLock lock(mutex_);
  OfficeSaveEntry& e = entries_[pid];
  if (e.document_path.empty()) {
    e.document_path = documentPath;
    e.backup_path = backupPath;
  }
}

void OfficeSaveTracker::markReplaced(uint32_t pid, const std::string& tempPath) {
  ScopedLock lock(mutex_);
  OfficeSaveEntry& e = entries_[pid];
  e.temp_path = tempPath;
  e.replaced = true;
}

void OfficeSaveTracker::markUploaded(uint32_t pid) {
  ScopedLock lock(mutex_);
  auto it = entries_.find(pid);
  if (it != entries_.end()) it->second.uploaded = true;
}

void OfficeSaveTracker::drop(uint32_t pid) {
  ScopedLock lock(mutex_);
  entries_.erase(pid);
}

size_t OfficeSaveTracker::size() {
  ScopedLock lock(mutex_);
  return entries_.size();
}

OfficeSaveTracker& officeSaveTracker() {
  static OfficeSaveTracker tracker;
  return tracker;
}

}  // namespace tarvik
