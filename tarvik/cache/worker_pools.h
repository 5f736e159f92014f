// The cloud side's four worker pools and its init and exit.
//
//   upload     1..10 threads  background sealing and upload of blocks
//   download   3..10 threads  prefetch of blocks a reader will need next
//   finalize   5..10 threads  drops a closed file's context 5 s after close
//   keep-alive 1 thread       keepSession every 300 s while mounted
//
// The pools live in one unmanaged APR root pool, are created by the first
// init and reused by every later mount; exit only empties them.
//
// Task records: every queued task owns a record holding shared references
// to its block and file context, so a context outlives every task that
// refers to it. The records are also kept in a registry: when exit cancels
// a pool, the records of the dropped tasks are released there (a dropped
// finalize still destroys its context; a dropped upload gives back its
// pending-upload count).
//
// Every task is queued with the pools' owner token rather than no owner:
// APR's cancel waits for running tasks of the given owner, and with no
// owner it would also wait on threads that are merely between two tasks.
#pragma once

#include <cstdint>

#include "cache/file_context.h"

namespace tarvik {

constexpr int64_t KEEP_ALIVE_INTERVAL_US = 300LL * 1000 * 1000;  // 300 s
constexpr int64_t FINALIZE_DELAY_US = 5LL * 1000 * 1000;          // 5 s after close

// Queues the prefetch task of `block` on the download pool. 0, or the thread
// pool's status. Without pools (no mount) nothing is queued and 0 returned.
int queuePrefetchTask(BlockInfoPtr block, FileContextPtr fc);
// Queues the upload task of `block` on the upload pool. 0, or the thread
// pool's status; -1 when there are no pools (the caller uploads itself).
int queueUploadTask(BlockInfoPtr block, FileContextPtr fc);

// The keep-alive interval (300 s in the product).
void setKeepAliveIntervalForTesting(int64_t microseconds);

// Content half of the init slot: the directory tree, a new metadata cache,
// the worker pools and the keep-alive. 0 or -99 (or a pool's status).
int contentInit(int, int);
// The exit slot: with status 0 stops the pools and signs out (unless the
// session came from the caller); any other status reports the failed mount.
int cloud_exit(int status);

namespace worker_pools_testing {
enum Pool { kUpload = 0, kDownload = 1, kFinalize = 2, kKeepAlive = 3, kPoolCount = 4 };
// Makes the next creation of `pool` fail (once).
void failNextCreation(Pool pool);
bool poolExists(Pool pool);
// Thread pools created so far in this process.
int poolsCreated();
// keepSession calls made by keep-alive tasks so far.
int keepAliveRuns();
// Task records queued and not yet run (all pools).
size_t queuedTasks();
void setFinalizeDelayForTesting(int64_t microseconds);
}  // namespace worker_pools_testing

}  // namespace tarvik
