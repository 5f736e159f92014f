// Token renewal and the commit. See service_tokens.h.
#include "cache/service_tokens.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "cache/content_service.h"
#include "core/service_codes.h"
#include "log/log.h"

namespace tarvik {
namespace {

std::atomic<service_tokens_testing::CommitPause> g_commitPause{nullptr};

void pauseBeforeRound(int round) {
  const int ms = 1000 << (round - 1);  // 1 s, 2 s, ...
  if (auto pause = g_commitPause.load()) {
    pause(ms);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The service has exactly `ids` as the content of fc's file now (the
// answer to a commit that failed without a clear answer). The download
// token that comes with the answer is kept.
bool serviceHolds(FileContext& fc, const std::vector<std::string>& ids) {
  const ContentService& service = contentService();
  if (service.pretestDownload == nullptr) return false;
  std::string token;
  std::vector<std::string> current;
  if (service.pretestDownload(fc.path(), &token, &current) != 0) return false;
  if (current != ids) return false;
  fc.setDownloadToken(token);
  return true;
}

}  // namespace

bool tokenRefused(int code) { return code == service_code::kInvalidArgument; }

bool failureMayPass(int code) {
  return code == service_code::kCommunicationError || code == service_code::kMaintenance;
}

bool renewUploadToken(FileContext& fc, const std::string& refused) {
  std::lock_guard<std::mutex> lock(fc.tokenRenewMutex);
  if (fc.uploadToken() != refused) return true;
  const ContentService& service = contentService();
  if (service.pretestUpload == nullptr) return false;
  std::string token;
  const int r = service.pretestUpload(fc.path(), &token);
  if (r != 0 || token.empty()) {
    TLOG_WARN("no new upload token for ", fc.path(), ": ", r);
    return false;
  }
  TLOG_INFO("upload token renewed for ", fc.path());
  fc.setUploadToken(token);
  return true;
}

bool renewDownloadToken(FileContext& fc, const std::string& refused) {
  std::lock_guard<std::mutex> lock(fc.tokenRenewMutex);
  if (fc.downloadToken() != refused) return true;
  const ContentService& service = contentService();
  if (service.pretestDownload == nullptr) return false;
  std::string token;
  std::vector<std::string> ids;
  const int r = service.pretestDownload(fc.path(), &token, &ids);
  if (r != 0 || token.empty()) {
    TLOG_WARN("no new download token for ", fc.path(), ": ", r);
    return false;
  }
  TLOG_INFO("download token renewed for ", fc.path());
  fc.setDownloadToken(token);
  return true;
}

int uploadBlockFor(FileContext& fc, const std::string& blockId, const std::string& path) {
  int renewals = 0;
  for (int round = 1;; ++round) {
    const std::string token = fc.uploadToken();
    const int r = contentService().uploadBlock(token, blockId, path);
    if (r == 0) return 0;
    fc.lastServiceCode.store(r);
    if (tokenRefused(r) && renewals < kTokenRenewals) {
      ++renewals;
      if (!renewUploadToken(fc, token)) return r;
      --round;  // a renewal is no round of its own
      continue;
    }
    // A block is stored under the id of its content: sending it again
    // after a pause rides through a service that restarts, as the commit
    // does.
    if (!failureMayPass(r) || round >= kCommitRounds) return r;
    pauseBeforeRound(round);
  }
}

int downloadBlockFor(FileContext& fc, const std::string& blockId,
                     const std::string& destination) {
  for (int renewals = 0;; ++renewals) {
    const std::string token = fc.downloadToken();
    const int r = token.empty() ? service_code::kInvalidArgument
                                : contentService().downloadBlock(token, blockId, destination);
    if (r == 0 || renewals >= kTokenRenewals - 1) return r;
    // A refusal of the token comes back as an answer that is not the block;
    // a new token is cheap next to a failed read.
    if (!renewDownloadToken(fc, token)) return r;
  }
}

int commitBlockList(FileContext& fc, const std::vector<std::string>& ids, ReuploadBlocks reupload,
                    void* arg) {
  int renewals = 0;
  for (int round = 1;; ++round) {
    const std::string token = fc.uploadToken();
    const int r = contentService().uploadFile(token, ids);
    if (r == 0) return 0;
    fc.lastServiceCode.store(r);
    if (tokenRefused(r) && renewals < kTokenRenewals) {
      ++renewals;
      if (!renewUploadToken(fc, token)) return r;
      const int u = reupload != nullptr ? reupload(fc, arg) : 0;
      if (u != 0) return u;
      --round;  // a renewal is no round of its own
      continue;
    }
    if (!failureMayPass(r)) return r;
    if (serviceHolds(fc, ids)) {
      TLOG_INFO("commit of ", fc.path(), " was taken before its answer was lost");
      return 0;
    }
    if (round >= kCommitRounds) return r;
    pauseBeforeRound(round);
  }
}

namespace service_tokens_testing {
void setCommitPause(CommitPause pause) { g_commitPause.store(pause); }
}  // namespace service_tokens_testing

}  // namespace tarvik
