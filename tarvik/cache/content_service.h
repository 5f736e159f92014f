// The service calls of the content path, behind one table of functions so
// that tests can make any of them fail, count them or run them against an
// in-memory store. The default table calls the service methods of
// webapi/service_methods.h.
//
// Results are plain numbers: 0 on success, otherwise the service's error
// code (never 0) or, for downloadBlock, the transport result or -1 for a
// body that does not match the block id. Errors have already been reported
// to the user by the request layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "webapi/json.h"

namespace tarvik {

struct ContentService {
  int (*downloadBlock)(const std::string& token, const std::string& blockId,
                       const std::string& destination);
  int (*uploadBlock)(const std::string& token, const std::string& blockId,
                     const std::string& filePath);
  int (*uploadFile)(const std::string& token, const std::vector<std::string>& blockIds);
  // *locked receives the lock flag of the result; *resultText its JSON text.
  int (*lockResource)(const std::string& servicePath, uint32_t processId, bool* locked,
                      std::string* resultText);
  int (*keepSession)();
  int (*logout)();
  // pretestUploadFile: a new upload token for `servicePath` in *token.
  int (*pretestUpload)(const std::string& servicePath, std::string* token);
  // pretestDownloadFile: a new download token for the version the service
  // has now, and that version's block list.
  int (*pretestDownload)(const std::string& servicePath, std::string* token,
                         std::vector<std::string>* blockIds);
};

// The table in use. A table whose pretest entries are null cannot renew
// tokens: a refused token then fails the transfer.
const ContentService& contentService();

// Replaces the table (null restores the service methods). Tests only; not
// to be called while content operations run.
void setContentServiceForTesting(const ContentService* service);

// The service's error code of a failed result, never 0 (an error without a
// code counts as -1). 0 when `result` is not an error.
int serviceFailure(const JsonPtr& result);

}  // namespace tarvik
