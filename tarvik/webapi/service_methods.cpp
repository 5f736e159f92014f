// The service's methods: names, parameters in their fixed order and form.
#include "webapi/service_methods.h"

#include <unistd.h>

#include "core/library_state.h"
#include "core/service_codes.h"
#include "log/log.h"
#include "webapi/block_id.h"

namespace tarvik::api {

namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

// Every method says whether it may be sent again after a connection lost
// under it: reads and token requests may; so may uploadBlock, since a block
// is stored under the id of its content, and so may uploadFile, since a
// commit of the same block list again leaves the same content. Sign-in and
// sign-out, moves, copies, deletes and locks go once: the service may have
// carried them out before the connection dropped, and a second run would
// fail or act twice.
constexpr Repeat kSafe = Repeat::kSafe;
constexpr Repeat kOnce = Repeat::kOnce;

// G: GET without body.
JsonPtr get(const char* method, Repeat repeat) {
  return callService(method, {}, false, nullptr, repeat);
}
// U: POST with an URL-encoded body.
JsonPtr post(const char* method, Repeat repeat, std::vector<RequestParam> params,
             ErrorHandler handler = nullptr) {
  return callService(method, params, false, handler, repeat);
}
// M: POST with a multipart form.
JsonPtr multipart(const char* method, Repeat repeat, std::vector<RequestParam> params,
                  ErrorHandler handler = nullptr) {
  return callService(method, params, true, handler, repeat);
}

}  // namespace

JsonPtr getErrorMessages() { return get("getErrorMessages", kSafe); }

JsonPtr getPKIInfo() { return get("getPKIInfo", kSafe); }

JsonPtr pretestLogin(const std::string& corpId) {
  JsonPtr result = post("pretestLogin", kSafe, {{"corpId", corpId}});
  if (!isErrorResult(result)) state().arrayid = result->member("arrayid")->text();
  return result;
}

JsonPtr login(const std::string& corpId, const std::string& userId, const std::string& password) {
  JsonPtr result = post("login", kOnce,
                        {{"corpId", corpId},
                         {"userId", userId},
                         {"!password", password},
                         {"pki", boolText(state().certificate != nullptr)}});
  if (!isErrorResult(result)) {
    LibraryState& st = state();
    st.corpId = corpId;
    st.userId = userId;
    st.jsessionid = result->member("jsessionid")->text();
  }
  return result;
}

JsonPtr logout() { return get("logout", kOnce); }

JsonPtr keepSession() { return get("keepSession", kSafe); }

JsonPtr getAnnouncement(bool force) {
  return post("getAnnouncement", kSafe, {{"force", boolText(force)}});
}

JsonPtr markReadCurrentAnnouncement() { return get("markReadCurrentAnnouncement", kOnce); }

JsonPtr getLoginUserInfo() { return get("getLoginUserInfo", kSafe); }

JsonPtr getEntries(const std::string& path) { return post("getEntries", kSafe, {{"path", path}}); }

JsonPtr getSharedEntries() { return get("getSharedEntries", kSafe); }

JsonPtr checkPermission(const std::string& path, int op) {
  return post("checkPermission", kSafe,
              {{"path", path}, {"op", std::to_string(static_cast<long>(op))}});
}

JsonPtr getResourceDetail(const std::string& path, ErrorHandler handler) {
  return post("getResourceDetail", kSafe, {{"path", path}, {"lite", "true"}}, handler);
}

JsonPtr makeDirectory(const std::string& path) {
  return post("makeDirectory", kOnce, {{"path", path}, {"memo", ""}});
}

JsonPtr moveResource(const std::string& src, const std::string& dst, bool overwrite) {
  return post(
      "moveResource", kOnce,
      {{"srcPath", src}, {"dstPath", dst}, {"force", "true"}, {"overwrite", boolText(overwrite)}});
}

JsonPtr moveToTrash(const std::string& path) {
  return post("moveToTrash", kOnce, {{"path", path}});
}

JsonPtr removeResource(const std::string& path) {
  return post("removeResource", kOnce, {{"path", path}});
}

JsonPtr lockResource(const std::string& path, int processId) {
  JsonPtr result = post(
      "lockResource", kOnce,
      {{"path", path}, {"type", "2"}, {"processId", std::to_string(static_cast<long>(processId))}});
  TLOG_DEBUG("lockResource result=", result->serialize());
  return result;
}

JsonPtr unlockResource(const std::string& path, ErrorHandler handler) {
  return post("unlockResource", kOnce, {{"path", path}}, handler);
}

JsonPtr pretestDownloadFile(const std::string& path) {
  return post("pretestDownloadFile", kSafe, {{"path", path}});
}

int downloadBlock(const std::string& token, const std::string& blockId,
                  const std::string& destination) {
  int64_t bytes = 0;
  std::string digest;
  const int rc = downloadToFile("downloadBlock", {{"token", token}, {"blockId", blockId}}, false,
                                destination, &bytes, &digest, kSafe);
  if (rc != 0) {
    // Whatever arrived is not the block; leave nothing that could be taken
    // for it.
    ::unlink(destination.c_str());
    return rc;
  }
  const std::string arrived = digest + "#" + std::to_string(bytes);
  if (arrived != blockId) {
    TLOG_WARN("download block error: expected ", blockId, " but was ", arrived);
    ::unlink(destination.c_str());
    return -1;
  }
  return 0;
}

JsonPtr pretestUploadFile(const std::string& path) {
  return post("pretestUploadFile", kSafe, {{"path", path}, {"force", "true"}});
}

JsonPtr uploadBlock(const std::string& token, const std::string& blockId,
                    const std::string& blockFilePath, ErrorHandler handler) {
  return multipart("uploadBlock", kSafe,
                   {{"token", token}, {"blockId", blockId}, {"@filedata", blockFilePath}},
                   handler);
}

std::string blockIdsText(const std::vector<std::string>& blockIds) {
  // "[ " then each id quoted and followed by ","; the last character then
  // becomes "]": [ "a","b"] for two ids, [] for none.
  std::string text = "[ ";
  for (const std::string& id : blockIds) text += "\"" + id + "\",";
  text.back() = ']';
  return text;
}

JsonPtr uploadFile(const std::string& token, const std::vector<std::string>& blockIds,
                   ErrorHandler handler) {
  return multipart(
      "uploadFile", kSafe,
      {{"token", token}, {"blockIds", blockIdsText(blockIds)}, {"memo", ""}, {"force", "true"}},
      handler);
}

JsonPtr copyResource(const std::string& src, const std::string& dst) {
  return post("copyResource", kOnce, {{"srcPath", src}, {"dstPath", dst}});
}

JsonPtr emptyTrash() { return get("emptyTrash", kOnce); }

bool skipInvalidArgument(int code, const char* utf8Message) {
  if (code != service_code::kInvalidArgument) return false;
  TLOG_DEBUG("E8 Skipped. msg=", utf8Message);
  return true;
}

bool skipError999(int code, const char* utf8Message) {
  if (code != service_code::kUnlockPassedOver) return false;
  TLOG_DEBUG("E999 Skipped. msg=", utf8Message);
  return true;
}

bool skipNotFound(int code, const char* utf8Message) {
  if (code != service_code::kNotFound) return false;
  TLOG_DEBUG("E50 Skipped. msg=", utf8Message);
  return true;
}

}  // namespace tarvik::api
