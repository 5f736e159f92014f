// Read side of the block cache. See block_reader.h.
#include "cache/block_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "cache/block_cache.h"
#include "cache/content_service.h"
#include "cache/service_tokens.h"
#include "cache/worker_pools.h"
#include "core/directories.h"
#include "core/scoped_lock.h"
#include "log/log.h"
#include "webapi/block_id.h"
#include "webapi/service_status.h"

namespace tarvik {

int osFailure(int err) {
  TLOG_DEBUG("apr status:", err, " = ", std::strerror(err));
  return -err;
}

bool isMissingFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR;
}

bool blockFileMissing(const BlockInfo& b) {
  if (b.path.empty()) return true;
  struct stat st;
  if (::stat(b.path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
  if (!b.id.empty() && st.st_size != blockIdLength(b.id)) {
    TLOG_WARN("block file size mismatch: ", b.path, " has ", static_cast<int64_t>(st.st_size));
    return true;
  }
  return false;
}

int ensureBlockFile(BlockInfo& b, FileContext& fc) {
  if (b.path.empty()) return 0;  // never written: reads as zero bytes
  if (!blockFileMissing(b)) {
    if (!b.id.empty()) block_cache::use(b.id, blockIdLength(b.id), fc.path());
    return 0;
  }
  if (b.id.empty()) {
    // A private copy vanished from the temporary directory: nothing to fetch.
    TLOG_WARN("private block file missing: ", b.path);
    return -DECAS_ENOENT;
  }
  const std::string temp = temporaryFileName();
  const int r = downloadBlockFor(fc, b.id, temp);
  if (r != 0) {
    ::unlink(temp.c_str());
    return mapServiceError(r);
  }
  // The transport checked digest and length; check the length once more on
  // disk so that nothing short ever enters the block directory.
  struct stat st;
  if (::stat(temp.c_str(), &st) != 0 || st.st_size != blockIdLength(b.id)) {
    TLOG_WARN("download block error: size of ", temp, " does not match ", b.id);
    ::unlink(temp.c_str());
    return mapServiceError(-1);
  }
  if (::rename(temp.c_str(), b.path.c_str()) != 0) {
    osFailure(errno);
    ::unlink(temp.c_str());  // the open that follows fails
    return 0;
  }
  b.knownCached.store(true);
  block_cache::use(b.id, st.st_size, fc.path());
  return 0;
}

int prefetchBlock(const BlockInfoPtr& b, const FileContextPtr& fc) {
  if (b->prefetchRequested.load() || b->knownCached.load()) return 0;
  {
    ScopedLock lock(b->mutex);
    if (b->detached || b->prefetchRequested.load() || b->file.isOpen() || b->id.empty()) {
      return 0;
    }
    if (!blockFileMissing(*b)) {
      b->knownCached.store(true);
      return 0;
    }
    TLOG_INFO("prefetch block: ", b->id);
    b->prefetchRequested.store(true);
  }
  return queuePrefetchTask(b, fc);
}

void runPrefetchTask(const BlockInfoPtr& b, const FileContextPtr& fc) {
  if (fc->closed.load()) return;
  ScopedLock lock(b->mutex);
  if (b->detached) return;  // the file was closed meanwhile
  if (b->prefetchRequested.load() && !b->file.isOpen()) {
    CachePin pin(b->id);
    const int r = ensureBlockFile(*b, *fc);
    if (r != 0) TLOG_DEBUG("prefetch dropped: ", b->id, " status ", r);
  }
}

namespace {

// Reads up to `n` bytes at `off`; stops early at the end of the file or at
// an error (its errno in `err`). The bytes read.
int64_t readFully(int fd, char* dst, int64_t n, int64_t off, int* err) {
  int64_t got = 0;
  while (got < n) {
    const ssize_t r =
        ::pread(fd, dst + got, static_cast<size_t>(n - got), static_cast<off_t>(off + got));
    if (r < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      break;
    }
    if (r == 0) break;
    got += r;
  }
  return got;
}

}  // namespace

int cloud_read(const char* path, char* buf, size_t len, int64_t off, bool sync, DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (!fc || fc->directory) return -DECAS_EINVAL;
  if (fc->commandFile) return 0;
  if (off < 0) return -DECAS_EINVAL;
  const auto start = std::chrono::steady_clock::now();
  // The result is an int byte count.
  int64_t remaining = static_cast<int64_t>(std::min<size_t>(len, INT_MAX));
  int64_t done = 0;
  while (remaining > 0) {
    const int64_t pos = off + done;
    const int64_t i = pos / BLOCK_SIZE;
    const int64_t o = pos % BLOCK_SIZE;
    TLOG_DEBUG(">block index = ", i, ", block offset = ", o, ", request size =", remaining);

    BlockInfoPtr b, previous, next1, next2;
    {
      ScopedLock lock(fc->mutex);
      const int64_t count = static_cast<int64_t>(fc->blocks.size());
      if (i >= count) break;
      b = fc->blocks[i];
      if (i > 0) previous = fc->blocks[i - 1];
      if (o != 0 && i + 1 < count) next1 = fc->blocks[i + 1];
      if (o != 0 && i + 2 < count) next2 = fc->blocks[i + 2];
    }
    if (next1) prefetchBlock(next1, fc);
    if (next2) prefetchBlock(next2, fc);

    int64_t got = 0;
    if (!b) {
      // A hole: zeros, with no record and no file.
      got = std::min<int64_t>(remaining, BLOCK_SIZE - o);
      std::memset(buf + done, 0, static_cast<size_t>(got));
    } else {
      // A named block file never changes: it is read after the block's mutex
      // is released, through a descriptor of its own, so that readers of one
      // block (the kernel's read-ahead sends several requests at once) do not
      // wait for each other's disk reads. A private copy is read under the
      // mutex, in order with its writes.
      int unlockedFd = -1;
      int64_t n = 0;
      int err = 0;
      {
        ScopedLock lock(b->mutex);
        const int64_t avail = static_cast<int64_t>(b->length) - o;
        if (b->path.empty()) {
          // A block appended by extending the file and never written.
          if (avail < 0) {
            TLOG_WARN("block over read: ", avail);
            break;
          }
          got = std::min(remaining, avail);
          std::memset(buf + done, 0, static_cast<size_t>(got));
        } else {
          if (!b->file.isOpen()) {
            if (sync && previous) {
              // A sequential reader leaves the previous block: let its file go.
              ScopedLock previousLock(previous->mutex);
              if (previous->file.isOpen() && !previous->id.empty()) previous->file.close();
            }
            CachePin pin(b->id);  // from the check until the descriptor is closed
            const int r = ensureBlockFile(*b, *fc);
            if (r != 0) return r;
            TLOG_DEBUG("open block file: ", b->path);
            // Named block files are never modified: read-only. A private copy
            // (no id) is opened as the writer would.
            const int fd = ::open(b->path.c_str(),
                                  (b->id.empty() ? O_RDWR : O_RDONLY) | O_CLOEXEC);
            if (fd < 0) return osFailure(errno);
            b->file.reset(fd, b->id.empty() ? CachePin() : std::move(pin));
            b->fileWritable = b->id.empty();
            if (!b->id.empty()) b->knownCached.store(true);
          }
          if (avail < 0) {
            TLOG_WARN("block over read: ", avail);
            break;
          }
          n = std::min(remaining, avail);
          if (!b->id.empty()) unlockedFd = ::fcntl(b->file.fd(), F_DUPFD_CLOEXEC, 0);
          if (unlockedFd < 0) got = readFully(b->file.fd(), buf + done, n, o, &err);
        }
      }
      if (unlockedFd >= 0) {
        got = readFully(unlockedFd, buf + done, n, o, &err);
        ::close(unlockedFd);
      }
      if (err != 0) {
        if (done == 0 && got == 0) return osFailure(err);
        done += got;  // the bytes before the failure
        break;
      }
    }
    done += got;
    remaining -= got;
    if (got == 0 || !sync) break;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  TLOG_DEBUG(">read takes ", static_cast<int64_t>(elapsed.count()), "[msec]");
  return static_cast<int>(done);
}

}  // namespace tarvik
