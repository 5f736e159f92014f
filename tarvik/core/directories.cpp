// Directory tree and directory services. The global initialisation runs
// once per process; its result is kept so that every export that needs the
// tree fails the same way when the tree could not be made.
#include "core/directories.h"

#include <apr_general.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "core/library_state.h"
#include "log/log.h"

namespace tarvik {
namespace {

std::once_flag g_initOnce;
int g_initStatus = 0;

const char* envValue(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

bool isAbsentError(int err) { return err == ENOENT || err == ENOTDIR; }

// The cache root holds the user's file content: it must be a real directory
// (not a link), owned by the user and closed to everybody else.
int checkPrivateDirectory(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return -errno;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    return -kStatusCacheRootUnsafe;
  }
  return 0;
}

// Empties the temporary directory, unless another process of the library is
// using it: its private block copies and downloads live there, and removing
// them under it would lose the data it is writing. Every process holds a
// shared lock on "tmp.lock" in the cache root for its lifetime; the one that
// finds no other holder empties the directory, and a process that starts
// beside a running one keeps its temporary files in a folder of its own
// below it, so file names never collide.
int prepareTemporaryDirectory(LibraryState& st) {
  const std::string lockPath = st.cacheRoot + "/tmp.lock";
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -errno;
  // The descriptor stays open (and the lock held) until the process ends.
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    int rc = removeRecursive(st.tempDir);
    if (rc == 0) rc = makeDirectories(st.tempDir);
    ::flock(fd, LOCK_SH);
    return rc;
  }
  if (::flock(fd, LOCK_SH) != 0) return -errno;
  int rc = makeDirectories(st.tempDir);
  if (rc != 0) return rc;
  st.tempDir += "/" + std::to_string(::getpid());
  rc = removeRecursive(st.tempDir);  // left by an earlier process with this id
  if (rc == 0) rc = makeDirectories(st.tempDir);
  return rc;
}

std::vector<ReadyStep>& readySteps() {
  static std::vector<ReadyStep> steps;
  return steps;
}

int runGlobalInitialize() {
  if (apr_initialize() != APR_SUCCESS) {
    std::puts("tarvik_init pool creation failed");
    return -1;
  }
  curl_global_init(CURL_GLOBAL_ALL);

  LibraryState& st = state();
  const char* profile = envValue("USERPROFILE");
  if (profile == nullptr) profile = envValue("HOME");
  if (profile == nullptr) return -kStatusNoHomeDirectory;

  std::string tempBase;
  if (const char* tmp = envValue("TMPDIR")) {
    tempBase = tmp;
  } else if (const char* cache = envValue("XDG_CACHE_HOME")) {
    tempBase = cache;
  } else {
    tempBase = std::string(profile) + "/.cache";
  }

  st.baseDir = std::string(profile) + "/.korbel";
  st.logDir = st.baseDir + "/log";
  st.cacheRoot = tempBase + "/korbel";
  st.blockDir = st.cacheRoot + "/block";
  st.tempDir = st.cacheRoot + "/tmp";

  int rc = makeDirectories(st.logDir);
  if (rc != 0) return rc;
  rc = makeDirectories(st.cacheRoot);
  if (rc != 0) return rc;
  rc = checkPrivateDirectory(st.cacheRoot);
  if (rc != 0) {
    std::fprintf(stderr, "tarvik: refusing cache directory %s: it must belong to you with mode 0700\n",
                 st.cacheRoot.c_str());
    st.blockDir.clear();
    st.tempDir.clear();
    return rc;
  }
  rc = makeDirectories(st.blockDir);
  if (rc != 0) return rc;
  rc = prepareTemporaryDirectory(st);
  if (rc != 0) return rc;
  st.tempFileCounter.store(0);
  for (ReadyStep step : readySteps()) step();
  return 0;
}

// Calls `fn(dirFd, name)` for every entry of the directory `name` in
// `dirFd` except "." and "..", stopping at the first non-zero result. Links
// are never followed. 0, the first failure, or -errno.
template <class Fn>
int forEachEntry(int dirFd, const char* name, Fn fn) {
  const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return isAbsentError(errno) ? 0 : -errno;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    return -err;
  }
  int rc = 0;
  while (struct dirent* e = ::readdir(dir)) {
    if (std::string_view(e->d_name) == "." || std::string_view(e->d_name) == "..") continue;
    rc = fn(fd, e->d_name);
    if (rc != 0) break;
  }
  ::closedir(dir);
  return rc;
}

int removeAt(int dirFd, const char* name) {
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return isAbsentError(errno) ? 0 : -errno;
  }
  if (S_ISDIR(st.st_mode)) {
    const int rc = forEachEntry(dirFd, name, removeAt);
    if (rc != 0) return rc;
  }
  if (::unlinkat(dirFd, name, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && !isAbsentError(errno)) {
    return -errno;
  }
  return 0;
}

int sizeAt(int dirFd, const char* name, int64_t& bytes) {
  struct stat st;
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return isAbsentError(errno) ? 0 : -errno;
  }
  if (!S_ISDIR(st.st_mode)) {
    bytes += st.st_size;
    return 0;
  }
  return forEachEntry(dirFd, name, [&bytes](int fd, const char* entry) { return sizeAt(fd, entry, bytes); });
}

}  // namespace

int globalInitialize() {
  std::call_once(g_initOnce, [] { g_initStatus = runGlobalInitialize(); });
  return g_initStatus;
}

bool runWhenDirectoriesReady(ReadyStep step) {
  readySteps().push_back(step);
  return true;
}

int removeRecursive(const std::string& path) {
  if (path.empty()) return -EINVAL;
  return removeAt(AT_FDCWD, path.c_str());
}

int sizeRecursive(const std::string& path, int64_t& bytes) {
  if (path.empty()) return -EINVAL;
  int64_t total = 0;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return isAbsentError(errno) ? 0 : -errno;
  const int rc = sizeAt(AT_FDCWD, path.c_str(), total);
  if (rc == 0) bytes = total;
  return rc;
}

int makeDirectories(const std::string& path) {
  if (path.empty()) return -EINVAL;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return -errno;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -errno;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  return 0;
}

std::string temporaryFileName() {
  const uint32_t n = state().tempFileCounter.fetch_add(1);
  return state().tempDir + "/" + std::to_string(n) + ".tmp";
}

}  // namespace tarvik
