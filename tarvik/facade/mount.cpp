// Sign-in, mount and unmount, and the session exports.
//
// The mount exports run on the caller's thread and never overlap. An
// unmount can also be asked for by the library itself (service error 1)
// on a filesystem or worker-pool thread; removing the drive from there would
// wait for the very thread that asks, so such a request is carried out on a
// thread of its own.
#include <cstring>
#include <mutex>
#include <thread>

#include "facade/library_state.h"
#include "fs/cloud_table.h"
#include "fs/decas.h"
#include "log/log.h"
#include "tarvik.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

std::mutex g_mountMutex;        // serialises the removal of the drive
bool g_mounted = false;         // guarded by g_mountMutex
std::thread::id g_callerThread; // the thread that mounted

void copyBounded(char* out, size_t size, const std::string& value) {
  if (out == nullptr || size == 0) return;
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

std::string orEmpty(const char* s) { return s != nullptr ? s : ""; }

// Starts the frame with the cloud side's operations; see decas_main.
int filesystemStart(const char* mountPoint, MountType type, bool debug, bool blocking) {
  decas_setTableFiller(cloud_fillOperationTable);
  {
    std::lock_guard<std::mutex> lock(g_mountMutex);
    g_callerThread = std::this_thread::get_id();
    g_mounted = true;
  }
  const int rc = decas_main(orEmpty(mountPoint), type, debug, blocking);
  if (rc != 0 || blocking) {
    std::lock_guard<std::mutex> lock(g_mountMutex);
    g_mounted = false;
  }
  return rc;
}

int removeDrive() {
  std::lock_guard<std::mutex> lock(g_mountMutex);
  if (!g_mounted) return -1;
  const int rc = decas_exit();
  if (rc == 0) g_mounted = false;
  return rc;
}

}  // namespace
}  // namespace tarvik

using namespace tarvik;

extern "C" {

int tarvik_mount(const char* mountPoint, const char* corpId, const char* userId,
                 const char* password, MountType type, bool blocking) {
  if (isErrorResult(api::pretestLogin(orEmpty(corpId)))) return -1;
  if (isErrorResult(api::login(orEmpty(corpId), orEmpty(userId), orEmpty(password)))) return -1;
  return filesystemStart(mountPoint, type, false, blocking);
}

int tarvik_mountForSession(const char* mountPoint, const char* corpId, const char* userId,
                           const char* jsessionid, const char* arrayid, MountType type,
                           bool blocking) {
  LibraryState& st = state();
  st.sessionFromCaller = true;
  st.corpId = orEmpty(corpId);
  st.userId = orEmpty(userId);
  st.jsessionid = orEmpty(jsessionid);
  st.arrayid = orEmpty(arrayid);
  return filesystemStart(mountPoint, type, false, blocking);
}

int tarvik_unmount(void) {
  bool fromCaller;
  {
    std::lock_guard<std::mutex> lock(g_mountMutex);
    if (!g_mounted) return -1;  // nothing mounted: Dokan is not asked
    fromCaller = std::this_thread::get_id() == g_callerThread;
  }
  if (fromCaller) return removeDrive();
  TLOG_DEBUG("unmount requested by the library; removing the drive in the background");
  std::thread([] { removeDrive(); }).detach();
  return 0;
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
