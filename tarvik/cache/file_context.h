// Open-file contexts and the blocks of their content.
//
// A file's content is a list of blocks of BLOCK_SIZE bytes (only the last one
// may be shorter). Every block the library has seen is kept as one file in
// the block directory, named by its BlockId; such a file never changes. A
// block being written is a private copy in the temporary directory until it
// is sealed (hashed and renamed into the block directory under its id).
//
// Ownership: a FileContext is held by shared pointer: by the handle while it
// is open, by queued worker tasks, and by the finalize task that drops it
// 5 s after close. BlockInfo records are shared between the context's list
// and tasks, so a block dropped by a truncation stays valid for a task that
// still refers to it.
//
// Lock order, outermost first:
//   FileContext::mutex (guards the block list only)
//   BlockInfo::mutex, higher block index before lower
//   the metadata cache's mutexes (innermost)
// No FileContext mutex is ever taken by a worker task.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cache/block_cache.h"
#include "cache/meta_cache.h"
#include "optable/decas.h"
#include "webapi/json.h"

namespace tarvik {

constexpr uint32_t BLOCK_SIZE = 8u * 1024u * 1024u;  // 8 388 608 bytes

// Largest file the drive stores: 1 TiB, 131 072 blocks. Every commit lists
// the id of every block of the file, so the list (about 5 MB of text at
// this size) bounds what one flush may send; larger sizes fail with
// STATUS_FILE_TOO_LARGE before anything is allocated.
constexpr int64_t MAX_FILE_SIZE = int64_t{1} << 40;
constexpr int32_t STATUS_FILE_TOO_LARGE = -(DECAS_OS_ERROR_BASE + 223);  // ERROR_FILE_TOO_LARGE

enum BlockState : int {
  BLOCK_DIRTY = 0,     // content changed locally
  BLOCK_SEALED = 1,    // hashed and stored under id, upload not confirmed
  BLOCK_UPLOADED = 2,  // the service has it under id
};

// An open file descriptor closed by its owner; -1 when none. A descriptor
// of a block file in the block directory holds a pin on it while open.
class BlockFile {
 public:
  BlockFile() = default;
  ~BlockFile() { close(); }
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void reset(int fd, CachePin pin = CachePin()) {
    close();
    fd_ = fd;
    pin_ = std::move(pin);
  }
  // 0, or the errno of close(2). The descriptor is gone either way.
  int close();

 private:
  int fd_ = -1;
  CachePin pin_;
};

// One block of an open file. Every field except prefetchRequested is guarded
// by `mutex`.
class BlockInfo {
 public:
  BlockInfo() = default;
  // A private copy that no block refers to any more is removed here, and no
  // longer counted in the cache usage.
  ~BlockInfo();
  BlockInfo(const BlockInfo&) = delete;
  BlockInfo& operator=(const BlockInfo&) = delete;

  std::mutex mutex;        // serialises opening, downloading, reading, writing, sealing
  bool detached = false;   // the file was closed: the block's mutex counts as gone
  std::string id;          // BlockId; empty while the content is private
  std::string path;        // block file, temporary file, or empty (never written)
  BlockFile file;          // open descriptor of path
  bool fileWritable = false;
  uint32_t length = 0;     // bytes of the block that belong to the file
  BlockState state = BLOCK_DIRTY;
  std::atomic<bool> prefetchRequested{false};  // set once a prefetch was queued
  // The block file was seen in the block directory: readers need not ask
  // for a prefetch of it again. A hint only; reads still check the file.
  std::atomic<bool> knownCached{false};
  // Held from sealing until a commit lists the block: its file in the block
  // directory is the only copy until the service has it, and a block the
  // service has but no committed version lists cannot be downloaded again.
  CachePin sealPin;
  // Bytes of the private copy counted in the cache usage (see
  // countPrivateCopy).
  int64_t countedPrivateBytes = 0;
};

using BlockInfoPtr = std::shared_ptr<BlockInfo>;

// The state of one open file (or, with `directory`, of an open folder, which
// holds only path and meta).
class FileContext {
 public:
  FileContext();
  ~FileContext();
  FileContext(const FileContext&) = delete;
  FileContext& operator=(const FileContext&) = delete;

  MetaCachePtr meta;          // size and times, shared with other handles of the path

  std::atomic<bool> commitNeeded{false};  // commit with uploadFile at the next flush
  std::atomic<bool> sizeStale{false};     // recompute meta's size at the next fstat
  std::atomic<bool> lockHeld{false};      // the service lock must be given back at close
  std::atomic<bool> closed{false};        // set by close; queued tasks then do nothing
  // The file's name was deleted while it was open, or another file was
  // moved onto it. The open keeps its content (reads, writes, size changes
  // work on the local blocks), but nothing is committed to the service any
  // more: a commit would bring the name back, or replace the file that now
  // has it.
  std::atomic<bool> removed{false};
  // The service process id the service lock was taken for.
  uint32_t lockProcessId = 0;
  bool commandFile = false;               // "/__system__/__cmd__": data operations do nothing
  bool directory = false;                 // an open folder

  std::mutex mutex;                 // guards `blocks` (the list, not the blocks)
  // Block i is element i. A null element is a hole: BLOCK_SIZE zero bytes
  // that were never written (an extension of the file, or a block of zeros
  // from the service). Holes cost no record of their own, so a sparse
  // extension costs memory for the data written, not for its size. The
  // last element is never null.
  std::vector<BlockInfoPtr> blocks;
  // Stands for every hole when the file is sealed and committed: one block
  // of BLOCK_SIZE zeros, sealed and uploaded once for this file. Created on
  // first use under `mutex`; never written. Its mutex comes after every
  // other block mutex.
  BlockInfoPtr holeBlock;
  std::atomic<int32_t> pendingUploads{0};  // background uploads queued and not finished
  // The status of a write that failed since the last flush: the next flush
  // commits what was written and then reports it, so that fsync and close
  // tell the program that not all of its data is there.
  std::atomic<int32_t> writeError{0};
  // The service's code of the last failed transfer or commit (0: none).
  std::atomic<int32_t> lastServiceCode{0};
  // Counts changes of the content (writes, truncations); `keptChanges` is
  // the count when the content was last kept in the upload journal, so a
  // flush of unchanged content does not keep it again.
  std::atomic<uint64_t> changes{0};
  std::atomic<uint64_t> keptChanges{~uint64_t{0}};
  // Block list of the service's version this content is based on (the list
  // at open, then each commit's); guarded by `mutex`.
  std::vector<std::string> baseIds;
  // Opens of the path that share this content (guarded by the open-file
  // registry's mutex): every open of one path on the drive sees and commits
  // the same blocks.
  int openCount = 0;

  // The service path and the upload token follow a rename of the file (or
  // of a folder above it) made while it is open, so they are read through
  // these copies: worker tasks read them while a rename may change them.
  std::string path() const;
  std::string uploadToken() const;  // empty when not opened for writing and not created
  // Empty when the file was never opened for reading (a new file); a
  // token covers the blocks of the version it was issued for.
  std::string downloadToken() const;
  void setPath(const std::string& servicePath);
  void setUploadToken(const std::string& token);
  void setDownloadToken(const std::string& token);
  // Held while a refused token is renewed (service_tokens.h); a leaf but
  // for the name mutex and the calls it makes.
  std::mutex tokenRenewMutex;

  // An upload task ended (or was dropped): pending uploads - 1, and wake a
  // writer waiting in the throttle.
  void uploadFinished();
  // Waits until pending uploads <= `limit` or `deadline` passes; true when
  // the count is within the limit.
  bool waitForUploads(int32_t limit, std::chrono::steady_clock::time_point deadline);

 private:
  mutable std::mutex nameMutex_;  // a leaf: guards path_ and the tokens
  std::string path_;              // service path
  std::string uploadToken_;
  std::string downloadToken_;
  std::mutex uploadWaitMutex_;  // a leaf: only for uploadDone_
  std::condition_variable uploadDone_;
};

using FileContextPtr = std::shared_ptr<FileContext>;

// The BlockId of BLOCK_SIZE zero bytes (computed once).
const std::string& zeroBlockId();

// Context mutex held. The block that stands for the holes of `fc`.
const BlockInfoPtr& holeBlockLocked(FileContext& fc);

// block directory + "/" + id
std::string blockFilePath(const std::string& id);

// Content half of open. Called by cloud_open after the name half found or
// built `record`, took the service lock (lockHeld) and made the pretest
// calls. `pretestDownload` is the pretestDownloadFile result (null when not
// fetched); `uploadToken` the pretestUploadFile result text ("" when not
// fetched). An existing file opened for writing is given its block list as
// for reading, so a partial rewrite keeps the rest of the file; cloud_open
// therefore fetches pretestDownloadFile for OPEN_WRITE of an existing file
// too. Returns 0 or a status; on failure the context may already be
// attached to the handle (the caller closes and finalizes it).
int contentOpen(const std::string& servicePath, DecasHandle* handle, const StatRecord& record,
                bool isNew, const JsonPtr& pretestDownload, const std::string& uploadToken,
                bool lockHeld);
// Content half of close. The last open of a content closes the blocks' files
// and detaches the blocks; cloud_close then unlocks, sets `closed` and
// finalizes. `*last` (when given) tells whether this was the last open;
// when it was not, the content stays with the other opens.
int contentClose(DecasHandle* handle, bool* last = nullptr);

// Attaches `handle` to the content of a live open of `servicePath` (opened,
// not closed, name not deleted), which it then shares: writes through any
// open are seen by reads of every other, and each commit records all of
// them. Null when the path has no such open.
FileContextPtr joinOpenFile(const std::string& servicePath, DecasHandle* handle);

// Block's mutex held: counts the block's private copy (its bytes, or none
// once it is sealed or gone) in the cache usage.
void countPrivateCopy(BlockInfo& b);

// Whether a file of `servicePath` is open now (opened and not yet closed,
// and its name neither deleted nor replaced meanwhile). A closed file's
// context lives on for a while (finalize), but what it knew of the file may
// be older than the service's by then.
bool isFileOpen(const std::string& servicePath);

// Files open now with an upload token (opened for writing or created).
int openFilesForWriting();

// Marks every open file of `servicePath`, or below it, as removed (see
// FileContext::removed). Called after the service deleted the path, or
// replaced it by a move onto it.
void markOpenFilesRemoved(const std::string& servicePath);

// A rename of `fromService` to `toService` succeeded on the service: the
// open files of the path, or below it, take the new path, so that reads,
// writes and the commit at close go to the new name. Files deleted while
// open keep their (no longer used) path. Returns each moved context with
// its old path; the caller gives a file opened for writing an upload token
// for its new path and moves its service lock.
struct MovedOpenFile {
  FileContextPtr context;
  std::string oldPath;
};
std::vector<MovedOpenFile> renameOpenFiles(const std::string& fromService,
                                           const std::string& toService);

FileContextPtr makeCommandFileContext();
FileContextPtr makeDirectoryContext(const std::string& servicePath, MetaCachePtr meta);

// Queues the finalize task (5 s, then the context is dropped). Returns the
// thread pool's status (0 on success). Without pools the context is dropped
// at once.
int finalizeFileContext(FileContextPtr fc);

// Content half of the fstat slot: the size and times of an open file (the
// size summed from the blocks when a write left it stale), or the cached
// record of an open folder; -2 for a folder without one. A command file
// leaves `out` as it is.
int contentFstat(const char* path, StatRecord* out, DecasHandle* h);

namespace file_context_testing {
// FileContexts alive in the process (built and not yet destroyed).
int64_t liveContexts();
}  // namespace file_context_testing

}  // namespace tarvik
