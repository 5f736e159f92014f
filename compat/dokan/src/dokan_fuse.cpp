// DokanMain over libfuse3's high-level file system, served by threads of
// our own.
//
// One Instance per mounted drive: the fuse object, the Requests that turn
// each FUSE request into Windows callbacks, and the mount directory. The
// instance table maps mount directories to running instances so that
// DokanRemoveMountPoint can find them. The loop ends when the kernel ends
// the connection: an unmount by DokanRemoveMountPoint or from outside
// (fusermount3 -u); either way DokanMain then calls Unmounted once.
//
// Options (see README.md): entry and attribute time-outs of 1 s (a listing
// or stat is reused for a second, never longer, so changes made on the
// service show up quickly); no negative caching; max_write and max_read of
// 1 MiB (the kernel sends 1 MiB writes, and one read request per 1 MiB);
// readdir-plus filling from FindFiles; no hard_remove: libfuse keeps an
// unlinked open file under a hidden name, which Requests turns into the
// deletion and serves locally (stat, truncate, utimens of a deleted file
// work through its opens, as on any POSIX file system); the
// ThreadCount of the options as the number of threads that serve the
// kernel's requests. Each thread tells Requests whether the request it
// serves is a rename (see Requests::beginRequest).
#define FUSE_USE_VERSION 312
#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>
#include <linux/fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dokan.h"
#include "dokan_backend.h"
#include "dokan_requests.h"
#include "mount_points.h"
#include "unicode.h"

namespace dokan {

namespace {

constexpr unsigned kIoSize = 1u << 20;      // largest read and write request
constexpr double kCacheTimeoutSeconds = 1.0;  // entry and attribute validity
constexpr unsigned kDefaultThreads = 5;
constexpr int kUnmountGraceMs = 3000;  // wait for open files before aborting

struct Instance {
  PDOKAN_OPTIONS options = nullptr;
  PDOKAN_OPERATIONS ops = nullptr;
  std::unique_ptr<Requests> requests;
  std::string dir;
  struct fuse* fuse = nullptr;
  std::atomic<bool> mountedCalled{false};
  std::atomic<bool> ended{false};
};

std::mutex gMutex;  // guards gInstances and gBackend
std::map<std::string, std::shared_ptr<Instance>> gInstances;
Backend gBackend;

Instance* Self() { return static_cast<Instance*>(fuse_get_context()->private_data); }
uint32_t Pid() { return static_cast<uint32_t>(fuse_get_context()->pid); }
OpenFile* Of(struct fuse_file_info* fi) {
  return fi ? reinterpret_cast<OpenFile*>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}
// A file without a name (libfuse may pass a null path with an open); the
// open (fi) then says which file is meant.
std::string PathOf(const char* path) { return path ? std::string(path) : std::string(); }

std::string MountText(LPCWSTR mountPoint) {
  std::string text;
  if (!mountPoint || !win32::Utf16ToUtf8(mountPoint, text)) return {};
  for (char& c : text)
    if (c == '\\') c = '/';
  return text;
}

void* OnInit(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  Instance* self = Self();
  cfg->entry_timeout = kCacheTimeoutSeconds;
  cfg->attr_timeout = kCacheTimeoutSeconds;
  cfg->negative_timeout = 0;
  cfg->hard_remove = 0;
  cfg->use_ino = 0;
  cfg->kernel_cache = 0;
  cfg->auto_cache = 0;
  conn->max_write = kIoSize;
  conn->max_read = kIoSize;  // must match the max_read mount option
  conn->max_readahead = kIoSize;
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  if (conn->capable & FUSE_CAP_READDIRPLUS_AUTO) conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  DOKAN_FILE_INFO info{};
  info.DokanOptions = self->options;
  if (self->ops->Mounted) self->ops->Mounted(&info);
  self->mountedCalled = true;
  return self;
}

int OnGetattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  if (!path && !fi) return -ESTALE;
  return Self()->requests->getattr(PathOf(path), st, Of(fi), Pid());
}

int OnOpen(const char* path, struct fuse_file_info* fi) {
  OpenFile* of = nullptr;
  int r = Self()->requests->open(path, fi->flags, false, Pid(), &of);
  if (r == 0) {
    fi->fh = reinterpret_cast<uintptr_t>(of);
    fi->keep_cache = of->info.KeepCache ? 1 : 0;
  }
  return r;
}

int OnCreate(const char* path, mode_t, struct fuse_file_info* fi) {
  OpenFile* of = nullptr;
  int r = Self()->requests->open(path, fi->flags, true, Pid(), &of);
  if (r == 0) fi->fh = reinterpret_cast<uintptr_t>(of);
  return r;
}

int OnRead(const char*, char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  return Self()->requests->read(Of(fi), buf, size, off, Pid());
}

int OnWrite(const char*, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  return Self()->requests->write(Of(fi), buf, size, off, Pid());
}

int OnFlush(const char*, struct fuse_file_info* fi) {
  return Self()->requests->flush(Of(fi), Pid());
}

int OnFsync(const char*, int, struct fuse_file_info* fi) {
  return Self()->requests->fsync(Of(fi), Pid());
}

int OnRelease(const char*, struct fuse_file_info* fi) {
  return Self()->requests->release(Of(fi), Pid());
}

int OnOpendir(const char* path, struct fuse_file_info* fi) {
  OpenFile* of = nullptr;
  int r = Self()->requests->opendir(path, Pid(), &of);
  if (r == 0) fi->fh = reinterpret_cast<uintptr_t>(of);
  return r;
}

int OnReaddir(const char*, void* buf, fuse_fill_dir_t filler, off_t offset,
              struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  // Entries carry offsets, so libfuse hands their attributes to the kernel
  // with the listing (readdir-plus) and a following stat costs nothing.
  const auto fill = (flags & FUSE_READDIR_PLUS) ? FUSE_FILL_DIR_PLUS
                                                : static_cast<fuse_fill_dir_flags>(0);
  return Self()->requests->readdir(
      Of(fi), Pid(), offset, [&](const std::string& name, const struct stat& st, int64_t next) {
        return filler(buf, name.c_str(), &st, next, fill) == 0;
      });
}

int OnReleasedir(const char*, struct fuse_file_info* fi) {
  return Self()->requests->releasedir(Of(fi), Pid());
}

int OnMkdir(const char* path, mode_t) { return Self()->requests->mkdir(path, Pid()); }
int OnRmdir(const char* path) { return Self()->requests->rmdir(path, Pid()); }
int OnUnlink(const char* path) {
  // fuse_destroy removes the hidden names of files still open at the
  // unmount, after the requests are gone; those files were deleted when
  // they were hidden, so nothing is left to do.
  Requests* requests = Self()->requests.get();
  return requests != nullptr ? requests->unlink(path, Pid()) : 0;
}

int OnRename(const char* from, const char* to, unsigned int flags) {
  if (flags & RENAME_EXCHANGE) return -EINVAL;  // Windows has no exchange
  return Self()->requests->rename(from, to, flags & RENAME_NOREPLACE, Pid());
}

int OnTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
  if (!path && !fi) return -ESTALE;
  return Self()->requests->truncate(PathOf(path), size, Of(fi), Pid());
}

int OnUtimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
  if (!path && !fi) return -ESTALE;
  return Self()->requests->utimens(PathOf(path), tv, Of(fi), Pid());
}

int OnStatfs(const char*, struct statvfs* st) { return Self()->requests->statfs(st, Pid()); }

// The drive keeps no owners or modes; accept the change as Windows accepts
// attribute changes it ignores.
int OnChmod(const char*, mode_t, struct fuse_file_info*) { return 0; }
int OnChown(const char*, uid_t, gid_t, struct fuse_file_info*) { return 0; }

struct fuse_operations MakeOperations() {
  struct fuse_operations o {};
  o.init = OnInit;
  o.getattr = OnGetattr;
  o.open = OnOpen;
  o.create = OnCreate;
  o.read = OnRead;
  o.write = OnWrite;
  o.flush = OnFlush;
  o.fsync = OnFsync;
  o.release = OnRelease;
  o.opendir = OnOpendir;
  o.readdir = OnReaddir;
  o.releasedir = OnReleasedir;
  o.mkdir = OnMkdir;
  o.rmdir = OnRmdir;
  o.unlink = OnUnlink;
  o.rename = OnRename;
  o.truncate = OnTruncate;
  o.utimens = OnUtimens;
  o.statfs = OnStatfs;
  o.chmod = OnChmod;
  o.chown = OnChown;
  return o;
}

// Ends the kernel's connection of a mount. As root a lazy umount2; otherwise
// fusermount3 -u -z.
bool Unmount(const std::string& dir) {
  if (geteuid() == 0) return umount2(dir.c_str(), MNT_DETACH) == 0;
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    execlp("fusermount3", "fusermount3", "-u", "-z", "--", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A lazily unmounted drive stays served while files on it are open; after a
// grace period the connection is aborted so that DokanMain returns.
// One thread serving kernel requests until the session ends (the kernel
// ends the connection at the unmount: every thread's read then fails).
void ServeRequests(struct fuse_session* session, Requests* requests) {
  struct fuse_buf buf {};
  while (!fuse_session_exited(session)) {
    const int got = fuse_session_receive_buf(session, &buf);
    if (got == -EINTR) continue;
    if (got <= 0) {
      if (got < 0) fuse_session_exit(session);
      break;
    }
    uint32_t opcode = 0;
    if (!(buf.flags & FUSE_BUF_IS_FD) && buf.size >= sizeof(struct fuse_in_header)) {
      opcode = static_cast<const struct fuse_in_header*>(buf.mem)->opcode;
    }
    Requests::beginRequest(opcode == FUSE_RENAME || opcode == FUSE_RENAME2);
    fuse_session_process_buf(session, &buf);
    requests->endRequest();
  }
  std::free(buf.mem);
}

void ServeUntilUnmounted(struct fuse* fuse, Requests* requests, unsigned threads) {
  struct fuse_session* session = fuse_get_session(fuse);
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back(ServeRequests, session, requests);
  ServeRequests(session, requests);
  for (std::thread& t : workers) t.join();
  fuse_session_reset(session);
}

void AbortConnection(long minor) {
  std::string path = "/sys/fs/fuse/connections/" + std::to_string(minor) + "/abort";
  std::ofstream abort(path);
  if (abort) abort << "1";
}

}  // namespace

void SetBackend(const Backend& backend) {
  std::lock_guard<std::mutex> lock(gMutex);
  gBackend = backend;
}

}  // namespace dokan

using namespace dokan;

int DokanMain(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS operations) {
  {
    std::unique_lock<std::mutex> lock(gMutex);
    if (gBackend.main) {
      auto main = gBackend.main;
      lock.unlock();
      return main(options, operations);
    }
  }
  if (!options || !operations || !options->MountPoint || !operations->ZwCreateFile ||
      !operations->Cleanup || !operations->CloseFile)
    return DOKAN_ERROR;
  std::string dir = MountDirectoryFor(MountText(options->MountPoint));
  // A directory that already carries a file system (another drive, or
  // anything else) is in use, as a taken drive letter is: mounting on top
  // would hide it. The mount table is read before the directory is touched,
  // so a mount whose file system no longer answers cannot block this call.
  if (dir.empty() || IsMountPoint(dir) || !EnsureMountDirectory(dir))
    return DOKAN_MOUNT_POINT_ERROR;
  if (access("/dev/fuse", R_OK | W_OK) != 0) return DOKAN_DRIVER_INSTALL_ERROR;

  auto self = std::make_shared<Instance>();
  self->options = options;
  self->ops = operations;
  self->dir = dir;
  self->requests = std::make_unique<Requests>(operations, options);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gInstances.count(dir)) return DOKAN_MOUNT_ERROR;
    gInstances[dir] = self;
  }
  auto forget = [&] {
    std::lock_guard<std::mutex> lock(gMutex);
    gInstances.erase(dir);
  };

  std::vector<std::string> argStrings = {"tarvik", "-o",
                                         "fsname=tarvik,subtype=dokan,max_read=" +
                                             std::to_string(kIoSize)};
  if (options->Options & DOKAN_OPTION_DEBUG) argStrings.push_back("-d");
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  struct fuse_operations fops = MakeOperations();
  self->fuse = fuse_new(&args, &fops, sizeof fops, self.get());
  fuse_opt_free_args(&args);
  if (!self->fuse) {
    forget();
    return DOKAN_START_ERROR;
  }
  if (fuse_mount(self->fuse, dir.c_str()) != 0) {
    fuse_destroy(self->fuse);
    forget();
    return DOKAN_MOUNT_ERROR;
  }

  const unsigned threads = options->ThreadCount ? options->ThreadCount : kDefaultThreads;
  ServeUntilUnmounted(self->fuse, self->requests.get(), threads);
  self->ended = true;

  fuse_unmount(self->fuse);
  DOKAN_FILE_INFO info{};
  info.DokanOptions = options;
  if (operations->Unmounted) operations->Unmounted(&info);
  self->requests.reset();
  fuse_destroy(self->fuse);
  forget();
  return DOKAN_SUCCESS;
}

BOOL DokanRemoveMountPoint(LPCWSTR mountPoint) {
  std::shared_ptr<Instance> self;  // kept alive here even when DokanMain returns meanwhile
  std::string dir;
  {
    std::unique_lock<std::mutex> lock(gMutex);
    if (gBackend.remove) {
      auto remove = gBackend.remove;
      lock.unlock();
      return remove(mountPoint);
    }
    dir = MountDirectoryFor(MountText(mountPoint));
    auto it = gInstances.find(dir);
    if (it == gInstances.end()) return FALSE;
    self = it->second;
  }
  long minor = MountMinor(dir);
  if (!Unmount(dir)) return FALSE;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnmountGraceMs);
  while (!self->ended && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!self->ended && geteuid() == 0) if (minor >= 0) AbortConnection(minor);
  return TRUE;
}
