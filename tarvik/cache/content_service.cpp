#include "cache/content_service.h"

#include <atomic>

#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

int realDownloadBlock(const std::string& token, const std::string& blockId,
                      const std::string& destination) {
  return api::downloadBlock(token, blockId, destination);
}

int realUploadBlock(const std::string& token, const std::string& blockId,
                    const std::string& filePath) {
  return serviceFailure(api::uploadBlock(token, blockId, filePath, api::skipInvalidArgument));
}

int realUploadFile(const std::string& token, const std::vector<std::string>& blockIds) {
  return serviceFailure(api::uploadFile(token, blockIds, api::skipInvalidArgument));
}

int realPretestUpload(const std::string& servicePath, std::string* token) {
  JsonPtr result = api::pretestUploadFile(servicePath);
  const int failure = serviceFailure(result);
  if (failure == 0) *token = result->text();
  return failure;
}

int realPretestDownload(const std::string& servicePath, std::string* token,
                        std::vector<std::string>* blockIds) {
  JsonPtr result = api::pretestDownloadFile(servicePath);
  const int failure = serviceFailure(result);
  if (failure != 0) return failure;
  *token = result->member("token")->text();
  blockIds->clear();
  JsonPtr list = result->member("blockIds");
  for (size_t k = 0; k < list->count(); ++k) {
    JsonPtr id = list->element(k);
    if (!id->isString()) return -1;
    blockIds->push_back(id->text());
  }
  return 0;
}

int realLockResource(const std::string& servicePath, uint32_t processId, bool* locked,
                     std::string* resultText) {
  JsonPtr result = api::lockResource(servicePath, static_cast<int>(processId));
  if (resultText != nullptr) *resultText = result->serialize();
  const int failure = serviceFailure(result);
  if (locked != nullptr) {
    // The envelope hands back the "result" value; accept an object that
    // still wraps it as well.
    JsonPtr flag = result->isObject() ? result->member("result") : result;
    *locked = failure == 0 && flag->isBool() && flag->boolean();
  }
  return failure;
}

int realKeepSession() { return serviceFailure(api::keepSession()); }

int realLogout() { return serviceFailure(api::logout()); }

const ContentService kServiceMethods = {realDownloadBlock, realUploadBlock,   realUploadFile,
                                        realLockResource,  realKeepSession,   realLogout,
                                        realPretestUpload, realPretestDownload};

std::atomic<const ContentService*> g_service{&kServiceMethods};

}  // namespace

const ContentService& contentService() { return *g_service.load(std::memory_order_acquire); }

void setContentServiceForTesting(const ContentService* service) {
  g_service.store(service != nullptr ? service : &kServiceMethods, std::memory_order_release);
}

int serviceFailure(const JsonPtr& result) {
  if (!result || !isErrorResult(result)) return 0;
  const int code = errorCode(result);
  return code != 0 ? code : -1;
}

}  // namespace tarvik
