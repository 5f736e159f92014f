// An operation table that passes every operation through to a local
// directory, mounted through the Dokan layer, the adapter and the frame:
//   dokan_bench_mount <backing directory> <mount directory>
// Runs until the drive is unmounted (fusermount3 -u <mount directory>).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "drive/decas_frame.h"

using namespace tarvik;

namespace {

std::string gRoot;
std::mutex gFdMutex;  // guards gFds
std::unordered_map<const DecasHandle*, int> gFds;

std::string Real(const char* path) { return gRoot + path; }

int Status(int err) {
  switch (err) {
    case ENOENT: case EACCES: case EEXIST: case ENOTDIR: case EISDIR: case EINVAL: case ENOSPC:
      return -err;
    case ENOTEMPTY: return -(DECAS_OS_ERROR_BASE + 145);
    default: return -(DECAS_OS_ERROR_BASE + 31);  // general failure
  }
}

int Fd(const DecasHandle* h) {
  std::lock_guard<std::mutex> lock(gFdMutex);
  auto it = gFds.find(h);
  return it == gFds.end() ? -1 : it->second;
}

void Fill(const struct stat& st, StatRecord* out) {
  out->type = S_ISDIR(st.st_mode) ? ENTRY_DIRECTORY : ENTRY_FILE;
  out->size = st.st_size;
  out->atime = st.st_atim.tv_sec * 1000000LL + st.st_atim.tv_nsec / 1000;
  out->mtime = st.st_mtim.tv_sec * 1000000LL + st.st_mtim.tv_nsec / 1000;
  out->ctime = st.st_ctim.tv_sec * 1000000LL + st.st_ctim.tv_nsec / 1000;
}

int Access(const char*, int) { return 0; }
int Stat(const char* path, StatRecord* out) {
  struct stat st;
  if (lstat(Real(path).c_str(), &st) != 0) return Status(errno);
  Fill(st, out);
  return 0;
}
int Mkdir(const char* path) { return ::mkdir(Real(path).c_str(), 0755) ? Status(errno) : 0; }
int Rmdir(const char* path, bool) { return ::rmdir(Real(path).c_str()) ? Status(errno) : 0; }
int Remove(const char* path, bool) { return ::unlink(Real(path).c_str()) ? Status(errno) : 0; }
int Rename(const char* from, const char* to, bool overwrite) {
  unsigned flags = overwrite ? 0 : RENAME_NOREPLACE;
  return renameat2(AT_FDCWD, Real(from).c_str(), AT_FDCWD, Real(to).c_str(), flags) ? Status(errno) : 0;
}
int Stub() { return 0; }
int Open(const char* path, DecasHandle* h) {
  int flags = (h->openFlags & OPEN_WRITE) ? O_RDWR : O_RDONLY;
  if (h->openFlags & OPEN_CREATE) flags |= O_CREAT;
  if (h->openFlags & OPEN_TRUNCATE) flags |= O_TRUNC;
  if (h->openFlags & OPEN_EXCLUSIVE) flags |= O_EXCL;
  std::string real = Real(path);
  bool existed = access(real.c_str(), F_OK) == 0;
  int fd = ::open(real.c_str(), flags, 0644);
  if (fd < 0) return Status(errno);
  if (!existed) h->state |= HANDLE_NEW;
  std::lock_guard<std::mutex> lock(gFdMutex);
  gFds[h] = fd;
  return 0;
}
int Fstat(const char* path, StatRecord* out, DecasHandle* h) {
  int fd = Fd(h);
  if (fd < 0) return Stat(path, out);
  struct stat st;
  if (::fstat(fd, &st) != 0) return Status(errno);
  Fill(st, out);
  return 0;
}
int Ftruncate(const char*, int64_t size, DecasHandle* h) {
  return ::ftruncate(Fd(h), size) ? Status(errno) : 0;
}
int Read(const char*, char* buf, size_t len, int64_t off, bool, DecasHandle* h) {
  ssize_t n = pread(Fd(h), buf, len, off);
  return n < 0 ? Status(errno) : static_cast<int>(n);
}
int Write(const char*, const char* buf, size_t len, int64_t off, bool, DecasHandle* h) {
  ssize_t n = pwrite(Fd(h), buf, len, off);
  return n < 0 ? Status(errno) : static_cast<int>(n);
}
int Flush(const char*, DecasHandle*) { return 0; }
int Close(const char*, DecasHandle* h) {
  std::lock_guard<std::mutex> lock(gFdMutex);
  auto it = gFds.find(h);
  if (it == gFds.end()) return 0;
  int r = ::close(it->second);
  gFds.erase(it);
  return r ? Status(errno) : 0;
}
int Opendir(const char* path, DecasHandle*) {
  struct stat st;
  if (stat(Real(path).c_str(), &st) != 0) return Status(errno);
  return S_ISDIR(st.st_mode) ? 0 : -DECAS_ENOTDIR;
}
int Readdir(const char* path, DirFiller filler, int, int, DecasHandle* h) {
  std::string real = Real(path);
  DIR* d = ::opendir(real.c_str());
  if (!d) return Status(errno);
  while (dirent* e = ::readdir(d)) {
    struct stat st;
    StatRecord rec{};
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) Fill(st, &rec);
    filler(e->d_name, &rec, 0, 0, h);
  }
  closedir(d);
  return 0;
}
int Closedir(const char*, DecasHandle*) { return 0; }
int Statfs(int64_t* capacity, int64_t* free) {
  struct statvfs sv;
  if (statvfs(gRoot.c_str(), &sv) != 0) return Status(errno);
  *capacity = static_cast<int64_t>(sv.f_blocks) * static_cast<int64_t>(sv.f_frsize);
  *free = static_cast<int64_t>(sv.f_bavail) * static_cast<int64_t>(sv.f_frsize);
  return 0;
}
int Init(int, int) { return 0; }
int Exit(int) { return 0; }

void FillTable(OperationTable* t) {
  t->access = Access;
  t->stat = Stat;
  t->mkdir = Mkdir;
  t->rmdir = Rmdir;
  t->remove = Remove;
  t->rename = Rename;
  t->stub6 = Stub;
  t->stub7 = Stub;
  t->open = Open;
  t->fstat = Fstat;
  t->ftruncate = Ftruncate;
  t->read = Read;
  t->write = Write;
  t->flush = Flush;
  t->close = Close;
  t->opendir = Opendir;
  t->readdir = Readdir;
  t->closedir = Closedir;
  t->statfs = Statfs;
  t->init = Init;
  t->exit = Exit;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <backing directory> <mount directory>\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];
  while (gRoot.size() > 1 && gRoot.back() == '/') gRoot.pop_back();
  decas_setTableFiller(FillTable);
  int r = decas_main(argv[2], DECAS_OPTION_NETWORK, false, true);
  if (r != 0) fprintf(stderr, "mount failed: %d\n", r);
  return r == 0 ? 0 : 1;
}
