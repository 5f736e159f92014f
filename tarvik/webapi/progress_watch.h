// Ends a libcurl transfer whose connection stopped making progress.
//
// From the moment the request is about to go out on an established (or
// reused) connection, every window of `windowMs` must see at least
// `minBytes` of request or answer body move, in either direction; the window
// starts again each time that many bytes have moved. When a window passes
// short of them, the progress callback aborts the transfer. Before the
// request starts nothing is watched: connecting is bounded by libcurl's
// connect time-out. A transfer that keeps moving is never cut, however long
// it takes.
//
// libcurl calls the progress callback whenever data moves and about once a
// second while nothing does, so a stall is noticed at most about a second
// after its window ended.
#pragma once

#include <curl/curl.h>

#include <chrono>

namespace tarvik {

class ProgressWatch {
 public:
  // Limits below 1 are taken as 1.
  ProgressWatch(long windowMs, long minBytes);
  ProgressWatch(const ProgressWatch&) = delete;
  ProgressWatch& operator=(const ProgressWatch&) = delete;

  // Installs the callbacks on `handle` for its next transfer; the watch must
  // outlive that transfer.
  void attach(CURL* handle);

  // Whether the request was about to be sent on an established connection:
  // from then on the service may have received it.
  bool requestStarted() const { return requestStarted_; }
  // Whether the watch ended the transfer; libcurl then returns
  // CURLE_ABORTED_BY_CALLBACK.
  bool stalled() const { return stalled_; }

 private:
  using Clock = std::chrono::steady_clock;
  static int onRequestStart(void* self, char* remoteIp, char* localIp, int remotePort,
                            int localPort);
  static int onProgress(void* self, curl_off_t downloadTotal, curl_off_t downloaded,
                        curl_off_t uploadTotal, curl_off_t uploaded);

  const Clock::duration window_;
  const curl_off_t minBytes_;
  bool requestStarted_ = false;
  bool stalled_ = false;
  Clock::time_point windowStart_;
  curl_off_t windowBase_ = 0;  // bytes moved when the window started
  curl_off_t moved_ = 0;       // bytes moved at the last progress callback
};

}  // namespace tarvik
