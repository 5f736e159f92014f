// Sign-in, mount and unmount, and the session exports.
//
// The mount exports run on the caller's thread and never overlap. The drive
// is removed by tarvik_unmount, or by the library itself when the service
// says the session ended (error code 1, reported on any library thread,
// the unmount's own teardown included: its logout answers so once the
// session has expired). Removing the drive waits for the mount thread and
// its teardown, so the library never removes it on the thread that asks:
// the request is carried out on a removal thread of its own, and a request
// made while a removal is already under way is dropped. tarvik_unmount
// joins that thread, so no thread of the library is left running after it
// returns (a program may end right after it).
//
// Locks, outermost first: g_mountMutex (held for a whole removal, across the
// wait for the mount thread); g_removalMutex (the removal thread's handle;
// never held while waiting for g_mountMutex).
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "cloud/cloud_table.h"
#include "core/library_state.h"
#include "drive/decas_frame.h"
#include "facade/caller_buffer.h"
#include "facade/session_end.h"
#include "log/log.h"
#include "tarvik.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

std::mutex g_mountMutex;  // serialises the removal of the drive
// Written under g_mountMutex; read without it by requests that must not
// wait for a removal under way.
std::atomic<bool> g_mounted{false};
std::atomic<std::thread::id> g_callerThread{};  // the thread that mounted
std::atomic<bool> g_removing{false};            // a removal holds g_mountMutex

std::mutex g_removalMutex;  // guards g_removalThread
// The library's own removal, joined by tarvik_unmount and the next mount.
// Never destroyed: a program that never calls tarvik_unmount after the
// library removed the drive must not be aborted at exit by a joinable
// thread object.
std::thread& g_removalThread = *new std::thread();
std::atomic<bool> g_removalDone{true};

std::string orEmpty(const char* s) { return s != nullptr ? s : ""; }

int removeDrive() {
  std::lock_guard<std::mutex> lock(g_mountMutex);
  if (!g_mounted.load()) return -1;  // nothing mounted: Dokan is not asked
  g_removing.store(true);
  const int rc = decas_exit();
  if (rc == 0) g_mounted.store(false);
  g_removing.store(false);
  return rc;
}

// Waits for the removal thread, if any. Never called on it. The handle is
// taken out under the lock and joined outside it: a library thread that
// asks for a removal meanwhile must not wait for this join, since the
// removal may wait for that thread.
void joinRemovalThread() {
  std::thread removal;
  {
    std::lock_guard<std::mutex> lock(g_removalMutex);
    removal = std::move(g_removalThread);
  }
  if (removal.joinable()) removal.join();
}

// Removes the drive on the removal thread; returns at once. One removal at
// a time: while one is under way a further request is dropped, since it
// would only find the drive gone.
void requestRemoval() {
  if (g_removing.load()) return;  // e.g. the logout of the running removal's teardown
  std::lock_guard<std::mutex> lock(g_removalMutex);
  if (!g_removalDone.load()) return;
  if (g_removalThread.joinable()) g_removalThread.join();  // has ended
  TLOG_DEBUG("unmount requested by the library; removing the drive in the background");
  g_removalDone.store(false);
  g_removalThread = std::thread([] {
    removeDrive();
    g_removalDone.store(true);
  });
}

// What the request envelope does when the service says the session ended.
int onSessionEnded() {
  if (!g_mounted.load()) return 0;  // registered at init: before a mount there is nothing to remove
  requestRemoval();
  return 0;
}

}  // namespace

void registerSessionEndedAction() { setUnmountFunction(&onSessionEnded); }

namespace {

// Starts the frame with the cloud side's operations; see decas_main.
int filesystemStart(const char* mountPoint, MountType type, bool debug, bool blocking) {
  joinRemovalThread();  // the previous drive is gone before the next one comes
  registerSessionEndedAction();
  decas_setTableFiller(cloud_fillOperationTable);
  {
    std::lock_guard<std::mutex> lock(g_mountMutex);
    g_callerThread.store(std::this_thread::get_id());
    g_mounted.store(true);
  }
  const int rc = decas_main(orEmpty(mountPoint), type, debug, blocking);
  if (rc != 0 || blocking) {
    std::lock_guard<std::mutex> lock(g_mountMutex);
    g_mounted.store(false);
  }
  return rc;
}

}  // namespace
}  // namespace tarvik

using namespace tarvik;

extern "C" {

int tarvik_mount(const char* mountPoint, const char* corpId, const char* userId,
                 const char* password, MountType type, bool blocking) {
  // The service would only refuse an empty password after a round trip and
  // a worded error; the caller asks the user for one instead.
  if (password == nullptr || *password == '\0') return TARVIK_STATUS_NO_PASSWORD;
  // A removal the library started on its own still logs out the old session
  // at its end; it must be over before a new session is signed in, or that
  // logout would end the new one.
  joinRemovalThread();
  if (isErrorResult(api::pretestLogin(orEmpty(corpId)))) return -1;
  if (isErrorResult(api::login(orEmpty(corpId), orEmpty(userId), orEmpty(password)))) return -1;
  return filesystemStart(mountPoint, type, false, blocking);
}

int tarvik_mountForSession(const char* mountPoint, const char* corpId, const char* userId,
                           const char* jsessionid, const char* arrayid, MountType type,
                           bool blocking) {
  joinRemovalThread();  // the old session's teardown reads these values
  LibraryState& st = state();
  st.sessionFromCaller = true;
  st.corpId = orEmpty(corpId);
  st.userId = orEmpty(userId);
  st.jsessionid = orEmpty(jsessionid);
  st.arrayid = orEmpty(arrayid);
  return filesystemStart(mountPoint, type, false, blocking);
}

int tarvik_unmount(void) {
  if (std::this_thread::get_id() != g_callerThread.load()) {
    // Another thread, possibly one the removal waits for (a status callback
    // on a filesystem or worker thread): remove in the background.
    if (!g_mounted.load()) return -1;
    requestRemoval();
    return 0;
  }
  const int rc = removeDrive();
  // A removal the library started on its own (session ended) has ended or
  // ends now: nothing of it outlives this call.
  joinRemovalThread();
  return rc;
}

int tarvik_getPKIInfo(char* corpId, char* userId, bool* requiredPassword) {
  JsonPtr r = api::getPKIInfo();
  if (isErrorResult(r)) return -1;
  copyBounded(corpId, TARVIK_CORPID_SIZE, r->member("corpId")->text());
  copyBounded(userId, TARVIK_USERID_SIZE, r->member("userId")->text());
  if (requiredPassword != nullptr) *requiredPassword = r->member("requiredPassword")->boolean();
  return 0;
}

int tarvik_getAnnouncement(bool force, char* text, int64_t* modified) {
  JsonPtr r = api::getAnnouncement(force);
  if (isErrorResult(r)) return -1;
  copyBounded(text, TARVIK_ANNOUNCEMENT_SIZE, utf8ToLocal(r->member("announcement")->text()));
  if (modified != nullptr) *modified = static_cast<int64_t>(r->member("modified")->number());
  return 0;
}

int tarvik_markReadCurrentAnnouncement(void) {
  return isErrorResult(api::markReadCurrentAnnouncement()) ? -1 : 0;
}

}  // extern "C"
