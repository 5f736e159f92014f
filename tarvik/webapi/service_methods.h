// The catalogue of service methods. Each function fills the method's
// parameters in their fixed order and form and returns what callService
// returns: the result view on success, the error document (already
// reported) on failure; test it with isErrorResult.
#pragma once

#include <string>
#include <vector>

#include "webapi/envelope.h"
#include "webapi/json.h"

namespace tarvik::api {

JsonPtr getErrorMessages();
JsonPtr getPKIInfo();
// Stores the result's "arrayid" in LibraryState on success.
JsonPtr pretestLogin(const std::string& corpId);
// Sends "pki" = "true" when a certificate is set. On success stores corpId,
// userId and the result's "jsessionid" in LibraryState.
JsonPtr login(const std::string& corpId, const std::string& userId, const std::string& password);
JsonPtr logout();
JsonPtr keepSession();
JsonPtr getAnnouncement(bool force);
JsonPtr markReadCurrentAnnouncement();
JsonPtr getLoginUserInfo();
JsonPtr getEntries(const std::string& path);
JsonPtr getSharedEntries();
JsonPtr checkPermission(const std::string& path, int op);
// `handler` may take the report of a failed lookup (see skipNotFound).
JsonPtr getResourceDetail(const std::string& path, ErrorHandler handler = nullptr);
JsonPtr makeDirectory(const std::string& path);
JsonPtr moveResource(const std::string& src, const std::string& dst, bool overwrite);
JsonPtr moveToTrash(const std::string& path);
JsonPtr removeResource(const std::string& path);
// Logs "lockResource result=" + the serialised result at debug level.
JsonPtr lockResource(const std::string& path, int processId);
JsonPtr unlockResource(const std::string& path, ErrorHandler handler);
JsonPtr pretestDownloadFile(const std::string& path);
// Downloads the block into `destination` (created when missing, not
// truncated) and checks it against `blockId`. 0; the transport result
// (already reported as 1001); or -1 when the bytes do not match the id.
int downloadBlock(const std::string& token, const std::string& blockId,
                  const std::string& destination);
JsonPtr pretestUploadFile(const std::string& path);
JsonPtr uploadBlock(const std::string& token, const std::string& blockId,
                    const std::string& blockFilePath, ErrorHandler handler = nullptr);
JsonPtr uploadFile(const std::string& token, const std::vector<std::string>& blockIds,
                   ErrorHandler handler = nullptr);
JsonPtr copyResource(const std::string& src, const std::string& dst);
JsonPtr emptyTrash();

// Error handler for the close path: code 999 is logged at debug level and
// taken (no status callback); any other code goes on.
bool skipError999(int code, const char* utf8Message);

// Error handler for transfers with a token: code 8 (an argument the
// service refuses, which is how it answers a token it no longer knows, for
// example after a restart) is logged at debug level and taken, since the
// content layer asks for a new token and repeats the transfer; every other
// code is reported.
bool skipInvalidArgument(int code, const char* utf8Message);

// Error handler for lookups that probe whether a name exists: code 50 (no
// such entry) is the expected answer for a new name and is only logged at
// DEBUG ("E50 Skipped. msg="), so creating a file raises no message; every
// other code is reported.
bool skipNotFound(int code, const char* utf8Message);

// The "blockIds" text of uploadFile: [ "a","b"] for two ids, [] for none.
std::string blockIdsText(const std::vector<std::string>& blockIds);

}  // namespace tarvik::api
