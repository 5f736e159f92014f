// The decas operation table: the one contract between the drive side (the
// frame and the Dokan adapter, drive/) and the cloud side (cache/, cloud/).
// The cloud side fills the table; the frame calls its slots. Records, open
// handles and statuses (core/statuses.h) pass between the two only here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/statuses.h"
#include "optable/open_flags.h"

namespace tarvik {

enum EntryType : int32_t {
  ENTRY_NONE = 0,
  ENTRY_FILE = 1,
  ENTRY_DIRECTORY = 2,
  ENTRY_SYSTEM = 8,  // only the folder "/__system__" itself
};

// Times are microseconds since 1970-01-01 UTC; -1 means unknown.
struct StatRecord {
  int32_t type;
  int64_t size;
  int64_t atime;
  int64_t mtime;
  int64_t ctime;
};

// Handle state bits.
constexpr uint32_t HANDLE_DIRECTORY = 0x1;
constexpr uint32_t HANDLE_NEW = 0x2;               // the open created the file
constexpr uint32_t HANDLE_CONTENT_UPLOADED = 0x4;  // the last flush uploaded non-empty content
constexpr uint32_t HANDLE_NAME_REMOVED = 0x8;      // close found the name deleted meanwhile
constexpr uint32_t HANDLE_KEEP_CACHE = 0x10;       // the content is the one of the last open
constexpr uint32_t HANDLE_KEEP_FOR_LATER = 0x20;   // unmount: keep the content, ask no service

// Modes of the access operation.
constexpr int ACCESS_CREATE = 0x2;
constexpr int ACCESS_DELETE = 0x4;
constexpr int ACCESS_DELETE_DIRECTORY = 0x20;

class FileContext;  // the cloud side's open-file context (cache code)

// One per open file or directory. The Dokan adapter owns it (one owner per
// open, released at Cleanup); the frame's open-file set only refers to it.
struct DecasHandle {
  // Drive path, UTF-8, "/" separators. A rename of the file (or of a
  // folder above it) made while it is open changes it, so it is read as a
  // copy.
  std::string path() const {
    std::lock_guard<std::mutex> lock(pathMutex_);
    return path_;
  }
  void setPath(const std::string& drivePath) {
    std::lock_guard<std::mutex> lock(pathMutex_);
    path_ = drivePath;
  }
  OpenFlags openFlags = 0;
  uint32_t state = 0;  // HANDLE_* bits
  uint32_t processId = 0;
  std::atomic<int32_t> busy{0};  // operations running on this handle
  std::shared_ptr<FileContext> fileContext;

 private:
  mutable std::mutex pathMutex_;  // a leaf: guards path_
  std::string path_;
};

// Called once per directory entry: name (UTF-8, no slashes), its record, 0, 0,
// the directory handle. Returns 0 to go on.
using DirFiller = int (*)(const char* name, const StatRecord* st, int, int, DecasHandle* dirHandle);

// 25 slots in this order; an empty slot is never called except copy.
struct OperationTable {
  int (*access)(const char* path, int mode);                                // 0
  int (*stat)(const char* path, StatRecord* out);                           // 1
  int (*mkdir)(const char* path);                                           // 2
  int (*rmdir)(const char* path, bool toTrash);                             // 3
  int (*remove)(const char* path, bool toTrash);                            // 4
  int (*rename)(const char* from, const char* to, bool overwrite);          // 5
  int (*stub6)();                                                           // 6
  int (*stub7)();                                                           // 7
  int (*open)(const char* path, DecasHandle* h);                            // 8
  int (*fstat)(const char* path, StatRecord* out, DecasHandle* h);          // 9
  int (*ftruncate)(const char* path, int64_t size, DecasHandle* h);         // 10
  int (*read)(const char* path, char* buf, size_t len, int64_t off, bool sync,
              DecasHandle* h);                                              // 11
  int (*write)(const char* path, const char* buf, size_t len, int64_t off, bool sync,
               DecasHandle* h);                                             // 12
  int (*flush)(const char* path, DecasHandle* h);                           // 13
  int (*close)(const char* path, DecasHandle* h);                           // 14
  int (*opendir)(const char* path, DecasHandle* h);                         // 15
  int (*readdir)(const char* path, DirFiller filler, int, int, DecasHandle* h);  // 16
  int (*closedir)(const char* path, DecasHandle* h);                        // 17
  int (*statfs)(int64_t* capacity, int64_t* free);                          // 18
  void* slot19;
  void* slot20;
  void* slot21;
  int (*copy)(const char* src, const char* dst);                            // 22
  int (*init)(int, int);                                                    // 23
  int (*exit)(int status);                                                  // 24
};

// The cloud side's table-filling function. The frame calls it once per
// mount to fill its table; the mount code (and tests) register it with the
// frame before the mount starts.
using TableFiller = void (*)(OperationTable* table);

// A rename made through the table moved `from` (a drive path) to `to`. The
// cloud side calls it after a successful rename, so that the frame's open
// handles of the path, or below it, take the new path. The frame registers
// the listener; without one nothing happens.
using RenameListener = void (*)(const std::string& from, const std::string& to);
void setRenameListener(RenameListener listener);
void notifyRenamed(const std::string& from, const std::string& to);

}  // namespace tarvik
