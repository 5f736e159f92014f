// Worker pools, task records, finalize and keep-alive; the cloud side's init
// and exit. See worker_pools.h for the design.
//
// Locks: g_poolsMutex (init and exit, never held by a task) and g_taskMutex
// (the registry; a leaf, held only to insert or erase a record).
#include "cache/worker_pools.h"

#include "cache/open_contents.h"
#include "cache/waiting_uploads.h"
#include "cache/stat_cache.h"

#include <apr_allocator.h>
#include <apr_pools.h>
#include <apr_thread_pool.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "cache/block_reader.h"
#include "cache/block_writer.h"
#include "cache/content_service.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/scoped_lock.h"
#include "core/service_codes.h"
#include "log/log.h"
#include "webapi/envelope.h"

namespace tarvik {
namespace {

using worker_pools_testing::Pool;

constexpr apr_byte_t kTaskPriority = 127;

struct PoolSpec {
  apr_size_t initThreads;
  apr_size_t maxThreads;
  const char* failureMessage;
};

// In creation order: upload, download, finalize, keep-alive.
constexpr PoolSpec kPoolSpecs[worker_pools_testing::kPoolCount] = {
    {1, 10, "uploadThread pool failed."},
    {3, 10, "download pool creation failed."},
    {5, 10, "finalize pool creation failed."},
    {1, 1, "keep alive pool creation failed."},
};

// Owner token of every task: see the header.
char g_ownerToken;

std::mutex g_poolsMutex;  // init and exit
// The global pool and its allocator live as long as the process. The
// allocator is held here as well as by the pool: the pool's own memory may
// come from anonymous mappings (as APR is built on this system), where
// nothing else could see the allocator, and leak checkers would count it
// lost.
apr_allocator_t* g_globalAllocator = nullptr;
apr_pool_t* g_globalPool = nullptr;
// Written by init before the drive is mounted, read by the queueing calls.
std::atomic<apr_thread_pool_t*> g_pools[worker_pools_testing::kPoolCount];

std::atomic<int> g_failNext{-1};
std::atomic<int> g_poolsCreated{0};
std::atomic<int> g_keepAliveRuns{0};
std::atomic<int64_t> g_keepAliveInterval{KEEP_ALIVE_INTERVAL_US};
std::atomic<int64_t> g_finalizeDelay{FINALIZE_DELAY_US};

// Keep-alive chains: each init starts a new generation; a task of an older
// generation (or one running after exit) neither calls nor reschedules.
std::atomic<uint64_t> g_generation{0};
std::atomic<bool> g_mounted{false};

struct TaskRecord {
  Pool pool;
  BlockInfoPtr block;
  FileContextPtr fc;
  uint64_t generation = 0;
};

// Queued records by id. APR gets only the id, never a pointer, so a task
// that fires after exit released its record (a keep-alive rescheduled while
// the pool was being cancelled) finds nothing and does nothing.
std::mutex g_taskMutex;
std::unordered_map<uint64_t, std::unique_ptr<TaskRecord>> g_tasks;
uint64_t g_nextTaskId = 1;  // guarded by g_taskMutex; never reused

// Takes the record `id` out of the registry; null when exit released it.
std::unique_ptr<TaskRecord> unregister(uint64_t id) {
  std::lock_guard<std::mutex> lock(g_taskMutex);
  auto it = g_tasks.find(id);
  if (it == g_tasks.end()) return nullptr;
  std::unique_ptr<TaskRecord> record = std::move(it->second);
  g_tasks.erase(it);
  return record;
}

void* APR_THREAD_FUNC taskMain(apr_thread_t*, void* param);

// Queues `record` (pushed now, or scheduled after `delay` microseconds when
// delay >= 0). Takes ownership; returns the thread pool's status.
int submit(std::unique_ptr<TaskRecord> record, int64_t delay) {
  const Pool which = record->pool;
  apr_thread_pool_t* pool = g_pools[which].load(std::memory_order_acquire);
  if (pool == nullptr) return APR_EINIT;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(g_taskMutex);
    id = g_nextTaskId++;
    g_tasks.emplace(id, std::move(record));
  }
  void* param = reinterpret_cast<void*>(static_cast<uintptr_t>(id));
  apr_status_t rv = delay >= 0
                        ? apr_thread_pool_schedule(pool, taskMain, param, delay, &g_ownerToken)
                        : apr_thread_pool_push(pool, taskMain, param, kTaskPriority, &g_ownerToken);
  if (rv != APR_SUCCESS) {
    // Never handed to a thread: release it here (outside the registry lock,
    // since it may hold the last reference to a context).
    unregister(id);  // the caller gives back its own pending count
  }
  return static_cast<int>(rv);
}

void scheduleKeepAlive(uint64_t generation) {
  auto record = std::make_unique<TaskRecord>();
  record->pool = worker_pools_testing::kKeepAlive;
  record->generation = generation;
  const int rv = submit(std::move(record), g_keepAliveInterval.load());
  if (rv != 0) TLOG_WARN("keep alive schedule failed: ", rv);
}

void runKeepAlive(uint64_t generation) {
  if (!g_mounted.load() || generation != g_generation.load()) return;
  g_keepAliveRuns.fetch_add(1);
  contentService().keepSession();  // failures take the ordinary reporting path
  if (g_mounted.load() && generation == g_generation.load()) scheduleKeepAlive(generation);
}

void* APR_THREAD_FUNC taskMain(apr_thread_t*, void* param) {
  const uint64_t id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(param));
  std::unique_ptr<TaskRecord> record = unregister(id);
  if (!record) return nullptr;  // released by exit already
  try {
    switch (record->pool) {
      case worker_pools_testing::kDownload:
        runPrefetchTask(record->block, record->fc);
        break;
      case worker_pools_testing::kUpload:
        runUploadTask(record->block, record->fc);
        break;
      case worker_pools_testing::kFinalize:
        TLOG_DEBUG("finalize file context: ", log::identity(record->fc.get()));
        record->fc.reset();
        break;
      case worker_pools_testing::kKeepAlive:
        runKeepAlive(record->generation);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    // No exception may cross into APR's thread.
    TLOG_ERROR("worker task failed: ", e.what());
  }
  return nullptr;
}

// Creates the missing pools in the fixed order; g_poolsMutex held.
int createPoolsLocked() {
  if (g_globalPool == nullptr) {
    if (g_globalAllocator == nullptr &&
        apr_allocator_create(&g_globalAllocator) != APR_SUCCESS) {
      g_globalAllocator = nullptr;
    }
    if (g_globalAllocator == nullptr ||
        apr_pool_create_unmanaged_ex(&g_globalPool, nullptr, g_globalAllocator) != APR_SUCCESS ||
        g_globalPool == nullptr) {
      g_globalPool = nullptr;
      TLOG_DEBUG("global pool creation failed.");
      return -99;
    }
    apr_allocator_owner_set(g_globalAllocator, g_globalPool);
  }
  for (int i = 0; i < worker_pools_testing::kPoolCount; ++i) {
    if (g_pools[i].load() != nullptr) continue;
    apr_thread_pool_t* pool = nullptr;
    int expected = i;
    if (!g_failNext.compare_exchange_strong(expected, -1)) {
      if (apr_thread_pool_create(&pool, kPoolSpecs[i].initThreads, kPoolSpecs[i].maxThreads,
                                 g_globalPool) != APR_SUCCESS) {
        pool = nullptr;
      }
    }
    if (pool == nullptr) {
      TLOG_DEBUG(kPoolSpecs[i].failureMessage);
      return -99;
    }
    g_poolsCreated.fetch_add(1);
    g_pools[i].store(pool, std::memory_order_release);
  }
  return 0;
}

void cancelPool(Pool which) {
  apr_thread_pool_t* pool = g_pools[which].load();
  if (pool == nullptr) return;
  // Returns once the running tasks of the pool have ended.
  apr_thread_pool_tasks_cancel(pool, &g_ownerToken);
  std::vector<std::unique_ptr<TaskRecord>> dropped;
  {
    std::lock_guard<std::mutex> lock(g_taskMutex);
    for (auto it = g_tasks.begin(); it != g_tasks.end();) {
      if (it->second->pool == which) {
        dropped.push_back(std::move(it->second));
        it = g_tasks.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Released outside the registry lock: a dropped upload gives back its
  // pending count; a dropped finalize destroys its context here.
  for (auto& record : dropped) {
    if (record->pool == worker_pools_testing::kUpload && record->fc) record->fc->uploadFinished();
    record.reset();
  }
}

}  // namespace

int queuePrefetchTask(BlockInfoPtr block, FileContextPtr fc) {
  if (g_pools[worker_pools_testing::kDownload].load() == nullptr) return 0;
  auto record = std::make_unique<TaskRecord>();
  record->pool = worker_pools_testing::kDownload;
  record->block = std::move(block);
  record->fc = std::move(fc);
  return submit(std::move(record), -1);
}

int queueUploadTask(BlockInfoPtr block, FileContextPtr fc) {
  if (g_pools[worker_pools_testing::kUpload].load() == nullptr) return -1;
  auto record = std::make_unique<TaskRecord>();
  record->pool = worker_pools_testing::kUpload;
  record->block = std::move(block);
  record->fc = std::move(fc);
  return submit(std::move(record), -1);
}

int finalizeFileContext(FileContextPtr fc) {
  if (!fc) return 0;
  if (g_pools[worker_pools_testing::kFinalize].load() == nullptr) return 0;  // dropped here
  auto record = std::make_unique<TaskRecord>();
  record->pool = worker_pools_testing::kFinalize;
  record->fc = std::move(fc);
  return submit(std::move(record), g_finalizeDelay.load());
}

void setKeepAliveIntervalForTesting(int64_t microseconds) {
  g_keepAliveInterval.store(microseconds > 0 ? microseconds : KEEP_ALIVE_INTERVAL_US);
}

int contentInit(int, int) {
  if (globalInitialize() != 0) {
    TLOG_DEBUG("global pool creation failed.");
    return -99;
  }
  if (metaCacheInit() != 0) return -99;
  statCacheClear();
  clearOpenContents();
  std::lock_guard<std::mutex> lock(g_poolsMutex);
  const int rc = createPoolsLocked();
  if (rc != 0) return rc;
  const uint64_t generation = g_generation.fetch_add(1) + 1;
  g_mounted.store(true);
  scheduleKeepAlive(generation);
  startWaitingRetries();  // files left waiting by an earlier run go first
  return 0;
}

int cloud_exit(int status) {
  // A commit of a waiting file in flight ends first; the rest stays in the
  // journal for the next mount.
  stopWaitingRetries();
  if (status != 0) {
    raiseLocalError(service_code::kMountFailed);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_poolsMutex);
    g_mounted.store(false);
    g_generation.fetch_add(1);
    cancelPool(worker_pools_testing::kKeepAlive);
    cancelPool(worker_pools_testing::kFinalize);
    cancelPool(worker_pools_testing::kUpload);
    cancelPool(worker_pools_testing::kDownload);
  }
  LibraryState& st = state();
  if (st.sessionFromCaller) {
    st.sessionFromCaller = false;
    return 0;
  }
  return contentService().logout() != 0 ? -1 : 0;
}

namespace worker_pools_testing {
void failNextCreation(Pool pool) { g_failNext.store(pool); }
bool poolExists(Pool pool) { return g_pools[pool].load() != nullptr; }
int poolsCreated() { return g_poolsCreated.load(); }
int keepAliveRuns() { return g_keepAliveRuns.load(); }
size_t queuedTasks() {
  std::lock_guard<std::mutex> lock(g_taskMutex);
  return g_tasks.size();
}
void setFinalizeDelayForTesting(int64_t microseconds) {
  g_finalizeDelay.store(microseconds >= 0 ? microseconds : FINALIZE_DELAY_US);
}
}  // namespace worker_pools_testing

}  // namespace tarvik
