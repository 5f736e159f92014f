// The decas operation frame (see decas_frame.h).
//
// Owns the operation table and the open-file set (together the "kernel",
// created by init in decas_main and destroyed by exit(0)), the Dokan options
// and operations of the mount, and the mount thread. Entry functions run on
// Dokan's worker threads; the table is written once before Dokan starts and
// only read afterwards. The open-file set has its own mutex; busy counters
// are atomic. Close, closedir and exit wait for a handle's busy counter by
// polling, so no operation of a handle is still running when it is closed.
#include "drive/decas_frame.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "core/scoped_lock.h"
#include "dokan.h"
#include "drive/dokan_adapter.h"
#include "drive/dokan_trace.h"
#include "drive/path_convert.h"
#include "log/log.h"
#include "process_image.h"

namespace tarvik {

namespace {

constexpr int kMountAttempts = 15;  // DokanMain is retried while the driver is not ready
constexpr uint16_t kDokanVersion = 130;
constexpr uint16_t kDokanThreads = 5;
constexpr unsigned long kDokanTimeoutMs = 300000;

struct Kernel {
  OperationTable table{};
  std::mutex openMutex;  // guards openFiles
  std::unordered_set<DecasHandle*> openFiles;
};

std::atomic<TableFiller> gFiller{nullptr};
std::atomic<Kernel*> gKernel{nullptr};
std::atomic<int> gWaitUnitMs{1000};

// Mount state: written by decas_main and decas_exit on the caller's thread.
//
// Lock order of the mount, outermost first:
//   the facade's g_mountMutex (facade/mount.cpp; held across decas_exit)
//   gMountMutex (held while the mount thread is joined)
//   a kernel's openMutex (held by the exit entry while it closes the open
//     files through the table, so below it come the cloud side's locks)
// The mount thread never takes gMountMutex, so joining it under the lock
// cannot wait on itself; what its teardown reports (a session that ended)
// only asks for a removal on a thread of its own and never waits for the
// facade's lock (facade/mount.cpp).
std::mutex gMountMutex;
// Never destroyed: a drive removed from outside leaves the thread joinable
// until the next mount, and the process may end before that.
std::thread& gMountThread = *new std::thread();
std::atomic<bool> gMountRunning{false};  // the mount thread body has not returned
// The drive's loop has ended: the mount thread only finishes (the teardown
// of exit, or the report of a failed start) and then returns by itself.
std::atomic<bool> gMountEnding{false};
constexpr int kEndingWaitMs = 3000;  // an outside unmount reaches the loop at once
// How long an unmount commits files still open; the rest is kept for later.
std::atomic<int> gUnmountUploadWaitMs{30 * 1000};
using SteadyClock = std::chrono::steady_clock;
// While an unmount is under way: when its wait for commits ends (in steady
// clock ticks); the largest value otherwise.
std::atomic<SteadyClock::rep> gKeepAfter{SteadyClock::duration::max().count()};

void startUnmountWait() {
  const SteadyClock::rep none = SteadyClock::duration::max().count();
  SteadyClock::rep expected = none;
  const auto end = SteadyClock::now() + std::chrono::milliseconds(gUnmountUploadWaitMs.load());
  gKeepAfter.compare_exchange_strong(expected, end.time_since_epoch().count());
}

// A flush during an unmount whose wait is over keeps the content for the
// next mount instead of committing it.
void keepIfUnmountWaitIsOver(DecasHandle* h) {
  if (SteadyClock::now().time_since_epoch().count() >= gKeepAfter.load())
    h->state |= HANDLE_KEEP_FOR_LATER;
}
std::u16string gMountPoint;
DOKAN_OPTIONS gOptions;
DOKAN_OPERATIONS gOperations;

const OperationTable* Table() {
  Kernel* k = gKernel.load();
  return k ? &k->table : nullptr;
}

unsigned long long Id(const DecasHandle* h) {
  return h ? log::identity(h->fileContext.get()) : 0;
}

void SleepUnit() { std::this_thread::sleep_for(std::chrono::milliseconds(gWaitUnitMs.load())); }

void WaitForCounter(const char* path, DecasHandle* h) {
  while (h->busy.load() != 0) {
    TLOG_DEBUG("waiting for counter \t: ", path, "@", Id(h));
    SleepUnit();
  }
}

// Keeps a handle's busy counter raised for the duration of one operation.
class Busy {
 public:
  explicit Busy(DecasHandle* h) : h_(h) {
    if (h_) h_->busy.fetch_add(1);
  }
  ~Busy() {
    if (h_) h_->busy.fetch_sub(1);
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  DecasHandle* h_;
};

// An empty slot (other than copy) is a broken table; answer "invalid function".
constexpr int kNoSlot = -1;

void MountThreadBody() {
  DOKAN_TRACE("dokan mount\n");
  int result = 0;
  for (int attempt = 1; attempt <= kMountAttempts; ++attempt) {
    if (attempt > 1) {
      DOKAN_TRACE("waiting for mount#%d,%d\n", result, attempt);
      SleepUnit();
    }
    result = DokanMain(&gOptions, &gOperations);
    if (result != DOKAN_DRIVER_INSTALL_ERROR) break;
  }
  gMountEnding.store(true);
  DOKAN_TRACE("dokan finished #%d\n", result);
  if (result != 0) {
    DOKAN_TRACE("!mount fail: %d\n", result);
    decas_exitEntry(result);
  }
  gMountRunning.store(false);
}

}  // namespace

void decas_setTableFiller(TableFiller filler) { gFiller.store(filler); }

size_t decas_openFileCount() {
  Kernel* k = gKernel.load();
  if (!k) return 0;
  ScopedLock lock(k->openMutex);
  return k->openFiles.size();
}

void decas_renameOpenHandles(const std::string& from, const std::string& to) {
  Kernel* k = gKernel.load();
  if (!k) return;
  ScopedLock lock(k->openMutex);
  for (DecasHandle* h : k->openFiles) {
    const std::string p = h->path();
    if (p.compare(0, from.size(), from) != 0) continue;
    if (p.size() != from.size() && p[from.size()] != '/') continue;
    h->setPath(to + p.substr(from.size()));
  }
}

namespace decas_testing {
void setWaitUnitMilliseconds(int ms) { gWaitUnitMs.store(ms); }
void setUnmountUploadWaitMilliseconds(int ms) { gUnmountUploadWaitMs.store(ms); }
}  // namespace decas_testing

// --- entry functions -------------------------------------------------------

namespace {

// Whether a slot's handle counts as busy while the slot runs (close and
// exit wait for the count to fall to zero).
enum class Busying { kNo, kYes };

// Runs one slot of the table and logs "<name>-out" with its result (and the
// handle's identity when there is a handle). An empty slot, or no table,
// answers kNoSlot.
template <class Slot, class... Args>
int RunSlot(const char* name, Slot OperationTable::*slot, DecasHandle* h, Busying busying,
            Args... args) {
  const OperationTable* t = Table();
  int r;
  {
    Busy busy(busying == Busying::kYes ? h : nullptr);
    r = t && t->*slot ? (t->*slot)(args...) : kNoSlot;
  }
  if (h != nullptr) {
    TLOG_DEBUG(name, "-out\t: ", r, "@", Id(h));
  } else {
    TLOG_DEBUG(name, "-out\t: ", r);
  }
  return r;
}

}  // namespace

int decas_access(const char* path, int mode) {
  TLOG_DEBUG("access-in \t: ", path);
  return RunSlot("access", &OperationTable::access, nullptr, Busying::kNo, path, mode);
}

int decas_stat(const char* path, StatRecord* out) {
  TLOG_DEBUG("stat-in \t: ", path);
  return RunSlot("stat", &OperationTable::stat, nullptr, Busying::kNo, path, out);
}

int decas_mkdir(const char* path) {
  TLOG_DEBUG("mkdir-in \t: ", path);
  return RunSlot("mkdir", &OperationTable::mkdir, nullptr, Busying::kNo, path);
}

int decas_rmdir(const char* path, bool toTrash) {
  TLOG_DEBUG("rmdir-in \t: ", path);
  return RunSlot("rmdir", &OperationTable::rmdir, nullptr, Busying::kNo, path, toTrash);
}

int decas_remove(const char* path, bool toTrash) {
  TLOG_DEBUG("remove-in \t: ", path);
  return RunSlot("remove", &OperationTable::remove, nullptr, Busying::kNo, path, toTrash);
}

int decas_rename(const char* from, const char* to, bool overwrite) {
  TLOG_DEBUG("rename-in \t: ", from, " -> ", to);
  return RunSlot("rename", &OperationTable::rename, nullptr, Busying::kNo, from, to, overwrite);
}

int decas_open(const char* path, DecasHandle* h) {
  TLOG_DEBUG("open-in \t: ", path);
  Kernel* k = gKernel.load();
  int r = k && k->table.open ? k->table.open(path, h) : kNoSlot;
  if (r >= 0) {
    ScopedLock lock(k->openMutex);
    k->openFiles.insert(h);
    TLOG_DEBUG(">openfis size = ", k->openFiles.size());
  }
  TLOG_DEBUG("open-out\t: ", r, "@", Id(h));
  return r;
}

int decas_fstat(const char* path, StatRecord* out, DecasHandle* h) {
  TLOG_DEBUG("fstat-in \t: ", path, "@", Id(h));
  return RunSlot("fstat", &OperationTable::fstat, h, Busying::kYes, path, out, h);
}

int decas_ftruncate(const char* path, int64_t size, DecasHandle* h) {
  TLOG_DEBUG("ftruncate-in \t: ", path, "(", size, ")", "@", Id(h));
  return RunSlot("ftruncate", &OperationTable::ftruncate, h, Busying::kYes, path, size, h);
}

int decas_read(const char* path, char* buf, size_t len, int64_t off, bool sync, DecasHandle* h) {
  TLOG_DEBUG("read-in \t: ", path, "(size = ", len, ", off = ", off, ", sync = ", sync, ")", "@",
             Id(h));
  return RunSlot("read", &OperationTable::read, h, Busying::kYes, path, buf, len, off, sync, h);
}

int decas_write(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                DecasHandle* h) {
  TLOG_DEBUG("write-in \t: ", path, "(size = ", len, ", off = ", off, ", sync = ", sync, ")",
             "@", Id(h));
  return RunSlot("write", &OperationTable::write, h, Busying::kYes, path, buf, len, off, sync, h);
}

int decas_flush(const char* path, DecasHandle* h) {
  TLOG_DEBUG("flush-in \t: ", path, "@", Id(h));
  keepIfUnmountWaitIsOver(h);
  return RunSlot("flush", &OperationTable::flush, h, Busying::kYes, path, h);
}

int decas_close(const char* path, DecasHandle* h) {
  TLOG_DEBUG("close-in \t: ", path, "@", Id(h));
  Kernel* k = gKernel.load();
  bool wasOpen = false;
  if (k) {
    ScopedLock lock(k->openMutex);
    wasOpen = k->openFiles.erase(h) > 0;
  }
  int r = 0;
  if (wasOpen) {
    WaitForCounter(path, h);
    r = k->table.close ? k->table.close(path, h) : kNoSlot;
  } else {
    TLOG_DEBUG(">already closed");
  }
  TLOG_DEBUG("close-out\t: ", r, "@", Id(h));
  return r;
}

int decas_opendir(const char* path, DecasHandle* h) {
  TLOG_DEBUG("opendir-in \t: ", path);
  return RunSlot("opendir", &OperationTable::opendir, h, Busying::kNo, path, h);
}

int decas_readdir(const char* path, DirFiller filler, int a, int b, DecasHandle* h) {
  TLOG_DEBUG("readdir-in \t: ", path, "@", Id(h));
  return RunSlot("readdir", &OperationTable::readdir, h, Busying::kYes, path, filler, a, b, h);
}

int decas_closedir(const char* path, DecasHandle* h) {
  TLOG_DEBUG("closedir-in \t: ", path, "@", Id(h));
  WaitForCounter(path, h);
  return RunSlot("closedir", &OperationTable::closedir, h, Busying::kNo, path, h);
}

int decas_statfs(int64_t* capacity, int64_t* free) {
  TLOG_DEBUG("statfs-in \t: ");
  const OperationTable* t = Table();
  int r = t && t->statfs ? t->statfs(capacity, free) : kNoSlot;
  TLOG_DEBUG("statfs-out\t: capa = ", *capacity, ", free = ", *free);
  return r;
}

int decas_copy(const char* src, const char* dst) {
  TLOG_DEBUG("copy-in \t: ");
  const OperationTable* t = Table();
  int r;
  if (!t || !t->copy) {
    TLOG_DEBUG("copy is not implementation");
    r = -1;
  } else {
    r = t->copy(src, dst);
  }
  TLOG_DEBUG("copy-out\t: ", r);
  return r;
}

int decas_exitEntry(int status) {
  gMountEnding.store(true);
  Kernel* k = gKernel.load();
  if (!k) return 0;
  if (status == 0) {
    startUnmountWait();  // an unmount from outside starts it here
    ScopedLock lock(k->openMutex);
    for (auto it = k->openFiles.begin(); it != k->openFiles.end();) {
      DecasHandle* h = *it;
      const std::string pathText = h->path();
      const char* path = pathText.c_str();
      TLOG_DEBUG("exclose-in \t: ", path, "@", Id(h));
      WaitForCounter(path, h);
      // Data written through a handle still open at unmount is flushed
      // first, so the unmount loses nothing; once the wait is over, it is
      // kept on this computer and committed by the next mount.
      keepIfUnmountWaitIsOver(h);
      if ((h->openFlags & OPEN_WRITE) && k->table.flush) {
        int f = k->table.flush(path, h);
        TLOG_DEBUG("exflush\t: ", f, "@", Id(h));
      }
      int r = k->table.close ? k->table.close(path, h) : kNoSlot;
      TLOG_DEBUG("exclose-out\t: ", r, "@", Id(h));
      it = k->openFiles.erase(it);
    }
  }
  TLOG_DEBUG("exit-in \t: status = ", status);
  int r = k->table.exit ? k->table.exit(status) : 0;
  TLOG_DEBUG("exit-out\t: ", r);
  if (status == 0) delete gKernel.exchange(nullptr);
  return r;
}

// --- mount ------------------------------------------------------------------

int decas_main(const std::string& mountPoint, uint32_t options, bool debug, bool blocking) {
  TableFiller filler = gFiller.load();
  if (!filler) {
    TLOG_ERROR("decas_main: no operation table filler registered");
    return -99;
  }
  // The cloud side reports its renames; open handles follow them.
  setRenameListener(&decas_renameOpenHandles);
  std::unique_lock<std::mutex> mountLock(gMountMutex);
  if (gMountThread.joinable() && !gMountRunning.load()) gMountThread.join();  // a failed mount
  if (gMountThread.joinable()) {
    TLOG_ERROR("decas_main: a mount is already running");
    return -1;
  }
  if (debug && log::isEnabled()) {
    DOKAN_TRACE("Process List = ");
    for (const std::string& image : dokan::RunningProcessImages()) DOKAN_TRACE("%s", image.c_str());
  }
  DOKAN_TRACE("decas_main type=%d, debug=%d, blocking=%d\n", options, debug, blocking);

  // Init: the kernel (table and open-file set), then the cloud side's init.
  // A kernel kept after a failed mount is replaced.
  delete gKernel.exchange(nullptr);
  auto kernel = std::make_unique<Kernel>();
  filler(&kernel->table);
  gKernel.store(kernel.release());
  const OperationTable* t = Table();
  TLOG_DEBUG("init-in \t: ");
  int r = t->init ? t->init(0, 0) : 0;
  TLOG_DEBUG("init-out\t: ", r);
  if (r != 0) return r;

  gMountPoint = toWindowsPath(mountPoint);
  std::string shown;
  fromWindowsPath(gMountPoint, shown);
  DOKAN_TRACE("decas_main mount point=%s\n", shown.c_str());

  gOptions = DOKAN_OPTIONS{};
  gOptions.Version = kDokanVersion;
  gOptions.ThreadCount = kDokanThreads;
  gOptions.Options = options | (debug ? (DOKAN_OPTION_DEBUG | DOKAN_OPTION_STDERR) : 0);
  gOptions.GlobalContext = 0;
  gOptions.MountPoint = gMountPoint.c_str();
  gOptions.UNCName = nullptr;
  gOptions.Timeout = kDokanTimeoutMs;
  DOKAN_TRACE("decas_main thread count=%d, timeout=%ld, options=0x%x\n", gOptions.ThreadCount,
              static_cast<long>(gOptions.Timeout), gOptions.Options);
  fillDokanOperations(&gOperations);

  gMountRunning.store(true);
  gMountEnding.store(false);
  gKeepAfter.store(SteadyClock::duration::max().count());
  if (blocking) {
    mountLock.unlock();
    MountThreadBody();
  } else {
    gMountThread = std::thread(MountThreadBody);
  }
  return 0;
}

int decas_exit() {
  DOKAN_TRACE("decas_exit called\n");
  std::lock_guard<std::mutex> mountLock(gMountMutex);
  // The mount thread itself (a status callback of its teardown) cannot wait
  // for itself; it is ending anyway.
  const bool onMountThread = gMountThread.get_id() == std::this_thread::get_id();
  startUnmountWait();
  BOOL res = DokanRemoveMountPoint(gMountPoint.c_str());
  DOKAN_TRACE("decas_exit res=%d\n", res);
  if (res) {
    if (gMountThread.joinable() && !onMountThread) gMountThread.join();
    return 0;
  }
  DOKAN_TRACE("dokan remove error\n");
  // A drive removed from outside (fusermount3 -u) ends its mount thread by
  // itself, through the teardown that closes the open files and logs out.
  // Wait for it: the caller may end the process next, and a thread cut off
  // inside a request crashes the process's exit handlers. A drive that is
  // still served (removal refused) is not waited for.
  if (gMountThread.joinable() && !onMountThread) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndingWaitMs);
    while (gMountRunning.load() && !gMountEnding.load() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!gMountRunning.load() || gMountEnding.load()) gMountThread.join();
  }
  // A drive still served commits as before.
  if (gMountRunning.load() && !gMountEnding.load())
    gKeepAfter.store(SteadyClock::duration::max().count());
  return -1;
}

// --- status translation -------------------------------------------------------

int statusToWin32(int code) {
  int win32;
  switch (code) {
    case 0:
      DOKAN_TRACE("###APR to OS error : %d -> %d\n", code, 0);
      return 0;
    case 2: case 720002: case 720003: case 720018: case 720110:
      return 2;
    case 13: case 720005: case 720016: case 720032: case 720033: case 720065: case 720082:
    case 720083: case 720108: case 720158: case 720167:
      return 5;
    case 17: case 720080: case 720183:
      return 183;
    case 20: return 267;
    case 22: return 123;
    case 28: return 112;
    case DECAS_STATUS_RESOURCE_LOCKED: return 32;
    case -1: case 1: return 1;
    default:
      // Operating-system errors carry their Win32 code above 720000; any other
      // code would turn into a negative number, so it reads "invalid function".
      win32 = code > DECAS_OS_ERROR_BASE ? code - DECAS_OS_ERROR_BASE : 1;
      DOKAN_TRACE("###APR to OS error : %d -> %d\n", code, win32);
      return win32;
  }
}

}  // namespace tarvik
