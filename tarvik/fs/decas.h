// The decas operation frame: the table of operations that the cloud side
// fills, the entry functions the Dokan adapter calls instead of the slots,
// the open-file set with its busy counters, and the start and removal of the
// mount.
//
// Statuses: >= 0 success (read and write return a byte count), < 0 the
// negated failure code: POSIX-style (2, 13, 17, 20, 21, 22, 28),
// 720000 + a Win32 error, or DECAS_STATUS_RESOURCE_LOCKED.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "fs/open_flags.h"

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

// Modes of the access operation.
constexpr int ACCESS_CREATE = 0x2;
constexpr int ACCESS_DELETE = 0x4;
constexpr int ACCESS_DELETE_DIRECTORY = 0x20;

// Failure codes (negate them to get the status).
constexpr int32_t DECAS_ENOENT = 2;
constexpr int32_t DECAS_EACCES = 13;
constexpr int32_t DECAS_EEXIST = 17;
constexpr int32_t DECAS_ENOTDIR = 20;
constexpr int32_t DECAS_EISDIR = 21;
constexpr int32_t DECAS_EINVAL = 22;
constexpr int32_t DECAS_ENOSPC = 28;
constexpr int32_t DECAS_OS_ERROR_BASE = 720000;  // + a Win32 error code
// The resource is locked by somebody else (the NTSTATUS of the same idea is
// a different number, hence the prefix).
constexpr int32_t DECAS_STATUS_RESOURCE_LOCKED = 20050412;

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

// The cloud side's table-filling function; the mount code (and tests)
// register it before decas_main.
using TableFiller = void (*)(OperationTable* table);
void decas_setTableFiller(TableFiller filler);

// Dokan option bits.
constexpr uint32_t DECAS_OPTION_NETWORK = 16;  // mount as a network drive

// Starts the frame and the mount. Without a filler it fails with -99.
// blocking: runs the mount on the calling thread until it is unmounted.
int decas_main(const std::string& mountPoint, uint32_t options, bool debug, bool blocking);
// Removes the mount point and joins the mount thread: 0, or -1 on failure.
int decas_exit();

// Entry functions, one per slot; they log "-in"/"-out", keep the busy
// counters and the open-file set, and never throw.
int decas_access(const char* path, int mode);
int decas_stat(const char* path, StatRecord* out);
int decas_mkdir(const char* path);
int decas_rmdir(const char* path, bool toTrash);
int decas_remove(const char* path, bool toTrash);
int decas_rename(const char* from, const char* to, bool overwrite);
int decas_open(const char* path, DecasHandle* h);
int decas_fstat(const char* path, StatRecord* out, DecasHandle* h);
int decas_ftruncate(const char* path, int64_t size, DecasHandle* h);
int decas_read(const char* path, char* buf, size_t len, int64_t off, bool sync, DecasHandle* h);
int decas_write(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                DecasHandle* h);
int decas_flush(const char* path, DecasHandle* h);
int decas_close(const char* path, DecasHandle* h);
int decas_opendir(const char* path, DecasHandle* h);
int decas_readdir(const char* path, DirFiller filler, int, int, DecasHandle* h);
int decas_closedir(const char* path, DecasHandle* h);
int decas_statfs(int64_t* capacity, int64_t* free);
int decas_copy(const char* src, const char* dst);
// The frame's exit: with status 0 flushes (when opened for writing) and
// closes every open file, then calls the table's exit.
int decas_exitEntry(int status);

// Translates a failure code (the negated status) into a Win32 error code.
int statusToWin32(int code);

// Number of handles in the open-file set (0 when the frame is not started).
size_t decas_openFileCount();

// A rename of drive path `from` to `to` succeeded: open handles of the path,
// or below it, take the new path.
void decas_renameOpenHandles(const std::string& from, const std::string& to);

namespace decas_testing {
// Shortens the one-second waits (busy counter, mount retries) in tests.
void setWaitUnitMilliseconds(int ms);
}  // namespace decas_testing

}  // namespace tarvik
