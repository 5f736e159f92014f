// Follows one save of an office document per process: the program moves the
// document away to a ".tmp" backup, writes a new temporary file and moves it
// onto the document. The tracker lets the adapter keep the document's
// identity on the service (see move_file.cpp).
// One table for all Dokan threads, guarded by its own mutex; entries are
// handed out as copies.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tarvik {

struct OfficeSaveEntry {
  std::string document_path;
  std::string backup_path;
  std::string temp_path;
  bool replaced = false;
  bool uploaded = false;
};

class OfficeSaveTracker {
 public:
  std::optional<OfficeSaveEntry> find(uint32_t pid);
  // Makes sure the process has an entry; records the document and its
  // backup when none is recorded yet.
  void recordBackup(uint32_t pid, const std::string& documentPath, const std::string& backupPath);
  void markReplaced(uint32_t pid, const std::string& tempPath);
  void markUploaded(uint32_t pid);  // only when the process has an entry
  void drop(uint32_t pid);
  size_t size();

 private:
  std::mutex mutex_;  // guards entries_
  std::map<uint32_t, OfficeSaveEntry> entries_;
};

OfficeSaveTracker& officeSaveTracker();

}  // namespace tarvik
