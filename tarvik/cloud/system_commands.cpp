// The system folder's commands: the command file's writes and the two move
// targets. No state of its own; every action is one service call.
#include "cloud/system_commands.h"

#include <cstring>

#include "cache/meta_cache.h"
#include "cache/stat_cache.h"
#include "core/service_codes.h"
#include "log/log.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"
#include "webapi/service_status.h"

namespace tarvik {

const char* const kSystemCommandFile = "/__system__/__cmd__";
const char* const kSystemRestoreTarget = "/__system__/__restore__";
const char* const kSystemRemoveTarget = "/__system__/__remove__";

namespace {

// Restore needs the item's "originalPath" from the service.
int restoreFromTrash(const std::string& fromService) {
  JsonPtr detail = api::getResourceDetail(fromService);
  if (isErrorResult(detail)) {
    // The service's message has reached the user; the move itself "succeeds"
    // so the client does not report a second, misleading failure.
    return 0;
  }
  JsonPtr original = detail->member("originalPath");
  if (!original->isString() || original->text().empty()) {
    raiseLocalError(service_code::kNoOriginalPath);
    return -DECAS_EACCES;
  }
  JsonPtr moved = api::moveResource(fromService, original->text(), false);
  if (isErrorResult(moved)) {
    raiseLocalError(service_code::kRestoreFailed);
    return -DECAS_EACCES;
  }
  removeMetaCache(fromService);
  return 0;
}

int removePermanently(const std::string& fromService) {
  JsonPtr removed = api::removeResource(fromService);
  if (isErrorResult(removed)) return mapServiceError(errorCode(removed));
  removeMetaCache(fromService);
  return 0;
}

}  // namespace

std::string systemCommandName(const char* buf, size_t len) {
  if (!buf) return std::string();
  const void* nul = std::memchr(buf, '\0', len);
  size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - buf) : len;
  const void* tab = std::memchr(buf, '\t', end);
  size_t nameEnd = tab ? static_cast<size_t>(static_cast<const char*>(tab) - buf) : end;
  return std::string(buf, nameEnd);
}

int systemCommandWrite(const char* buf, size_t len) {
  std::string name = systemCommandName(buf, len);
  if (name == "emptyTrash") {
    TLOG_DEBUG(">system command: emptyTrash");
    statCacheClear();
    api::emptyTrash();  // a failure has already been reported to the user
    statCacheClear();
  }
  return static_cast<int>(len);
}

int systemRename(PathKind fromKind, const std::string& fromService, const std::string& to) {
  bool restore = to == kSystemRestoreTarget;
  bool remove = to == kSystemRemoveTarget;
  if (!restore && !remove) return 0;  // any other system name: accepted, no effect
  // The drive root, an area folder or an item of the system folder is never a
  // service item that can be restored or deleted.
  if (isAreaRoot(fromKind) || isSystem(fromKind)) return -DECAS_EACCES;
  // A restore changes a place elsewhere on the drive: nothing cached of
  // names is kept across these rare commands.
  statCacheClear();
  const int r = restore ? restoreFromTrash(fromService) : removePermanently(fromService);
  statCacheClear();
  return r;
}

}  // namespace tarvik
