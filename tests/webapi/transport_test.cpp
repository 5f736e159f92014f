// performTransfer against a scripted HTTPS server: retries and their log
// lines, bodies, secrets, file parts, body files and TLS verification.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/library_state.h"
#include "scripted_server.h"
#include "webapi/block_id.h"
#include "webapi/connection_pool.h"
#include "webapi/transport.h"
#include "webapi_test_env.h"

using namespace webapi_test;
using tarvik::BodyMode;
using tarvik::RequestParam;
using tarvik::TransferRequest;

namespace {

// Takes the transport's pauses before repeated attempts instead of sleeping
// them, and keeps their lengths.
class PauseRecorder {
 public:
  PauseRecorder() {
    std::lock_guard<std::mutex> lock(mutex());
    pauses().clear();
    tarvik::transport_testing::setRetryPause(&record);
  }
  ~PauseRecorder() { tarvik::transport_testing::setRetryPause(nullptr); }
  std::vector<int> taken() const {
    std::lock_guard<std::mutex> lock(mutex());
    return pauses();
  }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<int>& pauses() {
    static std::vector<int> p;
    return p;
  }
  static void record(int milliseconds) {
    std::lock_guard<std::mutex> lock(mutex());
    pauses().push_back(milliseconds);
  }
};

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { useService(server.baseUrl()); }
  // Kept connections end before the server does: it waits for open ones.
  void TearDown() override { tarvik::closeIdleConnections(); }
  PauseRecorder pauses;
  TransferRequest request(const std::string& path, std::vector<RequestParam> params = {}) {
    TransferRequest r;
    r.url = server.baseUrl() + path;
    r.params = std::move(params);
    return r;
  }
  ScriptedServer server;
};

TEST_F(TransportTest, ThreeFailedAttemptsGiveTheLastStatusWithWarningsAndPauses) {
  LogCapture log;
  server.setDefault(Answer{500, "oops"});
  TransferRequest r = request("api/x");
  EXPECT_EQ(tarvik::performTransfer(r), 500);
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(log.lines("; WARN]: curl retry> res = 0, code = 500"), 3);
  EXPECT_EQ(log.lines(";DEBUG]: curl retry = 3"), 1);
  EXPECT_EQ(log.lines("curl post time = "), 3);
  EXPECT_EQ(log.lines("[ms] for " + server.baseUrl() + "api/x"), 3);
  // Three 1-second pauses, the last included.
  EXPECT_EQ(pauses.taken(), std::vector<int>({1000, 1000, 1000}));
}

// Connections are kept between calls; a repeated attempt opens a new one,
// and the call after it reuses that one again. A request that must not be
// sent twice uses a kept connection only when it has a body.
TEST_F(TransportTest, CallsReuseTheirConnectionAndARetryOpensANewOne) {
  tarvik::closeIdleConnections();
  auto call = [&](const std::string& path, tarvik::Repeat repeat,
                  std::vector<RequestParam> params = {}) {
    TransferRequest r = request(path, std::move(params));
    r.repeat = repeat;
    return tarvik::performTransfer(r);
  };
  const auto kSafe = tarvik::Repeat::kSafe, kOnce = tarvik::Repeat::kOnce;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(call("api/x", kSafe), 0);
  server.queue(Answer{503, "busy"});
  ASSERT_EQ(call("api/y", kSafe), 0);
  ASSERT_EQ(call("api/z", kSafe), 0);
  ASSERT_EQ(call("api/commit", kOnce, {{"a", "1"}}), 0);
  ASSERT_EQ(call("api/logout", kOnce), 0);
  ASSERT_EQ(call("api/w", kSafe), 0);

  const std::vector<RequestSeen> seen = server.requests();
  ASSERT_EQ(seen.size(), 10u);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(seen[i].remotePort, seen[0].remotePort) << i;
  EXPECT_NE(seen[5].remotePort, seen[4].remotePort);  // the retry's own connection
  EXPECT_EQ(seen[6].remotePort, seen[5].remotePort);
  EXPECT_EQ(seen[7].remotePort, seen[6].remotePort);  // a one-time call with a body
  EXPECT_EQ(seen[7].body, "a=1");
  EXPECT_NE(seen[8].remotePort, seen[7].remotePort);  // one without: its own
  EXPECT_EQ(seen[9].remotePort, seen[8].remotePort);  // and kept afterwards
  EXPECT_GE(tarvik::idleHandleCount(), 1u);
  tarvik::closeIdleConnections();
  EXPECT_EQ(tarvik::idleHandleCount(), 0u);
}

// A kept connection that ends after a one-time request went out, without an
// answer: libcurl takes that for an idle close and would send the request
// again on a new connection, and the service would carry it out twice. It is
// sent once and fails; a safe request in the same place is sent again.
TEST_F(TransportTest, AOneTimeRequestOnAKeptConnectionThatEndsIsNeverSentAgain) {
  tarvik::closeIdleConnections();
  auto warm = [&] {
    TransferRequest r = request("api/warm");
    r.repeat = tarvik::Repeat::kSafe;
    ASSERT_EQ(tarvik::performTransfer(r), 0);
  };
  struct Case {
    const char* path;
    bool multipart;
    tarvik::Repeat repeat;
    size_t sends;
  };
  const Case cases[] = {{"api/uploadFile", true, tarvik::Repeat::kOnce, 1},
                        {"api/moveResource", false, tarvik::Repeat::kOnce, 1},
                        {"api/getEntries", false, tarvik::Repeat::kSafe, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    warm();
    const size_t before = server.requestCount();
    server.queue(Answer{200, "", "application/json", 0, /*drop=*/true});
    TransferRequest r = request(c.path, {{"token", "t"}, {"blockIds", "[ \"a#1\"]"}});
    r.repeat = c.repeat;
    r.multipart = c.multipart;
    const int result = tarvik::performTransfer(r);
    const std::vector<RequestSeen> seen = server.requests();
    size_t sends = 0;
    for (size_t i = before; i < seen.size(); ++i) sends += seen[i].path == "/" + std::string(c.path);
    EXPECT_EQ(sends, c.sends);
    EXPECT_EQ(seen[before].remotePort, seen[before - 1].remotePort);  // the kept connection
    if (c.repeat == tarvik::Repeat::kOnce) {
      EXPECT_NE(result, 0);
    } else {
      EXPECT_EQ(result, 0);
    }
  }
  warm();  // the next call finds a working connection
}

// A handle goes back to the pool reset: nothing of one call (body, file
// part, body file) leaks into the next call made on the same connection.
TEST_F(TransportTest, AReusedConnectionCarriesNothingOfTheEarlierCall) {
  const std::string dir = scratchDir();
  const std::string part = dir + "/part";
  { FILE* f = std::fopen(part.c_str(), "w"); std::fputs("abc", f); std::fclose(f); }
  TransferRequest upload = request("api/up", {{"@filedata", part}});
  upload.repeat = tarvik::Repeat::kSafe;
  upload.multipart = true;
  ASSERT_EQ(tarvik::performTransfer(upload), 0);
  server.queue(Answer{200, "body", "application/octet-stream"});
  TransferRequest download = request("api/down", {{"a", "1"}});
  download.repeat = tarvik::Repeat::kSafe;
  download.mode = BodyMode::kFile;
  download.filePath = dir + "/got";
  int64_t bytes = 0;
  download.byteCount = &bytes;
  ASSERT_EQ(tarvik::performTransfer(download), 0);
  TransferRequest plain = request("api/get");
  plain.repeat = tarvik::Repeat::kSafe;
  ASSERT_EQ(tarvik::performTransfer(plain), 0);

  const std::vector<RequestSeen> seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].parts.at("filedata").content, "abc");
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(seen[1].body, "a=1");
  EXPECT_TRUE(seen[1].parts.empty());
  EXPECT_EQ(bytes, 4);
  EXPECT_EQ(seen[2].method, "GET");
  EXPECT_TRUE(seen[2].body.empty());
  EXPECT_EQ(plain.body, "");
  EXPECT_EQ(seen[2].remotePort, seen[0].remotePort);
}

TEST_F(TransportTest, ServiceUnavailableThenOkSucceedsAfterOneRetry) {
  LogCapture log;
  server.queue(Answer{503, "busy"});
  server.queue(Answer{200, "{\"result\":1}"});
  TransferRequest r = request("api/x");
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  EXPECT_EQ(r.body, "{\"result\":1}");  // cleared before the second attempt
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(log.lines("curl retry> res = 0, code = 503"), 1);
  EXPECT_EQ(log.lines("curl retry = 1"), 1);
}

TEST_F(TransportTest, RefusedConnectionGivesCurlResultAfterThreeAttempts) {
  LogCapture log;
  TransferRequest r;
  r.url = "https://127.0.0.1:" + std::to_string(refusedPort()) + "/api/x";
  EXPECT_EQ(tarvik::performTransfer(r), CURLE_COULDNT_CONNECT);
  EXPECT_EQ(log.lines("curl retry> res = 7, code = 200"), 3);
  EXPECT_EQ(log.lines(";ERROR]: curl error: "), 3);
  EXPECT_EQ(log.lines("curl retry = 3"), 1);
}

TEST_F(TransportTest, OtherCurlFailuresEndAtOnce) {
  TransferRequest r;
  r.url = "nosuchscheme://127.0.0.1/";
  EXPECT_EQ(tarvik::performTransfer(r), CURLE_UNSUPPORTED_PROTOCOL);
}

TEST(ShouldRetry, DecidesByResultAndStatus) {
  using tarvik::Repeat;
  EXPECT_FALSE(tarvik::shouldRetry(0, 200, Repeat::kSafe));
  EXPECT_FALSE(tarvik::shouldRetry(CURLE_OPERATION_TIMEDOUT, 200, Repeat::kOnce));
  EXPECT_FALSE(tarvik::shouldRetry(CURLE_WRITE_ERROR, 200, Repeat::kSafe));
  // Handshake and receive failures on a good status retry without pause.
  PauseRecorder pauses;
  EXPECT_TRUE(tarvik::shouldRetry(CURLE_SSL_CONNECT_ERROR, 200, Repeat::kSafe));
  EXPECT_TRUE(tarvik::shouldRetry(CURLE_RECV_ERROR, 200, Repeat::kSafe));
  EXPECT_TRUE(tarvik::shouldRetry(CURLE_GOT_NOTHING, 200, Repeat::kSafe));
  EXPECT_TRUE(pauses.taken().empty());
  EXPECT_TRUE(tarvik::shouldRetry(CURLE_COULDNT_RESOLVE_HOST, 200, Repeat::kSafe));
  EXPECT_EQ(pauses.taken(), std::vector<int>({1000}));
}

TEST(ShouldRetry, ALostAnswerIsNeverRepeatedForARequestThatMayHaveBeenCarriedOut) {
  using tarvik::Repeat;
  EXPECT_FALSE(tarvik::shouldRetry(CURLE_GOT_NOTHING, 200, Repeat::kOnce));
  EXPECT_FALSE(tarvik::shouldRetry(CURLE_RECV_ERROR, 200, Repeat::kOnce));
  // Not even when an earlier attempt was answered with an error status.
  EXPECT_FALSE(tarvik::shouldRetry(CURLE_GOT_NOTHING, 503, Repeat::kOnce));
  // A connection that never carried the request is tried again.
  EXPECT_TRUE(tarvik::shouldRetry(CURLE_SSL_CONNECT_ERROR, 200, Repeat::kOnce));
}

TEST_F(TransportTest, WithoutParametersTheRequestIsAGetWithoutBody) {
  TransferRequest r = request("api/getSharedEntries?a=b");
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[0].target, "/api/getSharedEntries?a=b");
}

TEST_F(TransportTest, UrlEncodedBodyKeepsOrderEscapesValuesAndHidesSecrets) {
  LogCapture log;
  TransferRequest r = request("api/login", {{"corpId", "corp one"},
                                            {"userId", "u&=/+"},
                                            {"!password", "s3cr3t-Passw0rd"},
                                            {"empty", ""}});
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body,
            "corpId=corp%20one&userId=u%26%3D%2F%2B&password=s3cr3t-Passw0rd&empty=");
  EXPECT_EQ(log.lines(";DEBUG]: corpId:corp one"), 1);
  EXPECT_EQ(log.lines("userId:u&=/+"), 1);
  EXPECT_EQ(log.text().find("s3cr3t-Passw0rd"), std::string::npos);
  EXPECT_EQ(log.text().find("password"), std::string::npos);
}

TEST_F(TransportTest, SecretsStayOutOfTheCurlTrace) {
  LogCapture log(/*curlTrace=*/true);
  TransferRequest r = request("api/login", {{"!password", "TopSecret123"}});
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  const std::string text = log.text();
  EXPECT_NE(text.find("CURL: > POST /api/login"), std::string::npos);
  EXPECT_NE(text.find("CURL: < HTTP/1.1 200"), std::string::npos);
  EXPECT_NE(text.find("CURL: * "), std::string::npos);
  EXPECT_EQ(text.find("TopSecret123"), std::string::npos);
}

TEST_F(TransportTest, MultipartFilePartHasItsNameFileNameAndExactLength) {
  const std::string dir = scratchDir();
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + 3);
  writeFile(dir + "/block", content);
  TransferRequest r = request("api/uploadBlock", {{"token", "T"},
                                                  {"nullValue", "", false},
                                                  {"@filedata", dir + "/block"},
                                                  {"!secret", "hidden"}});
  r.multipart = true;
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].contentType.rfind("multipart/form-data", 0), 0u);
  ASSERT_EQ(seen[0].parts.count("filedata"), 1u);
  EXPECT_EQ(seen[0].parts["filedata"].filename, "data.dat");
  EXPECT_EQ(seen[0].parts["filedata"].content.size(), content.size());
  EXPECT_TRUE(seen[0].parts["filedata"].content == content);
  EXPECT_EQ(seen[0].parts["token"].content, "T");
  EXPECT_EQ(seen[0].parts["secret"].content, "hidden");
  EXPECT_EQ(seen[0].parts.count("nullValue"), 0u);
  EXPECT_EQ(seen[0].parts.count("@filedata"), 0u);
}

TEST_F(TransportTest, EmptyFilePartIsSentWithLengthZero) {
  const std::string dir = scratchDir();
  writeFile(dir + "/empty", "");
  TransferRequest r = request("api/uploadBlock", {{"@filedata", dir + "/empty"}});
  r.multipart = true;
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  ASSERT_EQ(seen[0].parts.count("filedata"), 1u);
  EXPECT_EQ(seen[0].parts["filedata"].content, "");
}

TEST_F(TransportTest, UnreadableFilePartFailsWithoutSendingAnything) {
  const std::string dir = scratchDir();
  TransferRequest r = request("api/uploadBlock", {{"token", "T"}, {"@filedata", dir + "/none"}});
  r.multipart = true;
  EXPECT_EQ(tarvik::performTransfer(r), tarvik::kResultFilePartUnreadable);
  TransferRequest d = request("api/uploadBlock", {{"@filedata", dir}});  // a directory
  d.multipart = true;
  EXPECT_EQ(tarvik::performTransfer(d), tarvik::kResultFilePartUnreadable);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(TransportTest, BodyToFileIsHashedCountedAndReplacesOldContent) {
  const std::string dir = scratchDir();
  const std::string path = dir + "/out";
  writeFile(path, std::string(5000, 'x'));  // longer than the body
  server.queue(Answer{200, "abc", "application/octet-stream"});
  TransferRequest r = request("api/downloadBlock", {{"token", "t"}});
  r.mode = BodyMode::kFile;
  r.filePath = path;
  int64_t bytes = -1;
  std::string digest;
  r.byteCount = &bytes;
  r.digest = &digest;
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  EXPECT_EQ(bytes, 3);
  EXPECT_EQ(digest, "qZk-NkcGgWq6PiVxeFDCbJzQ2J0");
  EXPECT_EQ(readFile(path), "abc");
}

TEST_F(TransportTest, BodyFileHoldsOnlyTheLastAttempt) {
  const std::string dir = scratchDir();
  server.queue(Answer{503, std::string(1000, 'e'), "text/html"});
  server.queue(Answer{200, "0123456789", "application/octet-stream"});
  TransferRequest r = request("api/downloadBlock", {{"token", "t"}});
  r.mode = BodyMode::kFile;
  r.filePath = dir + "/out";
  int64_t bytes = 0;
  std::string digest;
  r.byteCount = &bytes;
  r.digest = &digest;
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  EXPECT_EQ(bytes, 10);
  EXPECT_EQ(readFile(dir + "/out"), "0123456789");
  EXPECT_EQ(digest + "#10", tarvik::blockIdOf("0123456789", 10));
}

TEST_F(TransportTest, NewBodyFileIsPrivateToTheUser) {
  const std::string path = scratchDir() + "/fresh";
  server.queue(Answer{200, "z", "application/octet-stream"});
  TransferRequest r = request("api/downloadBlock", {{"token", "t"}});
  r.mode = BodyMode::kFile;
  r.filePath = path;
  EXPECT_EQ(tarvik::performTransfer(r), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(TransportTls, UntrustedServerCertificateIsATransportFailure) {
  ScriptedServer rogue(ScriptedServer::Options{false, true});
  useService(rogue.baseUrl());
  TransferRequest r;
  r.url = rogue.baseUrl() + "api/login";
  r.params = {{"!password", "p"}};
  const int rc = tarvik::performTransfer(r);
  EXPECT_EQ(rc, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(rogue.requestCount(), 0u);  // the password never left the client
}

}  // namespace

namespace {

// Many transfers at once, text and file bodies, each on its own thread.
TEST_F(TransportTest, ConcurrentTransfersDoNotInterfere) {
  LogCapture log;
  server.setDefault(Answer{200, std::string(200000, 'c'), "application/octet-stream"});
  const std::string dir = scratchDir();
  const std::string expected = tarvik::blockIdOf(std::string(200000, 'c').data(), 200000);
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 4; ++i) {
        TransferRequest r;
        r.url = server.baseUrl() + "api/x";
        r.params = {{"n", std::to_string(t * 10 + i)}};
        std::string digest;
        int64_t bytes = 0;
        if (t % 2 == 0) {
          r.mode = BodyMode::kFile;
          r.filePath = dir + "/f" + std::to_string(t);
          r.digest = &digest;
          r.byteCount = &bytes;
        }
        if (tarvik::performTransfer(r) != 0) continue;
        if (t % 2 == 0 ? digest + "#" + std::to_string(bytes) == expected
                       : r.body.size() == 200000) {
          ++good;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(good.load(), 24);
  EXPECT_EQ(server.requestCount(), 24u);
}

}  // namespace
