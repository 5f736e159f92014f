// The HTTP transport: runs one request against the service over HTTPS with
// libcurl and returns one integer result.
//
// Every attempt gets its own form, body text and open files, all released
// before the next attempt, and borrows an easy handle that no other transfer
// uses meanwhile (webapi/connection_pool.h: connections and TLS sessions are
// kept between calls; a repeated attempt and a Repeat::kOnce request
// without a body open a new connection, resuming the TLS session), so calls
// are re-entrant and run concurrently on any thread. It
// reads the proxy and certificate fields of LibraryState without locking
// (they are set before transfers start).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik {

// One request parameter. A name beginning with "!" is sent without the "!"
// and never logged; in multipart mode a name beginning with "@" (after any
// "!") names a file part whose content is read from the file at `value`.
// `hasValue` false is a null value: skipped in multipart mode, sent as an
// empty value in an URL-encoded body.
struct RequestParam {
  std::string name;
  std::string value;
  bool hasValue = true;
};

enum class BodyMode : int {
  kText = 0,  // the body is appended to TransferRequest::body
  kFile = 1,  // the body is written to TransferRequest::filePath and hashed
};

// Whether a request may be sent again after its connection ended without a
// whole answer (libcurl 52 "empty reply", 56 "receive failed"): by then the
// service may already have carried it out.
enum class Repeat : int {
  kSafe = 0,  // repeating changes nothing: reads, tokens, content-addressed blocks
  kOnce = 1,  // commits, moves, deletes, sign-in: never sent a second time
};

struct TransferRequest {
  BodyMode mode = BodyMode::kText;
  Repeat repeat = Repeat::kOnce;
  std::string url;
  std::vector<RequestParam> params;  // in sending order; empty = plain GET
  bool multipart = false;
  std::string body;                  // kText: the body of the last attempt
  std::string filePath;              // kFile: receives the body
  int64_t* byteCount = nullptr;      // kFile: bytes written by the last attempt
  std::string* digest = nullptr;     // kFile: SHA-1 of the last attempt's body,
                                     // URL-safe Base64 without padding
};

// Result used when a file part cannot be opened or measured: the request
// fails before anything is sent (libcurl's "could not read file" code).
constexpr int kResultFilePartUnreadable = 26;  // CURLE_READ_ERROR

// Limits that end an attempt on a connection that makes no progress (a
// network that drops packets instead of refusing them, a suspended link).
// The connection (name resolution, TCP and TLS handshakes, proxy tunnel) must
// be up within kConnectTimeoutMs; from the moment the request goes out, each
// kStallWindowMs must see at least kStallMinBytes of request or answer body
// move. An attempt that misses either ends with libcurl result 28
// (CURLE_OPERATION_TIMEDOUT). Nothing limits the length of a whole attempt:
// a slow transfer that keeps moving runs to its end.
constexpr long kConnectTimeoutMs = 15000;
constexpr long kStallWindowMs = 30000;
constexpr long kStallMinBytes = 1024;

// Runs the request: up to three attempts. 0 when the last attempt ended with
// HTTP status 200; otherwise the libcurl result, or the last HTTP status when
// attempts were repeated and the last ended with a status other than 200.
int performTransfer(TransferRequest& request);

// Decides whether an attempt with libcurl result `result` and HTTP status
// `status` is repeated. A connection that never carried the request (6, 7,
// 35) and an answer other than 200 are repeated for every request; a
// connection lost after the request went out (52, 56) only for a request
// that is `Repeat::kSafe`. A time-out (28) counts as a connection that never
// carried the request when `requestSent` is false (it did not come up in
// time), and as a lost answer otherwise (it stalled after the request started
// to go out). When it repeats, logs the warning and pauses 1 second for
// results 6 and 7 and for statuses other than 200.
bool shouldRetry(int result, long status, Repeat repeat, bool requestSent = true);

namespace transport_testing {
// Replaces the pause before a repeated attempt (it gets the length of the
// pause, 1000 ms); null restores sleeping. Tests only.
using RetryPause = void (*)(int milliseconds);
void setRetryPause(RetryPause pause);

// Replaces the limits of progress for the attempts that start afterwards;
// a default-constructed value restores them. Values below 1 are taken as 1.
// Tests only.
struct ProgressLimits {
  long connectTimeoutMs = kConnectTimeoutMs;
  long stallWindowMs = kStallWindowMs;
  long stallMinBytes = kStallMinBytes;
};
void setProgressLimits(const ProgressLimits& limits);
}  // namespace transport_testing

}  // namespace tarvik
