#include "webapi/progress_watch.h"

#include <algorithm>

namespace tarvik {

ProgressWatch::ProgressWatch(long windowMs, long minBytes)
    : window_(std::chrono::milliseconds(std::max(1L, windowMs))),
      minBytes_(static_cast<curl_off_t>(std::max(1L, minBytes))) {}

void ProgressWatch::attach(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &ProgressWatch::onRequestStart);
  curl_easy_setopt(handle, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &ProgressWatch::onProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

int ProgressWatch::onRequestStart(void* self, char*, char*, int, int) {
  auto* watch = static_cast<ProgressWatch*>(self);
  // Called again when libcurl sends the request once more on a new
  // connection: the window starts over with it.
  watch->requestStarted_ = true;
  watch->windowStart_ = Clock::now();
  watch->windowBase_ = watch->moved_;
  return CURL_PREREQFUNC_OK;
}

int ProgressWatch::onProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                              curl_off_t uploaded) {
  auto* watch = static_cast<ProgressWatch*>(self);
  const curl_off_t moved = downloaded + uploaded;
  watch->moved_ = moved;
  if (!watch->requestStarted_) return 0;
  // The counters start from zero when libcurl begins the transfer again.
  if (moved < watch->windowBase_) watch->windowBase_ = moved;
  const Clock::time_point now = Clock::now();
  // The deadline comes first: bytes reported now arrived now, after it.
  if (now - watch->windowStart_ >= watch->window_) {
    watch->stalled_ = true;
    return 1;
  }
  if (moved - watch->windowBase_ >= watch->minBytes_) {
    watch->windowStart_ = now;
    watch->windowBase_ = moved;
  }
  return 0;
}

}  // namespace tarvik
