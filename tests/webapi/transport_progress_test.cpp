// performTransfer on connections that stop making progress: ones that never
// come up, ones that fall silent after the request, and answers that trickle
// in. The limits are made small; the retry rule is the production one.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "scripted_server.h"
#include "webapi/block_id.h"
#include "webapi/connection_pool.h"
#include "webapi/transport.h"
#include "webapi_test_env.h"

using namespace webapi_test;
using tarvik::Repeat;
using tarvik::TransferRequest;

namespace {

// libcurl looks at an idle transfer about once a second, so a stall is
// noticed up to that long after its window ended.
constexpr double kIdleTickSeconds = 1.0;
// Room for a loaded machine on top of what the limits allow, per attempt.
constexpr double kSlackSeconds = 0.5;

class TransportProgressTest : public ::testing::Test {
 protected:
  void SetUp() override { useService(server.baseUrl()); }
  // Kept connections end before the server does: it waits for open ones.
  void TearDown() override {
    tarvik::transport_testing::setProgressLimits({});
    tarvik::closeIdleConnections();
  }

  static void limit(long connectTimeoutMs, long stallWindowMs, long stallMinBytes) {
    tarvik::transport_testing::setProgressLimits({connectTimeoutMs, stallWindowMs, stallMinBytes});
  }

  static TransferRequest request(const std::string& url, Repeat repeat) {
    TransferRequest r;
    r.url = url;
    r.params = {{"token", "t"}};
    r.repeat = repeat;
    return r;
  }

  // The result of the call and the seconds it took.
  static std::pair<int, double> timed(TransferRequest& r) {
    const auto start = std::chrono::steady_clock::now();
    const int result = tarvik::performTransfer(r);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {result, took.count()};
  }

  // The server's request count once it reached `count` (or after 5 s): a
  // request the client sent may still be on its way through the server.
  size_t requestsWhenAtLeast(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server.requestCount() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server.requestCount();
  }

  ScriptedServer server;
};

// A port that completes the TCP handshake but never the TLS one, and one
// whose TCP handshake never completes: every attempt gives up at the connect
// time-out, and even a one-time request is tried three times, since it never
// went out.
TEST_F(TransportProgressTest, AConnectionThatNeverComesUpIsTriedThreeTimesThenFails) {
  const long connectMs = 150;
  limit(connectMs, 60000, 1);
  const double limitSeconds = connectMs / 1000.0;
  for (const bool fullBacklog : {false, true}) {
    SCOPED_TRACE(fullBacklog ? "no TCP handshake" : "no TLS handshake");
    SilentPort port(fullBacklog);
    TransferRequest r =
        request("https://127.0.0.1:" + std::to_string(port.port()) + "/api/moveResource",
                Repeat::kOnce);
    const auto [result, seconds] = timed(r);
    EXPECT_EQ(result, CURLE_OPERATION_TIMEDOUT);
    EXPECT_GE(seconds, 3 * limitSeconds);  // three attempts, each waiting out its limit
    EXPECT_LT(seconds, 3 * (limitSeconds + kSlackSeconds));
    // Three TCP connections made it into the queue, or none did (the port's
    // own is the one there).
    EXPECT_EQ(port.queued(), fullBacklog ? 1 : 3);
  }
}

// The server reads the request and never answers: every attempt gives up
// once a stall window has passed after the request went out. A safe request
// is sent three times; a one-time request once, as the service may have
// carried it out. (libcurl also wakes 200 ms into a transfer, for its
// happy-eyeballs timer, so a 150 ms window is mostly seen to pass then.)
TEST_F(TransportProgressTest, AConnectionThatFallsSilentIsGivenUpAndOnlyASafeRequestGoesAgain) {
  const long windowMs = 150;
  limit(5000, windowMs, 1);
  Answer silent;
  silent.silent = true;
  server.setDefault(silent);
  struct Case {
    Repeat repeat;
    size_t sends;
  };
  for (const Case& c : {Case{Repeat::kSafe, 3}, Case{Repeat::kOnce, 1}}) {
    SCOPED_TRACE(c.sends);
    const size_t before = server.requestCount();
    TransferRequest r = request(server.baseUrl() + "api/getEntries", c.repeat);
    const auto [result, seconds] = timed(r);
    EXPECT_EQ(result, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(requestsWhenAtLeast(before + c.sends) - before, c.sends);
    const double windowSeconds = windowMs / 1000.0;
    EXPECT_GE(seconds, c.sends * windowSeconds);
    EXPECT_LT(seconds, c.sends * (windowSeconds + kIdleTickSeconds + kSlackSeconds));
  }
}

// Answers that trickle in, against a limit of 4 bytes in every 300 ms: one
// byte every 100 ms moves, but too slowly, and fails; one byte every 20 ms
// keeps above the limit and runs to its end, though it takes longer than a
// window in all.
TEST_F(TransportProgressTest, ATrickleBelowTheLimitFailsAndOneAboveItRunsToTheEnd) {
  const long windowMs = 300;
  limit(5000, windowMs, 4);

  Answer slow;
  slow.body = "{\"result\":1}";
  slow.dripMs = 100;
  server.queue(slow);
  TransferRequest commit = request(server.baseUrl() + "api/uploadFile", Repeat::kOnce);
  const auto [slowResult, slowSeconds] = timed(commit);
  EXPECT_EQ(slowResult, CURLE_OPERATION_TIMEDOUT);
  EXPECT_LT(slowSeconds, windowMs / 1000.0 + kIdleTickSeconds + kSlackSeconds);
  EXPECT_EQ(requestsWhenAtLeast(1), 1u);

  std::string block(30, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  Answer fast;
  fast.body = block;
  fast.contentType = "application/octet-stream";
  fast.dripMs = 20;
  server.queue(fast);
  TransferRequest download = request(server.baseUrl() + "api/downloadBlock", Repeat::kSafe);
  download.mode = tarvik::BodyMode::kFile;
  download.filePath = scratchDir() + "/block";
  int64_t bytes = 0;
  std::string digest;
  download.byteCount = &bytes;
  download.digest = &digest;
  const auto [fastResult, fastSeconds] = timed(download);
  EXPECT_EQ(fastResult, 0);
  EXPECT_GT(fastSeconds, windowMs / 1000.0);
  EXPECT_EQ(readFile(download.filePath), block);
  EXPECT_EQ(digest + "#" + std::to_string(bytes), tarvik::blockIdOf(block.data(), 30));
  EXPECT_EQ(server.requestCount(), 2u);  // in one attempt
}

}  // namespace
