// POSIX requests as Windows callback sequences (see dokan_requests.h).
#include <cstring>
#include "dokan_requests.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "dokan_errno.h"
#include "unicode.h"

namespace dokan {

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Windows file times count 100 ns from 1601-01-01; POSIX from 1970-01-01.
constexpr int64_t kEpochDifference100ns = 116444736000000000LL;
// Block size reported to statfs; capacity and free bytes are divided by it.
constexpr unsigned long kStatfsBlock = 4096;

int Errno(NTSTATUS status) { return -ErrnoFromNtStatus(status); }

struct timespec ToTimespec(const FILETIME& ft) {
  int64_t v = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  struct timespec ts{};
  if (v == 0) return ts;  // unknown time
  v -= kEpochDifference100ns;
  ts.tv_sec = v / 10000000;
  ts.tv_nsec = (v % 10000000) * 100;
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1000000000;
    ts.tv_sec -= 1;
  }
  return ts;
}

FILETIME ToFiletime(const struct timespec& ts) {
  int64_t v = static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 + kEpochDifference100ns;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

// The mounting user owns every entry. Asked once: a listing fills thousands
// of entries, and each call is a system call.
uid_t OwnerUid() {
  static const uid_t uid = getuid();
  return uid;
}
gid_t OwnerGid() {
  static const gid_t gid = getgid();
  return gid;
}

void FillCommon(DWORD attributes, const FILETIME& c, const FILETIME& a, const FILETIME& w,
                uint64_t size, struct stat* st) {
  *st = {};
  bool dir = attributes & FILE_ATTRIBUTE_DIRECTORY;
  mode_t perm = dir ? 0755 : 0644;
  if (attributes & FILE_ATTRIBUTE_READONLY) perm &= ~0222;
  st->st_mode = (dir ? S_IFDIR : S_IFREG) | perm;
  st->st_nlink = dir ? 2 : 1;
  st->st_uid = OwnerUid();
  st->st_gid = OwnerGid();
  st->st_size = static_cast<off_t>(size);
  st->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  st->st_blksize = 1 << 20;
  st->st_atim = ToTimespec(a);
  st->st_mtim = ToTimespec(w);
  st->st_ctim = ToTimespec(c);
}

// The per-request copy of an open's file information, with the fields that
// Windows fills per request.
DOKAN_FILE_INFO Request(const OpenFile* of, uint32_t pid, bool io) {
  DOKAN_FILE_INFO r = of->info;
  r.ProcessId = pid;
  r.SynchronousIo = io ? 1 : 0;
  r.WriteToEndOfFile = 0;
  return r;
}

// FindFiles collects into the vector that follows the file information.
struct FindRequest {
  DOKAN_FILE_INFO info;
  std::vector<WIN32_FIND_DATAW>* out;
};
static_assert(offsetof(FindRequest, info) == 0, "the filler casts the file information back");

int CollectFindData(PWIN32_FIND_DATAW data, PDOKAN_FILE_INFO info) {
  reinterpret_cast<FindRequest*>(info)->out->push_back(*data);
  return 0;
}

}  // namespace

Requests::Requests(const DOKAN_OPERATIONS* ops, DOKAN_OPTIONS* options)
    : ops_(ops), options_(options) {}

Requests::~Requests() {
  // Opens the kernel never released (the drive was removed under them). The
  // file system has closed their handles at Unmounted; CloseFile lets it free
  // what it kept per open.
  std::unordered_set<OpenFile*> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(opens_);
  }
  for (OpenFile* of : left) {
    if (ops_->CloseFile) ops_->CloseFile(of->name.c_str(), &of->info);
    delete of;
  }
}

int Requests::WindowsName(const std::string& path, std::u16string& out) {
  out.clear();
  // On Linux "\\" is an ordinary character of a name; on the Windows side
  // it separates names, so "d\\t" would reach the file system as "d/t".
  if (path.find('\\') != std::string::npos) return -EINVAL;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start > kMaxNameBytes) return -ENAMETOOLONG;
    start = end + 1;
  }
  if (!win32::Utf8ToUtf16(path, out)) return -EINVAL;
  for (char16_t& c : out)
    if (c == u'/') c = u'\\';
  if (out.empty()) out.assign(1, u'\\');
  return 0;
}

void Requests::FillStat(const BY_HANDLE_FILE_INFORMATION& i, struct stat* st) {
  FillCommon(i.dwFileAttributes, i.ftCreationTime, i.ftLastAccessTime, i.ftLastWriteTime,
             (static_cast<uint64_t>(i.nFileSizeHigh) << 32) | i.nFileSizeLow, st);
}

void Requests::FillStat(const WIN32_FIND_DATAW& d, struct stat* st) {
  FillCommon(d.dwFileAttributes, d.ftCreationTime, d.ftLastAccessTime, d.ftLastWriteTime,
             (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow, st);
}

OpenFile* Requests::track(OpenFile* of) {
  std::lock_guard<std::mutex> lock(mutex_);
  opens_.insert(of);
  return of;
}

void Requests::untrack(OpenFile* of) {
  std::lock_guard<std::mutex> lock(mutex_);
  opens_.erase(of);
}

std::u16string Requests::nameOf(const OpenFile* of) {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return of->name;
}

void Requests::renameOpens(const std::u16string& from, const std::u16string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::lock_guard<std::mutex> names(nameMutex_);
  for (OpenFile* of : opens_) {
    // A deleted open file keeps its old name: it no longer has one.
    if (!of->hiddenPath.empty()) continue;
    const std::u16string& n = of->name;
    if (n.compare(0, from.size(), from) != 0) continue;
    if (n.size() != from.size() && n[from.size()] != u'\\') continue;
    of->name = to + n.substr(from.size());
  }
}

size_t Requests::openCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return opens_.size();
}

NTSTATUS Requests::create(const std::u16string& name, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options, uint32_t pid, OpenFile* of) {
  of->name = name;
  of->info = {};
  of->info.DokanOptions = options_;
  of->info.ProcessId = pid;
  of->info.IsDirectory = (options & FILE_DIRECTORY_FILE) ? 1 : 0;
  DOKAN_IO_SECURITY_CONTEXT security{access};
  return ops_->ZwCreateFile(name.c_str(), &security, access, FILE_ATTRIBUTE_NORMAL, share,
                            disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, &of->info);
}

void Requests::closeOpen(OpenFile* of, bool deleteOnClose, NTSTATUS* cleanupStatus) {
  DOKAN_FILE_INFO r = Request(of, of->info.ProcessId, false);
  r.DeleteOnClose = deleteOnClose ? 1 : 0;
  const std::u16string name = nameOf(of);
  NTSTATUS s = ops_->Cleanup(name.c_str(), &r);
  if (cleanupStatus) *cleanupStatus = s;
  ops_->CloseFile(name.c_str(), &r);
  of->info.Context = r.Context;
}

NTSTATUS Requests::openCallClose(
    const std::u16string& name, ACCESS_MASK access, ULONG disposition, ULONG options,
    uint32_t pid, const std::function<NTSTATUS(OpenFile&, DOKAN_FILE_INFO&)>& call,
    CloseWith close) {
  OpenFile tmp;
  NTSTATUS s = create(name, access, kShareAll, disposition, options, pid, &tmp);
  if (s < 0) return s;
  if (call) {
    DOKAN_FILE_INFO r = Request(&tmp, pid, false);
    s = call(tmp, r);
  }
  NTSTATUS cleanup = STATUS_SUCCESS;
  closeOpen(&tmp, close == CloseWith::kDeleteOnSuccess && s >= 0, &cleanup);
  if (s < 0 || close == CloseWith::kPlainClose) return s;
  return cleanup;
}

int Requests::getattr(const std::string& asked, struct stat* st, OpenFile* of, uint32_t pid) {
  const std::string path = realName(asked);
  BY_HANDLE_FILE_INFORMATION info{};
  auto viaOpen = [&](OpenFile* open) {
    DOKAN_FILE_INFO r = Request(open, pid, false);
    NTSTATUS s = ops_->GetFileInformation(nameOf(open).c_str(), &info, &r);
    if (s < 0) return Errno(s);
    FillStat(info, st);
    return 0;
  };
  if (of) return viaOpen(of);
  int hiddenResult = 0;
  if (onHidden(path, viaOpen, &hiddenResult)) return hiddenResult;
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  bool noInformationWithoutContext = false;
  const NTSTATUS s = openCallClose(
      name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, pid,
      [&](OpenFile& open, DOKAN_FILE_INFO& r) {
        const NTSTATUS got = ops_->GetFileInformation(name.c_str(), &info, &r);
        noInformationWithoutContext = got < 0 && open.info.Context == 0;
        return got;
      },
      CloseWith::kPlainClose);
  if (noInformationWithoutContext) {
    // A name that opens without a context but has no information is a
    // folder that can be entered and not listed (the drive's system
    // folder). The kernel must see it as a directory to reach the names
    // below it, so it is shown as an empty, unreadable one.
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | 0111;
    st->st_nlink = 2;
    st->st_uid = OwnerUid();
    st->st_gid = OwnerGid();
    return 0;
  }
  if (s < 0) return Errno(s);
  FillStat(info, st);
  return 0;
}

int Requests::open(const std::string& path, int flags, bool createIt, uint32_t pid,
                   OpenFile** out) {
  std::u16string name;
  if (int e = WindowsName(realName(path), name)) return e;
  ACCESS_MASK access = 0;
  switch (flags & O_ACCMODE) {
    case O_RDONLY: access = FILE_GENERIC_READ; break;
    case O_WRONLY: access = FILE_GENERIC_WRITE; break;
    default: access = FILE_GENERIC_READ | FILE_GENERIC_WRITE; break;
  }
  ULONG disposition = FILE_OPEN;
  if (createIt) {
    if (flags & O_EXCL)
      disposition = FILE_CREATE;
    else if (flags & O_TRUNC)
      disposition = FILE_OVERWRITE_IF;
    else
      disposition = FILE_OPEN_IF;
  } else if (flags & O_TRUNC) {
    disposition = FILE_OVERWRITE;
  }
  auto* of = new OpenFile;
  NTSTATUS s = create(name, access, kShareAll, disposition, FILE_NON_DIRECTORY_FILE, pid, of);
  if (s < 0) {
    // A failed create leaves nothing to clean up.
    delete of;
    return Errno(s);
  }
  of->writable = (flags & O_ACCMODE) != O_RDONLY;
  *out = track(of);
  return 0;
}

int Requests::read(OpenFile* of, char* buf, size_t len, int64_t off, uint32_t pid) {
  DOKAN_FILE_INFO r = Request(of, pid, true);
  DWORD got = 0;
  NTSTATUS s = ops_->ReadFile(nameOf(of).c_str(), buf, static_cast<DWORD>(len), &got, off, &r);
  if (s == STATUS_END_OF_FILE) return 0;
  if (s < 0) return Errno(s);
  return static_cast<int>(got);
}

int Requests::write(OpenFile* of, const char* buf, size_t len, int64_t off, uint32_t pid) {
  // The kernel places every write of an O_APPEND descriptor at the end of
  // the file itself, under the inode's lock, and hands its offset: the same
  // offset its page cache took the bytes at. Ending the file again here
  // would race with the part of a split write or with another appender that
  // has not landed yet, and put the bytes elsewhere than the kernel has them.
  DOKAN_FILE_INFO r = Request(of, pid, true);
  DWORD written = 0;
  NTSTATUS s =
      ops_->WriteFile(nameOf(of).c_str(), buf, static_cast<DWORD>(len), &written, off, &r);
  if (s < 0) return Errno(s);
  return static_cast<int>(written);
}

int Requests::flush(OpenFile* of, uint32_t pid) {
  if (!of->writable) return 0;  // nothing of this descriptor can be pending
  return fsync(of, pid);
}

int Requests::fsync(OpenFile* of, uint32_t pid) {
  DOKAN_FILE_INFO r = Request(of, pid, false);
  return Errno(ops_->FlushFileBuffers(nameOf(of).c_str(), &r));
}

int Requests::release(OpenFile* of, uint32_t pid) {
  untrack(of);
  // The kernel sends the last close without a process; the cleanup then
  // belongs to the process that opened the file, as on Windows.
  if (pid != 0) of->info.ProcessId = pid;
  closeOpen(of, false, nullptr);
  delete of;
  return 0;
}

int Requests::opendir(const std::string& path, uint32_t pid, OpenFile** out) {
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  auto* of = new OpenFile;
  NTSTATUS s = create(name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                      FILE_OPEN, FILE_DIRECTORY_FILE, pid, of);
  if (s < 0) {
    delete of;
    return Errno(s);
  }
  of->directory = true;
  *out = track(of);
  return 0;
}

int Requests::readdir(OpenFile* of, uint32_t pid, int64_t offset, const EntrySink& sink) {
  if (offset == 0) {
    std::vector<WIN32_FIND_DATAW> entries;
    FindRequest r{Request(of, pid, false), &entries};
    NTSTATUS s = ops_->FindFiles(nameOf(of).c_str(), CollectFindData, &r.info);
    if (s < 0) return Errno(s);
    of->listing.clear();
    struct stat st{};
    st.st_mode = S_IFDIR | 0755;
    // Readers skip entries with inode 0; the dot entries get the "unknown"
    // inode the kernel side uses for entries it has not looked up.
    st.st_ino = 0xffffffff;
    of->listing.emplace_back(".", st);
    of->listing.emplace_back("..", st);
    for (const WIN32_FIND_DATAW& d : entries) {
      std::u16string_view wide(d.cFileName);
      if (wide == u"." || wide == u"..") continue;
      std::string name;
      if (!win32::Utf16ToUtf8(wide, name) || name.empty()) continue;  // not representable
      // A name longer than a Linux name can be could never be looked up;
      // listing it would show a file that no call can reach.
      if (name.size() > kMaxNameBytes) continue;
      FillStat(d, &st);
      of->listing.emplace_back(std::move(name), st);
    }
  }
  for (size_t i = static_cast<size_t>(std::max<int64_t>(offset, 0)); i < of->listing.size(); ++i) {
    if (!sink(of->listing[i].first, of->listing[i].second, static_cast<int64_t>(i + 1))) break;
  }
  return 0;
}

int Requests::releasedir(OpenFile* of, uint32_t pid) { return release(of, pid); }

int Requests::mkdir(const std::string& path, uint32_t pid) {
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  return Errno(openCallClose(name, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_CREATE,
                             FILE_DIRECTORY_FILE, pid, nullptr, CloseWith::kPlainClose));
}

int Requests::rmdir(const std::string& path, uint32_t pid) {
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  return Errno(openCallClose(
      name, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
      FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, pid,
      [&](OpenFile&, DOKAN_FILE_INFO& r) { return ops_->DeleteDirectory(name.c_str(), &r); },
      CloseWith::kDeleteOnSuccess));
}

int Requests::unlink(const std::string& path, uint32_t pid) {
  // The last close of a hidden file: its hidden name is only local.
  if (forgetHidden(path)) return 0;
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  return Errno(openCallClose(
      name, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, pid,
      [&](OpenFile&, DOKAN_FILE_INFO& r) { return ops_->DeleteFile(name.c_str(), &r); },
      CloseWith::kDeleteOnSuccess));
}

int Requests::rename(const std::string& from, const std::string& to, bool noReplace,
                     uint32_t pid) {
  const std::string hiddenTarget = takeHiddenTarget(to);
  const int r = move(from, to, noReplace, pid);
  // The move failed: the target it would have replaced keeps its name.
  if (r != 0 && !hiddenTarget.empty()) keepUnderItsName(hiddenTarget, to);
  return r;
}

int Requests::move(const std::string& from, const std::string& to, bool noReplace,
                   uint32_t pid) {
  int hiddenResult = 0;
  if (onHidden(from, [](OpenFile*) { return -ENOENT; }, &hiddenResult))
    return -ENOENT;  // a deleted file has no name to move
  if (IsHiddenName(to) && !IsHiddenName(from) &&
      from.substr(0, from.rfind('/')) == to.substr(0, to.rfind('/'))) {
    // libfuse keeps an open file that is unlinked or replaced under a
    // hidden name; for the drive that is the file's deletion.
    std::u16string name;
    if (int e = WindowsName(from, name)) return e;
    bool open = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (OpenFile* of : opens_) open |= !of->directory && of->hiddenPath.empty() && of->name == name;
    }
    if (open) return hide(from, to, pid);
  }
  std::u16string oldName, newName;
  if (int e = WindowsName(from, oldName)) return e;
  if (int e = WindowsName(to, newName)) return e;
  const NTSTATUS s = openCallClose(
      oldName, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
      FILE_OPEN_FOR_BACKUP_INTENT, pid,
      [&](OpenFile& open, DOKAN_FILE_INFO& r) {
        const NTSTATUS moved =
            ops_->MoveFile(oldName.c_str(), newName.c_str(), noReplace ? FALSE : TRUE, &r);
        open.info.Context = r.Context;  // MoveFile cleans the source open up itself
        return moved;
      },
      CloseWith::kPlainClose);
  // Open files follow their new name, so that a later unlink of it finds
  // them (and hides them rather than deleting a name they no longer have).
  if (s >= 0) renameOpens(oldName, newName);
  return Errno(s);
}

int Requests::truncate(const std::string& asked, int64_t size, OpenFile* of, uint32_t pid) {
  const std::string path = realName(asked);
  auto viaOpen = [&](OpenFile* open) {
    DOKAN_FILE_INFO r = Request(open, pid, false);
    return Errno(ops_->SetEndOfFile(nameOf(open).c_str(), size, &r));
  };
  if (of) return viaOpen(of);
  int hiddenResult = 0;
  if (onHidden(path, viaOpen, &hiddenResult)) return hiddenResult;
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  return Errno(openCallClose(
      name, FILE_GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, pid,
      [&](OpenFile& open, DOKAN_FILE_INFO& r) {
        BY_HANDLE_FILE_INFORMATION before{};
        if (NTSTATUS got = ops_->GetFileInformation(name.c_str(), &before, &r); got < 0) return got;
        const int64_t oldSize = static_cast<int64_t>(
            (static_cast<uint64_t>(before.nFileSizeHigh) << 32) | before.nFileSizeLow);
        NTSTATUS s = ops_->SetEndOfFile(name.c_str(), size, &r);
        // As close(2) of a write descriptor: the new size is committed here,
        // and a refusal (no space left on the service, say) is truncate's error.
        if (s >= 0) {
          DOKAN_FILE_INFO f = Request(&open, pid, false);
          s = ops_->FlushFileBuffers(name.c_str(), &f);
          // A failed truncate leaves the file as it was. Undoing a growth
          // drops only zeros; the old content is then committed again, so
          // nothing of the refused size is kept for a later upload.
          if (s < 0 && size > oldSize) {
            DOKAN_FILE_INFO u = Request(&open, pid, false);
            if (ops_->SetEndOfFile(name.c_str(), oldSize, &u) >= 0) {
              DOKAN_FILE_INFO g = Request(&open, pid, false);
              ops_->FlushFileBuffers(name.c_str(), &g);
            }
          }
        }
        return s;
      },
      CloseWith::kCleanupStatus));
}

int Requests::utimens(const std::string& asked, const struct timespec tv[2], OpenFile* of,
                      uint32_t pid) {
  const std::string path = realName(asked);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  auto pick = [&](const struct timespec& t) {
    return t.tv_nsec == UTIME_NOW ? now : t;
  };
  FILETIME access = ToFiletime(pick(tv[0])), write = ToFiletime(pick(tv[1]));
  const FILETIME* a = tv[0].tv_nsec == UTIME_OMIT ? nullptr : &access;
  const FILETIME* w = tv[1].tv_nsec == UTIME_OMIT ? nullptr : &write;
  auto viaOpen = [&](OpenFile* open) {
    DOKAN_FILE_INFO r = Request(open, pid, false);
    return Errno(ops_->SetFileTime(nameOf(open).c_str(), nullptr, a, w, &r));
  };
  if (of) return viaOpen(of);
  int hiddenResult = 0;
  if (onHidden(path, viaOpen, &hiddenResult)) return hiddenResult;
  std::u16string name;
  if (int e = WindowsName(path, name)) return e;
  return Errno(openCallClose(
      name, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, pid,
      [&](OpenFile&, DOKAN_FILE_INFO& r) {
        return ops_->SetFileTime(name.c_str(), nullptr, a, w, &r);
      },
      CloseWith::kPlainClose));
}

int Requests::statfs(struct statvfs* out, uint32_t pid) {
  DOKAN_FILE_INFO r{};
  r.DokanOptions = options_;
  r.ProcessId = pid;
  ULONGLONG available = 0, total = 0, totalFree = 0;
  NTSTATUS s = ops_->GetDiskFreeSpace(&available, &total, &totalFree, &r);
  if (s < 0) return Errno(s);
  WCHAR volume[MAX_PATH + 1] = {}, fsName[MAX_PATH + 1] = {};
  DWORD serial = 0, maxComponent = 255, fsFlags = 0;
  if (ops_->GetVolumeInformation) {
    s = ops_->GetVolumeInformation(volume, MAX_PATH + 1, &serial, &maxComponent, &fsFlags, fsName,
                                   MAX_PATH + 1, &r);
    if (s < 0) return Errno(s);
  }
  *out = {};
  out->f_bsize = kStatfsBlock;
  out->f_frsize = kStatfsBlock;
  out->f_blocks = total / kStatfsBlock;
  out->f_bfree = totalFree / kStatfsBlock;
  out->f_bavail = available / kStatfsBlock;
  out->f_fsid = serial;
  out->f_namemax = std::min<unsigned long>(maxComponent, kMaxNameBytes);
  return 0;
}

}  // namespace dokan
