// Easy handles kept between transfers, so that calls reuse their TCP and TLS
// connection instead of opening a new one each (2-5 ms on loopback, two round
// trips more over a real network).
//
// A transfer borrows a handle, uses it on its own thread, and gives it back;
// a handle is never used by two threads at once. Each handle keeps at most
// one connection. Idle handles beyond kMaxIdleHandles are closed, so the
// number of connections held open stays bounded however many threads ran
// transfers at once. All handles share one TLS session cache and one DNS
// cache (libcurl share interface), so a new connection resumes a TLS session
// instead of running a full handshake.
//
// A handle that ended with a libcurl error is closed rather than given back:
// its connection may be broken, and a retry must start on a new one.
#pragma once

#include <curl/curl.h>

#include <cstddef>

namespace tarvik {

// Idle handles (and so idle connections) kept at most.
constexpr size_t kMaxIdleHandles = 8;
// A connection idle for longer is not reused. Shorter than the idle timeout
// of common servers (5 s), so that a request is not sent on a connection the
// server is closing at that moment; such a request could be lost after the
// service had carried it out.
constexpr long kMaxConnectionIdleSeconds = 3;

// A borrowed handle, reset to default options and attached to the shared
// caches. nullptr when libcurl cannot create one.
CURL* borrowHandle();
// Gives `handle` back: kept for reuse when `reusable`, else closed.
void returnHandle(CURL* handle, bool reusable);
// Closes every idle handle and its connection (sign-out, tests).
void closeIdleConnections();
// Idle handles held now (tests).
size_t idleHandleCount();

}  // namespace tarvik
