// POSIX requests as the callback sequences Windows sends for them.
//
// The FUSE loop and the in-process test driver both go through this class,
// so tests without a kernel mount see exactly the calls a mount makes:
//   open/create  = ZwCreateFile (the per-open DOKAN_FILE_INFO lives in an OpenFile)
//   close(2)     = FlushFileBuffers (handles opened for writing), release = Cleanup, CloseFile
//   stat         = GetFileInformation on the open, or ZwCreateFile, GetFileInformation,
//                  Cleanup, CloseFile on the path
//   unlink       = ZwCreateFile(DELETE), DeleteFile, Cleanup with DeleteOnClose, CloseFile
//   rmdir        = ZwCreateFile(DELETE, directory), DeleteDirectory, Cleanup with
//                  DeleteOnClose, CloseFile
//   mkdir        = ZwCreateFile(FILE_CREATE, directory), Cleanup, CloseFile
//   rename       = ZwCreateFile(DELETE) of the source, MoveFile, Cleanup, CloseFile
//   opendir      = ZwCreateFile(directory), readdir = FindFiles, releasedir = Cleanup, CloseFile
//   truncate     = SetEndOfFile (on the open, or on a temporary write open)
//   statfs       = GetDiskFreeSpace and GetVolumeInformation
//   fsync        = FlushFileBuffers
//
// Deleted open files: libfuse keeps an unlinked (or replaced) file that is
// still open under a hidden name (".fuse_hidden" + 16 hex digits) in the
// same folder, by a rename, and unlinks that name after the last close.
// Here that rename is the unlink (the file is deleted on the Windows side
// at once), and the hidden name is only local: stat, truncate and utimens
// of it are served through the file's opens, and its final unlink just
// forgets it. So a deleted file stays usable through its descriptors while
// its name is gone for everybody.
// A rename onto an open file also first hides the target. That hide deletes
// nothing: the move that follows replaces the target in one call, and a move
// that fails leaves it, under its name on the Windows side; its hidden name
// then only stands for that name until the last close.
// Reads and writes from the kernel are synchronous; an O_APPEND write is a
// write to the end of the file. Results are 0 / byte counts or -errno.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dokan.h"

namespace dokan {

// One open of a file or directory: the Windows name and the DOKAN_FILE_INFO
// whose Context the file system keeps until CloseFile.
struct OpenFile {
  // The Windows name; a rename made through the drive while the file is
  // open changes it (see Requests::nameOf).
  std::u16string name;
  DOKAN_FILE_INFO info{};
  bool writable = false;
  bool directory = false;
  // The local hidden name of a file deleted while this open lasts (see
  // above); empty while the file has its name.
  std::string hiddenPath;
  // The directory listing of the last FindFiles, served in pieces to the
  // kernel (one FindFiles per listing from offset 0).
  std::vector<std::pair<std::string, struct stat>> listing;
};

class Requests {
 public:
  Requests(const DOKAN_OPERATIONS* ops, DOKAN_OPTIONS* options);
  ~Requests();  // releases opens left over after the drive went away
  Requests(const Requests&) = delete;
  Requests& operator=(const Requests&) = delete;

  // True for libfuse's hidden names of deleted open files.
  static bool IsHiddenName(const std::string& path);
  // Longest name of one path component, in bytes, as on Linux file systems.
  static constexpr size_t kMaxNameBytes = 255;
  // Wide name for a UTF-8 drive path ("/a/b" -> "\a\b"). 0, or -EINVAL for
  // a path the Windows side cannot carry unchanged (bad UTF-8, or a "\" in
  // a name, which would become a separator there), -ENAMETOOLONG for a
  // component longer than kMaxNameBytes.
  static int WindowsName(const std::string& path, std::u16string& out);
  // stat buffer for a Windows file information record.
  static void FillStat(const BY_HANDLE_FILE_INFORMATION& info, struct stat* st);
  static void FillStat(const WIN32_FIND_DATAW& data, struct stat* st);

  int getattr(const std::string& path, struct stat* st, OpenFile* of, uint32_t pid);
  // flags are open(2) flags; create: the kernel asked to create (O_CREAT).
  // (*out)->info.KeepCache tells whether the kernel may keep the file's pages.
  int open(const std::string& path, int flags, bool create, uint32_t pid, OpenFile** out);
  int read(OpenFile* of, char* buf, size_t len, int64_t off, uint32_t pid);
  int write(OpenFile* of, const char* buf, size_t len, int64_t off, uint32_t pid);
  int flush(OpenFile* of, uint32_t pid);  // close(2) of one descriptor
  int fsync(OpenFile* of, uint32_t pid);
  int release(OpenFile* of, uint32_t pid);  // last close; deletes `of`
  int opendir(const std::string& path, uint32_t pid, OpenFile** out);
  // The sink gets each entry with the offset of the next one and returns
  // false when it takes no more. Offset 0 lists afresh with FindFiles; a
  // later offset continues the same listing.
  using EntrySink =
      std::function<bool(const std::string& name, const struct stat& st, int64_t nextOffset)>;
  int readdir(OpenFile* of, uint32_t pid, int64_t offset, const EntrySink& sink);
  int releasedir(OpenFile* of, uint32_t pid);
  int mkdir(const std::string& path, uint32_t pid);
  int rmdir(const std::string& path, uint32_t pid);
  int unlink(const std::string& path, uint32_t pid);
  // noReplace: RENAME_NOREPLACE; otherwise an existing target is replaced.
  int rename(const std::string& from, const std::string& to, bool noReplace, uint32_t pid);
  int truncate(const std::string& path, int64_t size, OpenFile* of, uint32_t pid);
  int utimens(const std::string& path, const struct timespec tv[2], OpenFile* of, uint32_t pid);
  int statfs(struct statvfs* out, uint32_t pid);

  size_t openCount();

  // The FUSE loop says, per thread, whether the calls until endRequest serve
  // a rename: libfuse hides an open file in the same way for an unlink and
  // for a rename onto it, and only the unlink deletes it at once.
  static void beginRequest(bool rename);
  // Ends the thread's request: a hide of a rename whose move never came is
  // undone.
  void endRequest();

 private:
  NTSTATUS create(const std::u16string& name, ACCESS_MASK access, ULONG share,
                  ULONG disposition, ULONG options, uint32_t pid, OpenFile* of);
  void closeOpen(OpenFile* of, bool deleteOnClose, NTSTATUS* cleanupStatus);
  // How a request made of "open, one call, close" ends.
  enum class CloseWith {
    kPlainClose,       // Cleanup's status is not looked at
    kCleanupStatus,    // a failed Cleanup is the request's failure
    kDeleteOnSuccess,  // as kCleanupStatus, with DeleteOnClose when the call succeeded
  };
  // ZwCreateFile of `name` (all sharing), `call` on the open (when given),
  // then Cleanup and CloseFile. Returns the first failure: the create's
  // (nothing to close then), the call's, or Cleanup's as `close` says.
  NTSTATUS openCallClose(const std::u16string& name, ACCESS_MASK access, ULONG disposition,
                         ULONG options, uint32_t pid,
                         const std::function<NTSTATUS(OpenFile&, DOKAN_FILE_INFO&)>& call,
                         CloseWith close);
  OpenFile* track(OpenFile* of);
  void untrack(OpenFile* of);
  // rename's work once the hide it may follow is taken.
  int move(const std::string& from, const std::string& to, bool noReplace, uint32_t pid);
  // Deletes `from`, an open file, and gives its opens the hidden name `to`;
  // for a rename onto `from`, only gives the name and leaves the deletion to
  // the move (the thread's pending hide).
  int hide(const std::string& from, const std::string& to, uint32_t pid);
  // The hidden name of `to` when this thread's rename onto `to` hid it
  // first, or "" (the hide is then decided: the caller has the name).
  std::string takeHiddenTarget(const std::string& to);
  // After a failed move onto a hidden target: the hidden name, which libfuse
  // keeps for the file until its last close, stands for `name` again.
  void keepUnderItsName(const std::string& hidden, const std::string& name);
  // The name a path request on `path` is for: the name a hidden name stands
  // for, or `path`.
  std::string realName(const std::string& path);
  // libfuse's unlink of a hidden name after the last close: forgets it and
  // returns true, or false when `path` is no hidden name.
  bool forgetHidden(const std::string& path);
  // When `path` is the hidden name of a deleted file: *result = fn(an open
  // of it), or -ENOENT when its last open is gone, and true. fn runs under
  // mutex_, so the open cannot be released meanwhile.
  bool onHidden(const std::string& path, const std::function<int(OpenFile*)>& fn, int* result);

  // A copy of the open's name, which a rename of it may change meanwhile.
  std::u16string nameOf(const OpenFile* of);
  // After a rename: opens of `from`, or below it, take the name `to`.
  void renameOpens(const std::u16string& from, const std::u16string& to);

  const DOKAN_OPERATIONS* ops_;
  DOKAN_OPTIONS* options_;
  std::mutex mutex_;  // guards opens_, hidden_, standIns_ and the opens' hiddenPath
  std::unordered_set<OpenFile*> opens_;
  std::unordered_set<std::string> hidden_;  // hidden names not yet unlinked
  // Hidden names of files that a failed move left in place, with their names.
  std::unordered_map<std::string, std::string> standIns_;
  // Guards the names of tracked opens: changed under mutex_ and nameMutex_,
  // read under either. Taken after mutex_, never before it.
  std::mutex nameMutex_;
};

}  // namespace dokan
