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

#include "cache/block_files.h"
#include "cache/block_reader.h"
#include "cache/content_service.h"
#include "cache/service_tokens.h"
#include "cache/waiting_uploads.h"
#include "cache/worker_pools.h"
#include "core/clock.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/scoped_lock.h"
#include "core/service_codes.h"
#include "log/log.h"
#include "webapi/block_id.h"
#include "webapi/service_status.h"

namespace tarvik {
namespace {

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

// A failure that the pool reports as a positive APR status is still one.
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
        countPrivateCopy(last);
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

// Block's mutex held, its file open for writing. Writes `n` bytes at block
// offset `o`; the block's length and state follow what was written, also
// when the write stops early. A full disk first gives up the cached blocks
// that nothing needs. 0 or errno.
int writeIntoBlock(BlockInfo& b, const char* data, int64_t n, int64_t o, int64_t* written) {
  bool madeRoom = false;
  int err = 0;
  while (*written < n) {
    const ssize_t w = ::pwrite(b.file.fd(), data + *written, static_cast<size_t>(n - *written),
                               static_cast<off_t>(o + *written));
    if (w >= 0) {
      *written += w;
      continue;
    }
    if (errno == EINTR) continue;
    err = errno;
    if (err == ENOSPC && !madeRoom) {
      madeRoom = true;
      if (block_cache::makeRoom() > 0) {
        err = 0;
        continue;
      }
    }
    break;
  }
  b.state = BLOCK_DIRTY;
  if (o + *written > b.length) b.length = static_cast<uint32_t>(o + *written);
  countPrivateCopy(b);
  return err;
}

// A write failed after `done` bytes: those stay written (and are committed
// by the next flush, which then reports `status`). The status when nothing
// was written, otherwise the byte count.
int failWrite(FileContext& fc, int64_t done, int status) {
  fc.writeError.store(status);
  fc.changes.fetch_add(1);
  fc.commitNeeded.store(true);
  fc.sizeStale.store(true);
  return done > 0 ? static_cast<int>(done) : status;
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
      int err = copyFile(b.path, copy);
      if (err == ENOSPC && block_cache::makeRoom() > 0) err = copyFile(b.path, copy);
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
  countPrivateCopy(b);
  return 0;
}

namespace {

// Block's mutex held, the block dirty: hashes its content and stores it in
// the block directory under its id (pinned). 0 or a status.
int sealLocked(BlockInfo& b, FileContext& fc) {
  if (b.file.isOpen()) {
    const int err = b.file.close();
    if (err != 0) return osFailure(err);
  }
  if (b.path.empty()) {
    // Never written: it is zeros of its length, sealed like any block.
    const std::string zeros = temporaryFileName();
    const int err = createZeroFile(zeros, b.length);
    if (err != 0) return osFailure(err);
    b.path = zeros;
  }
  std::string id;
  const int err = hashFile(b.path, &id);
  if (err != 0) return osFailure(err);
  const std::string target = blockFilePath(id);
  CachePin pin(id);  // from the check for an equal block until the commit
  BlockInfo probe;
  probe.id = id;
  probe.path = target;
  if (blockFileMissing(probe)) {
    TLOG_DEBUG(">rename block: ", target);
    if (::rename(b.path.c_str(), target.c_str()) != 0) return osFailure(errno);
  } else {
    // The same content is stored already: the private copy is not needed.
    ::unlink(b.path.c_str());
  }
  b.id = id;
  b.path = target;
  b.length = static_cast<uint32_t>(blockIdLength(id));
  b.state = BLOCK_SEALED;
  b.knownCached.store(true);
  b.sealPin = std::move(pin);
  countPrivateCopy(b);
  block_cache::use(id, b.length, fc.path());
  return 0;
}

}  // namespace

int sealBlock(const BlockInfoPtr& b, FileContext& fc) {
  ScopedLock lock(b->mutex);
  if (b->detached) return 1;
  return b->state == BLOCK_DIRTY ? sealLocked(*b, fc) : 0;
}

int sealAndUploadBlock(const BlockInfoPtr& b, FileContext& fc) {
  ScopedLock lock(b->mutex);
  if (b->detached) return 1;
  if (b->state == BLOCK_UPLOADED) return 0;
  if (b->state == BLOCK_DIRTY) {
    const int r = sealLocked(*b, fc);
    if (r != 0) return r;
  }
  const int r = uploadBlockFor(fc, b->id, b->path);
  if (r != 0) return mapServiceError(r);
  // The pin stays until a commit lists the block: until then the service
  // has it under no version, so it could not be downloaded again.
  b->state = BLOCK_UPLOADED;
  return 0;
}

int scheduleBlockUpload(const FileContextPtr& fc, const BlockInfoPtr& b) {
  fc->pendingUploads.fetch_add(1);
  const int r = queueUploadTask(b, fc);
  if (r == 0) return 0;
  fc->uploadFinished();
  if (r == -1) {
    // No pools (no mount): upload on this thread.
    const int s = sealAndUploadBlock(b, *fc);
    return s == 1 ? 0 : s;
  }
  return r;
}

void runUploadTask(const BlockInfoPtr& b, const FileContextPtr& fc) {
  if (!fc->closed.load()) {
    const int r = sealAndUploadBlock(b, *fc);
    if (r != 0) removeMetaCache(fc->path());
  }
  fc->uploadFinished();
}

namespace {

// Writes `n` bytes at offset `o` of block `b`, then starts the upload of
// `sealTarget` (a block the write has left) when there is one. 0 or a
// status; *written counts the bytes written either way, *diskFull tells a
// full cache disk.
int writeBlockPart(const FileContextPtr& fc, const BlockInfoPtr& b, const BlockInfoPtr& sealTarget,
                   const char* data, int64_t n, int64_t o, bool sync, int64_t* written,
                   bool* diskFull) {
  ScopedLock lock(b->mutex);
  TLOG_DEBUG(">block locked");
  int r = makeBlockWritable(*b, *fc);
  if (r != 0) {
    *diskFull = r == osFailure(ENOSPC);
    return r;
  }
  const int err = writeIntoBlock(*b, data, n, o, written);
  if (err != 0) {
    *diskFull = err == ENOSPC;
    return osFailure(err);
  }
  if (!sealTarget) return 0;
  TLOG_DEBUG(">flush block file: ", sealTarget->path);
  if (sync) {
    r = sealAndUploadBlock(sealTarget, *fc);
    if (r == 1) r = 0;  // closed meanwhile: nothing to upload for it
  } else {
    r = scheduleBlockUpload(fc, sealTarget);
  }
  if (r != 0) {
    // The bytes are written; the flush uploads the block again and reports
    // a failure then.
    TLOG_WARN("upload of a finished block failed: ", asFailure(r));
    removeMetaCache(fc->path());
  }
  return 0;
}

}  // namespace

int contentWrite(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                 DecasHandle* h) {
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (!fc || fc->directory) return -DECAS_EINVAL;
  if (fc->commandFile) return static_cast<int>(std::min<size_t>(len, INT_MAX));
  if (off < 0) return -DECAS_EINVAL;
  // Nothing lies beyond the largest file; a write that crosses it stops there.
  if (len > 0 && off >= MAX_FILE_SIZE) return failWrite(*fc, 0, STATUS_FILE_TOO_LARGE);
  const auto start = std::chrono::steady_clock::now();
  int64_t remaining = static_cast<int64_t>(std::min<size_t>(len, INT_MAX));
  remaining = std::min(remaining, std::max<int64_t>(0, MAX_FILE_SIZE - off));
  int64_t done = 0;
  bool committedForRoom = false;
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
    const int64_t n = std::min<int64_t>(remaining, BLOCK_SIZE - o);
    bool diskFull = false;
    const int r = writeBlockPart(fc, b, sealTarget, buf + done, n, o, sync, &written, &diskFull);
    if (r != 0 && diskFull && !committedForRoom) {
      // The disk is full of blocks that nothing may evict, this file's own
      // uploaded blocks among them: committing the content written so far
      // (as an fsync would) lets them go, and the write goes on.
      committedForRoom = true;
      if (cloud_flush(path, h) == 0) {
        block_cache::makeRoom();
        continue;
      }
    }
    if (r != 0) return failWrite(*fc, done + written, r);
    done += written;
    remaining -= written;
    if (!sync) break;
  }
  if (fc->meta) {
    if (done > 0) fc->meta->growSize(off + done);
    fc->meta->setMtime(nowMicroseconds());
  }
  fc->changes.fetch_add(1);
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
  // The whole change, the size included, under the context's lock: a
  // concurrent fstat that counts the blocks sees it before or after.
  ScopedLock lock(fc->mutex);
  TLOG_DEBUG(">fh locked@ftruncate");
  if (size == 0) {
    TLOG_DEBUG(">truncate 0 byte.");
    fc->blocks.clear();
  } else {
    int64_t i = size / BLOCK_SIZE;
    int64_t o = size % BLOCK_SIZE;
    if (o == 0) {
      o = BLOCK_SIZE;
      i -= 1;
    }
    TLOG_DEBUG(">block index = ", i, ", block offset = ", o);
    if (i < static_cast<int64_t>(fc->blocks.size())) {
      fc->blocks.resize(static_cast<size_t>(i + 1));
    } else {
      const int r = extendBlocksLocked(*fc, i);
      if (r != 0) return r;
    }
    BlockInfoPtr b = materializeLocked(*fc, i);
    ScopedLock blockLock(b->mutex);
    if (b->length != o || b->state != BLOCK_DIRTY || !b->path.empty()) {
      const int r = makeBlockWritable(*b, *fc);
      if (r != 0) return r;
      if (::ftruncate(b->file.fd(), static_cast<off_t>(o)) != 0) return osFailure(errno);
    }
    b->length = static_cast<uint32_t>(o);
    b->state = BLOCK_DIRTY;
    countPrivateCopy(*b);
  }
  if (fc->meta) fc->meta->setSizeAndMtime(size, nowMicroseconds());
  fc->changes.fetch_add(1);
  fc->commitNeeded.store(true);
  fc->sizeStale.store(true);
  return 0;
}

namespace {

// Context mutex held. Sends again every block that was uploaded and that no
// commit has listed yet (they hold their seal pin), under fc's current
// upload token. 0 or a status.
int reuploadUncommitted(FileContext& fc, void*) {
  std::vector<BlockInfoPtr> blocks = fc.blocks;
  if (fc.holeBlock) blocks.push_back(fc.holeBlock);
  for (const BlockInfoPtr& b : blocks) {
    if (!b) continue;
    ScopedLock lock(b->mutex);
    if (b->state != BLOCK_UPLOADED || !b->sealPin.held()) continue;
    const int r = uploadBlockFor(fc, b->id, b->path);
    if (r != 0) return r;
  }
  return 0;
}

// Context mutex held. The commit of `ids` succeeded: the blocks it lists
// are the service's now and may be evicted like any other. A block changed
// since it was listed keeps its pin.
void releaseCommitted(FileContext& fc, const std::vector<std::string>& ids, bool holes) {
  auto release = [](BlockInfo& b, const std::string& committed) {
    ScopedLock lock(b.mutex);
    if (b.state == BLOCK_UPLOADED && b.id == committed) b.sealPin.reset();
  };
  for (size_t k = 0; k < fc.blocks.size() && k < ids.size(); ++k) {
    if (fc.blocks[k]) release(*fc.blocks[k], ids[k]);
  }
  if (holes && fc.holeBlock) release(*fc.holeBlock, zeroBlockId());
}

// Context mutex held. Seals and uploads every block that the service does
// not have yet and collects the block list; positions of holes are left
// empty in `ids` and listed in `holes`. 0 or a status.
int collectBlockList(FileContext& fc, std::vector<std::string>* ids, std::vector<size_t>* holes,
                     int64_t* total, bool* changed) {
  ids->reserve(fc.blocks.size());
  for (size_t k = 0; k < fc.blocks.size(); ++k) {
    const BlockInfoPtr& b = fc.blocks[k];
    if (!b) {
      holes->push_back(ids->size());
      ids->emplace_back();
      *total += BLOCK_SIZE;
      continue;
    }
    for (int attempt = 0;; ++attempt) {
      bool uploaded = false;
      bool emptyTail = false;
      {
        ScopedLock blockLock(b->mutex);
        // An empty last block (the target of a write that has not landed
        // yet, or that failed) holds nothing of the file: it is neither
        // uploaded nor listed; the write marks the file for the next commit.
        emptyTail = k + 1 == fc.blocks.size() && b->state != BLOCK_UPLOADED && b->length == 0;
        if (b->state == BLOCK_UPLOADED) {
          *total += b->length;
          ids->push_back(b->id);
          uploaded = true;
        }
      }
      if (uploaded) break;
      *changed = true;
      if (emptyTail) break;
      if (attempt >= kFlushSealAttempts) return UNMAPPED_SERVICE_STATUS;
      TLOG_DEBUG(">upload block index = ", static_cast<int64_t>(k));
      const int r = sealAndUploadBlock(b, fc);
      if (r != 0) return r == 1 ? kStatusHandleClosed : r;
    }
  }
  if (holes->empty()) return 0;
  // All holes share one block of zeros, sealed and uploaded once.
  const BlockInfoPtr& zeros = holeBlockLocked(fc);
  const int r = sealAndUploadBlock(zeros, fc);
  if (r != 0) return r == 1 ? kStatusHandleClosed : r;
  std::string id;
  {
    ScopedLock zerosLock(zeros->mutex);
    id = zeros->id;
  }
  for (size_t k : *holes) (*ids)[k] = id;
  return 0;
}

// Context mutex held. Whether fc holds content that no commit has listed:
// a change marked for the commit, a block not uploaded, or one uploaded
// and not listed yet (it holds its seal pin).
bool hasUncommitted(FileContext& fc) {
  if (fc.commitNeeded.load()) return true;
  for (size_t k = 0; k < fc.blocks.size(); ++k) {
    const BlockInfoPtr& b = fc.blocks[k];
    if (!b) continue;
    ScopedLock lock(b->mutex);
    if (b->state == BLOCK_UPLOADED ? b->sealPin.held()
                                   : !(k + 1 == fc.blocks.size() && b->length == 0)) {
      return true;
    }
  }
  return false;
}

// Context mutex held. The unmount's wait for commits is over: content the
// service does not have yet is kept on this computer, without a request,
// and committed by the next mount. 0 when nothing was to be committed.
int keepForLater(FileContext& fc, DecasHandle* h) {
  if (!hasUncommitted(fc)) return fc.writeError.exchange(0);
  if (fc.keptChanges.load() != fc.changes.load()) {
    fc.lastServiceCode.store(service_code::kCommunicationError);  // not sent: may pass
    // A journal that cannot be written (a full disk) is logged by it.
    if (keepWaiting(fc, h->path()) != 0) return UNMAPPED_SERVICE_STATUS;
    fc.keptChanges.store(fc.changes.load());
  }
  TLOG_INFO("kept for the next mount: ", fc.path());
  return UNMAPPED_SERVICE_STATUS;
}

}  // namespace

int cloud_flush(const char* path, DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (!fc || fc->commandFile || fc->directory) return 0;
  if (h->openFlags & OPEN_DELETE_ON_CLOSE) return 0;
  // The name is gone: the content lives on only in this open.
  if (fc->removed.load()) return 0;
  const auto start = std::chrono::steady_clock::now();
  ScopedLock lock(fc->mutex);
  if (h->state & HANDLE_KEEP_FOR_LATER) return keepForLater(*fc, h);

  // A write that failed since the last flush is reported once the data
  // written before it is committed.
  const int writeError = fc->writeError.exchange(0);
  fc->lastServiceCode.store(0);
  const uint64_t changesAtStart = fc->changes.load();
  int64_t total = 0;
  std::vector<std::string> ids;
  std::vector<size_t> holes;
  bool changed = false;
  int r = collectBlockList(*fc, &ids, &holes, &total, &changed);
  if (r == 0 && (changed || fc->commitNeeded.load())) {
    TLOG_DEBUG(">update size = ", total);
    // A write through another open may have landed after the list was
    // taken: the size only grows here (a truncation sets it itself), and
    // it is recounted at the next fstat unless nothing changed meanwhile.
    if (fc->meta) {
      fc->meta->growSize(total);
      fc->meta->setMtime(nowMicroseconds());
    }
    if (fc->changes.load() == changesAtStart) fc->sizeStale.store(false);
    r = commitBlockList(*fc, ids, reuploadUncommitted, nullptr);
    if (r != 0) r = mapServiceError(r);
    if (r == 0) {
      if (ids.empty()) {
        h->state &= ~HANDLE_CONTENT_UPLOADED;
      } else {
        h->state |= HANDLE_CONTENT_UPLOADED;
      }
      fc->commitNeeded.store(false);
      releaseCommitted(*fc, ids, !holes.empty());
      block_cache::listed(fc->path(), ids);  // replaced blocks go first
      fc->baseIds = ids;
      committedNewest(fc->path());
      relockAfterCommit(*fc, h);
    }
  }
  if (r != 0) {
    removeMetaCache(fc->path());
    // Content the service could not take now is kept on disk for a later
    // upload (unless it was kept unchanged already).
    const uint64_t changes = fc->changes.load();
    if (fc->lastServiceCode.load() != 0 && fc->keptChanges.load() != changes &&
        keepWaiting(*fc, h->path()) == 0) {
      fc->keptChanges.store(changes);
    }
    // Still to be reported: the next flush tries again.
    if (writeError != 0) fc->writeError.store(writeError);
    fc->commitNeeded.store(true);
    return r;
  }
  TLOG_DEBUG(">flush takes ", elapsedMs(start), "[msec]");
  return writeError;
}

}  // namespace tarvik
