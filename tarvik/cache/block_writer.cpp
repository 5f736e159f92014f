// Write side of the block cache. See block_writer.h for states and locks.
#include "cache/block_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>

#include "cache/block_reader.h"
#include "cache/content_service.h"
#include "cache/worker_pools.h"
#include "core/clock.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/scoped_lock.h"
#include "log/log.h"
#include "webapi/block_id.h"
#include "webapi/service_status.h"

namespace tarvik {
namespace {

// Sealing reads a whole block; large reads keep the syscall count low.
constexpr size_t kHashBuffer = 1u << 20;

// How often a flush retries a block that a concurrent write dirtied again
// right after the flush sealed it, before giving up.
constexpr int kFlushSealAttempts = 16;

// Status of a flush that finds its file already closed.
constexpr int kStatusHandleClosed = -(DECAS_OS_ERROR_BASE + 6);  // ERROR_INVALID_HANDLE

int64_t elapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Copies `src` to a new file `dst` (owner read and write). 0 or errno; a
// partial `dst` is removed.
int copyFile(const std::string& src, const std::string& dst) {
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return err;
  }
  int err = 0;
  bool fallback = false;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, BLOCK_SIZE, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
      fallback = true;
    } else {
      err = errno;
    }
    break;
  }
  if (fallback) {
    // Rewind both and copy through a buffer.
    if (::lseek(in, 0, SEEK_SET) < 0 || ::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) < 0) {
      err = errno;
    } else {
      std::unique_ptr<char[]> buffer(new char[kHashBuffer]);
      for (;;) {
        const ssize_t n = ::read(in, buffer.get(), kHashBuffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          err = errno;
          break;
        }
        if (n == 0) break;
        ssize_t put = 0;
        while (put < n) {
          const ssize_t w = ::write(out, buffer.get() + put, static_cast<size_t>(n - put));
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) {
            err = errno;
            break;
          }
          put += w;
        }
        if (err != 0) break;
      }
    }
  }
  ::close(in);
  if (::close(out) != 0 && err == 0) err = errno;
  if (err != 0) ::unlink(dst.c_str());
  return err;
}

// BlockId of the file at `path`. 0 or errno.
int hashFile(const std::string& path, std::string* id) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::unique_ptr<char[]> buffer(new char[kHashBuffer]);
  Sha1 sha;
  int64_t total = 0;
  int err = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), kHashBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    sha.update(buffer.get(), static_cast<size_t>(n));
    total += n;
  }
  ::close(fd);
  if (err != 0) return err;
  *id = sha.finishUrlBase64() + "#" + std::to_string(total);
  return 0;
}

// Creates a new temporary file of `length` zero bytes (sparse). 0 or errno.
int createZeroFile(const std::string& path, uint32_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = 0;
  if (::ftruncate(fd, static_cast<off_t>(length)) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) ::unlink(path.c_str());
  return err;
}

// A write failure that the pool reports as a positive APR status must still
// reach the caller as a failure.
int asFailure(int status) { return status > 0 ? -status : status; }

// A record for a hole that is about to be written or cut: BLOCK_SIZE zeros
// without a file.
BlockInfoPtr newHoleRecord() {
  auto b = std::make_shared<BlockInfo>();
  b->length = BLOCK_SIZE;
  b->state = BLOCK_DIRTY;
  return b;
}

// Context mutex held. Block `index` of the list, given a record of its own
// when it is a hole.
BlockInfoPtr materializeLocked(FileContext& fc, int64_t index) {
  BlockInfoPtr& slot = fc.blocks[static_cast<size_t>(index)];
  if (!slot) slot = newHoleRecord();
  return slot;
}

// Context mutex held. Makes block `index` exist: the old last block is
// first filled with zeros up to BLOCK_SIZE (so block boundaries stay at
// multiples of BLOCK_SIZE), blocks between are holes (null elements), and
// the new last block starts empty. 0 or a status (nothing appended then).
int extendBlocksLocked(FileContext& fc, int64_t index) {
  const int64_t count = static_cast<int64_t>(fc.blocks.size());
  if (index < count) return 0;
  if (count > 0 && fc.blocks.back()) {
    BlockInfo& last = *fc.blocks.back();
    ScopedLock lock(last.mutex);
    if (last.length < BLOCK_SIZE) {
      if (last.path.empty()) {
        last.length = BLOCK_SIZE;  // a hole: zeros without a file
      } else {
        const int r = makeBlockWritable(last, fc);
        if (r != 0) return r;
        if (::ftruncate(last.file.fd(), static_cast<off_t>(BLOCK_SIZE)) != 0) {
          return osFailure(errno);
        }
        last.length = BLOCK_SIZE;
      }
      last.state = BLOCK_DIRTY;
    }
  }
  fc.blocks.resize(static_cast<size_t>(index));  // holes up to the new last block
  auto block = std::make_shared<BlockInfo>();
  block->length = 0;
  block->state = BLOCK_DIRTY;
  fc.blocks.push_back(std::move(block));
  return 0;
}

void relockAfterCommit(FileContext& fc, DecasHandle* h) {
  if (state().noLocking || !(h->openFlags & OPEN_SHARE_LOCK) || fc.lockHeld.load()) return;
  // Only handles opened through the frame, which carry their drive path, are
  // locked again. The context's service path follows renames made while the
  // file is open.
  if (h->path().empty()) return;
  const std::string servicePath = fc.path();
  bool locked = false;
  std::string text;
  const int r = contentService().lockResource(servicePath, h->processId, &locked, &text);
  TLOG_DEBUG(">shared lock: ", "(", text, ")");
  fc.lockHeld.store(r == 0 && locked);
}

}  // namespace

int makeBlockWritable(BlockInfo& b, FileContext& fc) {
  if (b.file.isOpen() && (!b.id.empty() || !b.fileWritable)) b.file.close();
  if (b.file.isOpen()) return 0;
  bool fresh = false;
  if (!b.path.empty()) {
    if (!b.id.empty()) {
      CachePin pin(b.id);  // until the copy is made
      const int r = ensureBlockFile(b, fc);
      if (r != 0) return r;
      const std::string copy = temporaryFileName();
      TLOG_DEBUG(">copy block file: ", b.path);
      const int err = copyFile(b.path, copy);
      if (err != 0) {
        TLOG_WARN("copy error = ", err);
        return osFailure(err);  // the block keeps its content
      }
      b.id.clear();
      b.path = copy;
      b.sealPin.reset();  // a sealed version is no longer this block's content
    }
    // else: a private copy whose file was closed; reopen it.
  } else {
    fresh = true;
    b.path = temporaryFileName();
  }
  TLOG_DEBUG(">open block file: ", b.path);
  const int fd = ::open(b.path.c_str(), O_RDWR | O_CLOEXEC | (fresh ? O_CREAT | O_EXCL : 0), 0600);
  if (fd < 0) {
    const int err = errno;
    if (fresh) b.path.clear();
    return osFailure(err);
  }
  if (fresh && ::ftruncate(fd, static_cast<off_t>(b.length)) != 0) {
    // A hole keeps reading as zeros of its length.
    const int err = errno;
    ::close(fd);
    ::unlink(b.path.c_str());
    b.path.clear();
    return osFailure(err);
  }
  b.file.reset(fd);
  b.fileWritable = true;
  return 0;
}

int sealAndUploadBlock(const BlockInfoPtr& b, const std::string& uploadToken,
                       const std::string& servicePath) {
  ScopedLock lock(b->mutex);
  if (b->detached) return 1;
  if (b->state == BLOCK_UPLOADED) return 0;
  if (b->state == BLOCK_DIRTY) {
    if (b->file.isOpen()) {
      const int err = b->file.close();
      if (err != 0) return osFailure(err);
    }
    if (b->path.empty()) {
      // Never written: it is zeros of its length, sealed like any block.
      const std::string zeros = temporaryFileName();
      const int err = createZeroFile(zeros, b->length);
      if (err != 0) return osFailure(err);
      b->path = zeros;
    }
    std::string id;
    const int err = hashFile(b->path, &id);
    if (err != 0) return osFailure(err);
    const std::string target = blockFilePath(id);
    CachePin pin(id);  // from the check for an equal block until the upload
    BlockInfo probe;
    probe.id = id;
    probe.path = target;
    if (blockFileMissing(probe)) {
      TLOG_DEBUG(">rename block: ", target);
      if (::rename(b->path.c_str(), target.c_str()) != 0) return osFailure(errno);
    } else {
      // The same content is stored already: the private copy is not needed.
      ::unlink(b->path.c_str());
    }
    b->id = id;
    b->path = target;
    b->length = static_cast<uint32_t>(blockIdLength(id));
    b->state = BLOCK_SEALED;
    b->knownCached.store(true);
    b->sealPin = std::move(pin);
    block_cache::use(id, b->length, servicePath);
  }
  const int r = contentService().uploadBlock(uploadToken, b->id, b->path);
  if (r != 0) return mapServiceError(r);
  b->state = BLOCK_UPLOADED;
  b->sealPin.reset();
  return 0;
}

int scheduleBlockUpload(const FileContextPtr& fc, const BlockInfoPtr& b) {
  fc->pendingUploads.fetch_add(1);
  const int r = queueUploadTask(b, fc);
  if (r == 0) return 0;
  fc->uploadFinished();
  if (r == -1) {
    // No pools (no mount): upload on this thread.
    const int s = sealAndUploadBlock(b, fc->uploadToken(), fc->path());
    return s == 1 ? 0 : s;
  }
  return r;
}

void runUploadTask(const BlockInfoPtr& b, const FileContextPtr& fc) {
  if (!fc->closed.load()) {
    const int r = sealAndUploadBlock(b, fc->uploadToken(), fc->path());
    if (r != 0) removeMetaCache(fc->path());
  }
  fc->uploadFinished();
}

int contentWrite(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                 DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (!fc || fc->directory) return -DECAS_EINVAL;
  if (fc->commandFile) return static_cast<int>(std::min<size_t>(len, INT_MAX));
  if (off < 0) return -DECAS_EINVAL;
  // Nothing lies beyond the largest file; a write that crosses it stops there.
  if (len > 0 && off >= MAX_FILE_SIZE) return STATUS_FILE_TOO_LARGE;
  const auto start = std::chrono::steady_clock::now();
  int64_t remaining = static_cast<int64_t>(std::min<size_t>(len, INT_MAX));
  remaining = std::min(remaining, std::max<int64_t>(0, MAX_FILE_SIZE - off));
  int64_t done = 0;
  while (remaining > 0) {
    const int64_t pos = off + done;
    const int64_t i = pos / BLOCK_SIZE;
    const int64_t o = pos % BLOCK_SIZE;
    TLOG_DEBUG(">block index = ", i, ", block offset = ", o, ", request size = ", remaining);

    BlockInfoPtr b, sealTarget;
    {
      ScopedLock lock(fc->mutex);
      TLOG_DEBUG(">fh locked@write");
      const int r = extendBlocksLocked(*fc, i);
      if (r != 0) return r;
      b = materializeLocked(*fc, i);
      // Entering block i at its start: an earlier block is complete. A hole
      // is sealed as the file's one block of zeros.
      if (o == 0 && i > 0) {
        sealTarget = fc->blocks[(sync || i < 2) ? i - 1 : i - 2];
        if (!sealTarget) sealTarget = holeBlockLocked(*fc);
      }
    }
    TLOG_DEBUG(">fh unlocked@write");

    int64_t written = 0;
    {
      ScopedLock lock(b->mutex);
      TLOG_DEBUG(">block locked");
      int r = makeBlockWritable(*b, *fc);
      if (r != 0) return r;
      const int64_t n = std::min<int64_t>(remaining, BLOCK_SIZE - o);
      while (written < n) {
        const ssize_t w = ::pwrite(b->file.fd(), buf + done + written,
                                   static_cast<size_t>(n - written), static_cast<off_t>(o + written));
        if (w < 0) {
          if (errno == EINTR) continue;
          const int err = errno;
          if (written > 0 && o + written > b->length) b->length = static_cast<uint32_t>(o + written);
          b->state = BLOCK_DIRTY;
          return osFailure(err);
        }
        written += w;
      }
      b->state = BLOCK_DIRTY;
      if (o + written > b->length) b->length = static_cast<uint32_t>(o + written);
      if (sealTarget) {
        TLOG_DEBUG(">flush block file: ", sealTarget->path);
        if (sync) {
          r = sealAndUploadBlock(sealTarget, fc->uploadToken(), fc->path());
          if (r == 1) r = 0;  // closed meanwhile: nothing to upload for it
        } else {
          r = scheduleBlockUpload(fc, sealTarget);
        }
        if (r != 0) {
          removeMetaCache(fc->path());
          return asFailure(r);
        }
      }
      done += written;
      remaining -= written;
      TLOG_DEBUG(">block unlocked(maybe)");
    }
    if (!sync) break;
  }
  if (fc->meta) {
    if (done > 0) fc->meta->growSize(off + done);
    fc->meta->setMtime(nowMicroseconds());
  }
  fc->commitNeeded.store(true);
  fc->sizeStale.store(true);

  if (!sync && fc->pendingUploads.load() > MAX_PENDING_UPLOADS) {
    const auto deadline = start + std::chrono::milliseconds(UPLOAD_WAIT_LIMIT_MS);
    if (!fc->waitForUploads(MAX_PENDING_UPLOADS, deadline)) {
      TLOG_DEBUG(">write incomplete: count = ", fc->pendingUploads.load());
    }
    TLOG_DEBUG(">slept for write");
  }
  TLOG_DEBUG(">write takes ", elapsedMs(start), "[msec]");
  return static_cast<int>(done);
}

int cloud_ftruncate(const char* path, int64_t size, DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (!fc || fc->directory) return -DECAS_EINVAL;
  if (fc->commandFile) return 0;
  if (size < 0) return -DECAS_EINVAL;
  if (size > MAX_FILE_SIZE) return STATUS_FILE_TOO_LARGE;
  if (size == 0) {
    TLOG_DEBUG(">truncate 0 byte.");
    ScopedLock lock(fc->mutex);
    fc->blocks.clear();
  } else {
    int64_t i = size / BLOCK_SIZE;
    int64_t o = size % BLOCK_SIZE;
    if (o == 0) {
      o = BLOCK_SIZE;
      i -= 1;
    }
    TLOG_DEBUG(">block index = ", i, ", block offset = ", o);
    BlockInfoPtr b;
    {
      ScopedLock lock(fc->mutex);
      TLOG_DEBUG(">fh locked@ftruncate");
      if (i < static_cast<int64_t>(fc->blocks.size())) {
        fc->blocks.resize(static_cast<size_t>(i + 1));
      } else {
        const int r = extendBlocksLocked(*fc, i);
        if (r != 0) return r;
      }
      b = materializeLocked(*fc, i);
    }
    TLOG_DEBUG(">fh unlocked@ftruncate");
    ScopedLock lock(b->mutex);
    if (b->length != o || b->state != BLOCK_DIRTY || !b->path.empty()) {
      const int r = makeBlockWritable(*b, *fc);
      if (r != 0) return r;
      if (::ftruncate(b->file.fd(), static_cast<off_t>(o)) != 0) return osFailure(errno);
    }
    b->length = static_cast<uint32_t>(o);
    b->state = BLOCK_DIRTY;
  }
  if (fc->meta) fc->meta->setSizeAndMtime(size, nowMicroseconds());
  fc->commitNeeded.store(true);
  fc->sizeStale.store(true);
  return 0;
}

int cloud_flush(const char* path, DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (!fc || fc->commandFile || fc->directory) return 0;
  if (h->openFlags & OPEN_DELETE_ON_CLOSE) return 0;
  // The name is gone: the content lives on only in this open.
  if (fc->removed.load()) return 0;
  const auto start = std::chrono::steady_clock::now();
  ScopedLock lock(fc->mutex);

  int64_t total = 0;
  std::vector<std::string> ids;
  ids.reserve(fc->blocks.size());
  bool changed = false;
  std::vector<size_t> holes;  // positions in `ids` that take the id of zeros
  for (size_t k = 0; k < fc->blocks.size(); ++k) {
    const BlockInfoPtr& b = fc->blocks[k];
    if (!b) {
      holes.push_back(ids.size());
      ids.emplace_back();
      total += BLOCK_SIZE;
      continue;
    }
    for (int attempt = 0;; ++attempt) {
      bool uploaded = false;
      bool hasContent = false;
      bool emptyTail = false;
      {
        ScopedLock blockLock(b->mutex);
        // An empty last block (the target of a write that has not landed
        // yet, or that failed) holds nothing of the file: it is neither
        // uploaded nor listed; the write marks the file for the next commit.
        emptyTail = k + 1 == fc->blocks.size() && b->state != BLOCK_UPLOADED && b->length == 0;
        if (b->state == BLOCK_UPLOADED) {
          total += b->length;
          ids.push_back(b->id);
          uploaded = true;
        }
        hasContent = b->file.isOpen() || !b->path.empty();
      }
      if (uploaded) break;
      changed = true;
      if (emptyTail) break;
      if (attempt >= kFlushSealAttempts) return UNMAPPED_SERVICE_STATUS;
      if (hasContent) {
        TLOG_DEBUG(">upload block index = ", static_cast<int64_t>(k));
      } else {
        TLOG_WARN(">empty block");
      }
      const int r = sealAndUploadBlock(b, fc->uploadToken(), fc->path());
      if (r != 0) {
        removeMetaCache(fc->path());
        return r == 1 ? kStatusHandleClosed : r;
      }
    }
  }

  if (changed || fc->commitNeeded.load()) {
    if (!holes.empty()) {
      // All holes share one block of zeros, sealed and uploaded once.
      const BlockInfoPtr& zeros = holeBlockLocked(*fc);
      const int r = sealAndUploadBlock(zeros, fc->uploadToken(), fc->path());
      if (r != 0) {
        removeMetaCache(fc->path());
        return r == 1 ? kStatusHandleClosed : r;
      }
      std::string id;
      {
        ScopedLock zerosLock(zeros->mutex);
        id = zeros->id;
      }
      for (size_t k : holes) ids[k] = id;
    }
    TLOG_DEBUG(">update size = ", total);
    if (fc->meta) fc->meta->setSizeAndMtime(total, nowMicroseconds());
    fc->sizeStale.store(false);
    const int r = contentService().uploadFile(fc->uploadToken(), ids);
    if (r != 0) {
      removeMetaCache(fc->path());
      return mapServiceError(r);
    }
    if (ids.empty()) {
      h->state &= ~HANDLE_CONTENT_UPLOADED;
    } else {
      h->state |= HANDLE_CONTENT_UPLOADED;
    }
    fc->commitNeeded.store(false);
    block_cache::listed(fc->path(), ids);  // replaced blocks go first
    relockAfterCommit(*fc, h);
  }
  TLOG_DEBUG(">flush takes ", elapsedMs(start), "[msec]");
  return 0;
}

}  // namespace tarvik
