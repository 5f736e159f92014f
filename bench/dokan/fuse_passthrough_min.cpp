// A minimal libfuse3 passthrough of a directory, the reference for the
// benchmark: the same FUSE options as the Dokan layer (1 s time-outs, 1 MiB
// reads and writes, multithreaded loop), file descriptors kept per open.
//   fuse_passthrough_min <backing directory> <mount directory>
#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

static std::string gRoot;
static std::string Real(const char* p) { return gRoot + p; }

static void* Init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  cfg->entry_timeout = 1.0;
  cfg->attr_timeout = 1.0;
  cfg->negative_timeout = 0;
  cfg->hard_remove = 1;
  conn->max_write = 1 << 20;
  conn->max_read = 1 << 20;
  conn->max_readahead = 1 << 20;
  return nullptr;
}
static int Getattr(const char* p, struct stat* st, struct fuse_file_info* fi) {
  int r = fi ? fstat(static_cast<int>(fi->fh), st) : lstat(Real(p).c_str(), st);
  return r ? -errno : 0;
}
static int Open(const char* p, struct fuse_file_info* fi) {
  int fd = open(Real(p).c_str(), fi->flags);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}
static int Create(const char* p, mode_t mode, struct fuse_file_info* fi) {
  int fd = open(Real(p).c_str(), fi->flags, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}
static int Read(const char*, char* buf, size_t n, off_t off, struct fuse_file_info* fi) {
  ssize_t r = pread(static_cast<int>(fi->fh), buf, n, off);
  return r < 0 ? -errno : static_cast<int>(r);
}
static int Write(const char*, const char* buf, size_t n, off_t off, struct fuse_file_info* fi) {
  ssize_t r = pwrite(static_cast<int>(fi->fh), buf, n, off);
  return r < 0 ? -errno : static_cast<int>(r);
}
static int Release(const char*, struct fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  return 0;
}
static int Readdir(const char* p, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
                   enum fuse_readdir_flags) {
  DIR* d = opendir(Real(p).c_str());
  if (!d) return -errno;
  while (dirent* e = readdir(d)) fill(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  closedir(d);
  return 0;
}
static int Unlink(const char* p) { return unlink(Real(p).c_str()) ? -errno : 0; }
static int Truncate(const char* p, off_t size, struct fuse_file_info* fi) {
  int r = fi ? ftruncate(static_cast<int>(fi->fh), size) : truncate(Real(p).c_str(), size);
  return r ? -errno : 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <backing directory> <mount directory>\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];
  struct fuse_operations ops {};
  ops.init = Init;
  ops.getattr = Getattr;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.release = Release;
  ops.readdir = Readdir;
  ops.unlink = Unlink;
  ops.truncate = Truncate;
  char* args[] = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-o"),
                  const_cast<char*>("fsname=passthrough,max_read=1048576,max_threads=5"), argv[2]};
  return fuse_main(5, args, &ops, nullptr);
}
