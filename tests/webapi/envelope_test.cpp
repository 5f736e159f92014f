// The request envelope: URLs, answers that are not service JSON, error
// wording and delivery, the error table.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "core/library_state.h"
#include "scripted_server.h"
#include "webapi/envelope.h"
#include "webapi/error_table.h"
#include "webapi_test_env.h"

using namespace webapi_test;
using tarvik::JsonPtr;
using tarvik::json;

namespace {

int g_unmounts = 0;
int countUnmount() { return ++g_unmounts; }

std::string g_handled;
bool takeAll(int code, const char* message) {
  g_handled = std::to_string(code) + ":" + message;
  return true;
}
bool takeNothing(int code, const char* message) {
  g_handled = std::to_string(code) + ":" + message;
  return false;
}

// Puts a message for `code` with the given English template into the table.
void addMessage(int code, const std::string& en, const std::string& ja = "J") {
  tarvik::state().errorTable->insert(json::parse(
      "{\"code\":" + std::to_string(code) + ",\"ja\":\"" + ja + "\",\"en\":\"" + en + "\"}"));
}

class EnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useService(server.baseUrl());
    g_unmounts = 0;
    g_handled.clear();
    previous = tarvik::setUnmountFunction(&countUnmount);
  }
  void TearDown() override { tarvik::setUnmountFunction(previous); }
  JsonPtr call(const std::string& method = "m", tarvik::ErrorHandler handler = nullptr) {
    return tarvik::callService(method, {}, false, handler, tarvik::Repeat::kSafe);
  }
  ScriptedServer server;
  tarvik::UnmountFunction previous = nullptr;
};

TEST_F(EnvelopeTest, UrlCarriesClientVersionSessionAndRequestCounter) {
  tarvik::LibraryState& st = tarvik::state();
  const std::string prefix =
      server.baseUrl() + "api/getEntries?_client=qwo&_version=" + tarvik_getVersionString();
  EXPECT_EQ(tarvik::buildServiceUrl("getEntries"), prefix + "&requestid=0");
  EXPECT_EQ(tarvik::buildServiceUrl("getEntries"), prefix + "&requestid=1");
  st.arrayid = "A1";
  EXPECT_EQ(tarvik::buildServiceUrl("getEntries"), prefix + "&arrayid=A1&requestid=2");
  st.jsessionid = "S9";
  EXPECT_EQ(tarvik::buildServiceUrl("getEntries"),
            prefix + "&arrayid=A1&jsessionid=S9&requestid=3");
}

TEST_F(EnvelopeTest, RequestsReachTheMethodPathWithTheQuery) {
  server.setDefault(Answer{200, "{\"result\":5}"});
  call("keepSession");
  call("keepSession");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/api/keepSession");
  EXPECT_NE(seen[0].target.find("&requestid=0"), std::string::npos);
  EXPECT_NE(seen[1].target.find("&requestid=1"), std::string::npos);
  EXPECT_EQ(seen[0].target.find("arrayid"), std::string::npos);
  EXPECT_EQ(seen[0].target.find("jsessionid"), std::string::npos);
}

TEST_F(EnvelopeTest, SuccessReturnsTheResultView) {
  server.queue(Answer{200, R"({"result":{"arrayid":"xyz"}})"});
  JsonPtr r = call();
  EXPECT_FALSE(tarvik::isErrorResult(r));
  EXPECT_EQ(r->member("arrayid")->text(), "xyz");
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(EnvelopeTest, EmptyAnswerIsSuccessWithNullResult) {
  server.queue(Answer{200, ""});
  JsonPtr r = call();
  EXPECT_FALSE(tarvik::isErrorResult(r));
  EXPECT_TRUE(r->isNull());
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(EnvelopeTest, BrokenJsonIsNeitherErrorNorReported) {
  server.queue(Answer{200, R"({"result":{"a":1},"error":{"code":5},)"});
  JsonPtr r = call();
  EXPECT_FALSE(tarvik::isErrorResult(r));
  EXPECT_DOUBLE_EQ(r->member("a")->number(), 1);
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(EnvelopeTest, MaintenancePageIsReportedAs1002) {
  server.queue(Answer{200, std::string("<html>down ") + tarvik::kMaintenanceMarker + "</html>",
                      "text/html"});
  JsonPtr r = call();
  EXPECT_TRUE(tarvik::isErrorResult(r));
  EXPECT_EQ(tarvik::errorCode(r), 1002);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].first, 1002);
  EXPECT_EQ(statuses[0].second, "Cannot be used as the system is in maintenance.");
}

TEST_F(EnvelopeTest, CertificatePageOnAFailedRequestIsReportedAs1003) {
  server.setDefault(Answer{403, std::string("refused ") + tarvik::kCertificateMarker, "text/html"});
  JsonPtr r = call();
  EXPECT_EQ(tarvik::errorCode(r), 1003);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0], std::make_pair(1003, std::string("Incorrect certificate.")));
}

TEST_F(EnvelopeTest, BodyNotStartingWithBraceIs1001WithZero) {
  server.queue(Answer{200, " {\"result\":1}"});
  server.queue(Answer{200, "<html>hello</html>", "text/html"});
  for (int i = 0; i < 2; ++i) {
    JsonPtr r = call();
    EXPECT_EQ(tarvik::errorCode(r), 1001);
    EXPECT_EQ(r->member("error")->member("args")->element(0)->text(), "0");
  }
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].second, "Communication error has occurred.(0)");
}

TEST_F(EnvelopeTest, UnreachableServerIs1001WithCurlResult) {
  tarvik::state().apiBase = "https://127.0.0.1:" + std::to_string(refusedPort()) + "/api/";
  JsonPtr r = call();
  EXPECT_EQ(tarvik::errorCode(r), 1001);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0], std::make_pair(1001, std::string("Communication error has occurred.(7)")));
}

TEST_F(EnvelopeTest, RepeatedServerErrorIs1001WithTheStatus) {
  server.setDefault(Answer{500, "{\"error\":{\"code\":77,\"args\":[]}}"});
  JsonPtr r = call();
  EXPECT_EQ(tarvik::errorCode(r), 1001);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].second, "Communication error has occurred.(500)");
}

TEST_F(EnvelopeTest, ServiceErrorIsWordedByPosition) {
  addMessage(50, "x{0}y{1}z");
  addMessage(51, "{0}{0}");
  server.queue(Answer{200, R"({"error":{"code":50,"args":["a"]}})"});
  server.queue(Answer{200, R"({"error":{"code":51,"args":["p","q"]}})"});
  EXPECT_EQ(tarvik::errorCode(call()), 50);
  EXPECT_EQ(tarvik::errorCode(call()), 51);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], std::make_pair(50, std::string("xayz")));
  EXPECT_EQ(statuses[1], std::make_pair(51, std::string("pq")));
}

TEST_F(EnvelopeTest, UnknownCodeFailsSilently) {
  server.queue(Answer{200, R"({"error":{"code":4242,"args":[]}})"});
  JsonPtr r = call();
  EXPECT_TRUE(tarvik::isErrorResult(r));
  EXPECT_EQ(tarvik::errorCode(r), 4242);
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(EnvelopeTest, ErrorWithoutArgsArrayIsNotReported) {
  addMessage(52, "m");
  server.queue(Answer{200, R"({"error":{"code":52}})"});
  EXPECT_TRUE(tarvik::isErrorResult(call()));
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(EnvelopeTest, CodeOneUnmountsAfterTheCallback) {
  addMessage(1, "session over");
  server.queue(Answer{200, R"({"error":{"code":1,"args":[]}})"});
  call();
  EXPECT_EQ(StatusRecorder::take().size(), 1u);
  EXPECT_EQ(g_unmounts, 1);
  server.queue(Answer{200, R"({"error":{"code":2,"args":[]}})"});
  call();
  EXPECT_EQ(g_unmounts, 1);
}

TEST_F(EnvelopeTest, HandlerTakesOrPassesTheReport) {
  addMessage(999, "locked {0}");
  server.queue(Answer{200, R"({"error":{"code":999,"args":["f"]}})"});
  call("unlockResource", &takeAll);
  EXPECT_EQ(g_handled, "999:locked f");
  EXPECT_TRUE(StatusRecorder::take().empty());
  server.queue(Answer{200, R"({"error":{"code":999,"args":["g"]}})"});
  call("unlockResource", &takeNothing);
  EXPECT_EQ(g_handled, "999:locked g");
  EXPECT_EQ(StatusRecorder::take().size(), 1u);
}

TEST_F(EnvelopeTest, DownloadFailureIsReportedAndReturned) {
  tarvik::state().apiBase = "https://127.0.0.1:" + std::to_string(refusedPort()) + "/api/";
  int64_t bytes = 0;
  std::string digest;
  EXPECT_EQ(tarvik::downloadToFile("downloadBlock", {{"token", "t"}}, false,
                                   scratchDir() + "/b", &bytes, &digest, tarvik::Repeat::kSafe),
            7);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].first, 1001);
}

TEST_F(EnvelopeTest, DownloadedErrorDocumentIsNotInterpreted) {
  server.queue(Answer{200, R"({"error":{"code":1001,"args":["x"]}})"});
  int64_t bytes = 0;
  std::string digest;
  EXPECT_EQ(tarvik::downloadToFile("downloadBlock", {}, false, scratchDir() + "/b", &bytes,
                                   &digest, tarvik::Repeat::kSafe),
            0);
  EXPECT_GT(bytes, 0);
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST(Envelope, LocalErrorsUseTheTable) {
  useService("https://127.0.0.1:1/");
  tarvik::raiseLocalError(1004);
  tarvik::raiseLocalError(1234);  // no message: silent
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].first, 1004);
  EXPECT_EQ(statuses[0].second.rfind("The path where the file/folder", 0), 0u);
}

TEST(Envelope, ErrorTextsAndClassification) {
  EXPECT_EQ(tarvik::makeErrorText(1001, 7), R"({"error":{"code":1001,"args":["7"]}})");
  EXPECT_EQ(tarvik::makeErrorText(1002, 0), R"({"error":{"code":1002,"args":["0"]}})");
  EXPECT_TRUE(tarvik::isErrorResult(json::parse(R"({"error":{"code":3}})")));
  EXPECT_FALSE(tarvik::isErrorResult(json::parse(R"({"error":"text"})")));
  EXPECT_FALSE(tarvik::isErrorResult(json::parse(R"([{"error":{}}])")));
  EXPECT_FALSE(tarvik::isErrorResult(json::parse(R"({"error":{"code":3},)")));
  EXPECT_FALSE(tarvik::isErrorResult(nullptr));
  EXPECT_EQ(tarvik::errorCode(json::parse(R"({"error":{"code":3}})")), 3);
  EXPECT_EQ(tarvik::errorCode(json::parse(R"({"error":{"code":"3"}})")), 0);
  EXPECT_EQ(tarvik::errorCode(json::parse(R"({"result":1})")), 0);
  EXPECT_EQ(tarvik::errorCode(json::parse(R"({"error":{"code":1e300}})")), 0);
}

TEST(Envelope, PlaceholderFilling) {
  auto args = json::parse(R"(["A",5,"C"])");
  EXPECT_EQ(tarvik::fillPlaceholders("{0}-{1}-{2}-{3}", args), "A--C-");
  EXPECT_EQ(tarvik::fillPlaceholders("{x}{}{{0}}", args), "A{}{}");  // 5 is no text
  EXPECT_EQ(tarvik::fillPlaceholders("tail {", args), "tail {");
  EXPECT_EQ(tarvik::fillPlaceholders("{0", args), "{0");
  EXPECT_EQ(tarvik::fillPlaceholders("", args), "");
  // Long templates are filled completely.
  std::string longTemplate(5000, 'a');
  longTemplate += "{0}";
  longTemplate += std::string(3000, 'b');
  const std::string filled = tarvik::fillPlaceholders(longTemplate, args);
  EXPECT_EQ(filled.size(), 8001u);
  EXPECT_EQ(filled.substr(5000, 1), "A");
  EXPECT_EQ(filled.back(), 'b');
}

TEST(Envelope, MessageWithoutTheLanguageIsEmpty) {
  useService("https://127.0.0.1:1/", "fr");
  tarvik::raiseLocalError(1003);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].second, "");
}

TEST(Envelope, LocalCodePageConversion) {
  // Under the C locale Japanese text cannot be represented: empty text.
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(tarvik::utf8ToLocal("plain"), "plain");
  EXPECT_EQ(tarvik::utf8ToLocal("\xE8\xA8\xBC"), "");
  EXPECT_EQ(tarvik::utf8ToLocal(""), "");
  if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
    EXPECT_EQ(tarvik::utf8ToLocal("\xE8\xA8\xBC\xE6\x98\x8E"), "\xE8\xA8\xBC\xE6\x98\x8E");
    EXPECT_EQ(tarvik::utf8ToLocal("bad \xC3"), "");
  }
  std::setlocale(LC_ALL, "C");
}

TEST(ErrorTable, BuiltinsWinAndBadEntriesAreDropped) {
  auto table = tarvik::ErrorMessageTable::withBuiltins();
  EXPECT_EQ(table->size(), 8u);
  EXPECT_EQ(tarvik::ErrorMessageTable::builtinDocuments().size(), 8u);
  EXPECT_FALSE(table->insert(json::parse(R"({"code":1001, "ja":"x", "en":"replaced"})")));
  EXPECT_EQ(table->find(1001)->member("en")->text(), "Communication error has occurred.({0})");
  EXPECT_EQ(table->find(1002)->member("ja")->text(),
            "\xE5\x8F\xAA\xE4\xBB\x8A\xE3\x80\x81\xE3\x83\xA1\xE3\x83\xB3\xE3\x83\x86\xE3\x83\x8A"
            "\xE3\x83\xB3\xE3\x82\xB9\xE4\xB8\xAD\xE3\x81\xAE\xE3\x81\x9F\xE3\x82\x81\xE5\x88\xA9"
            "\xE7\x94\xA8\xE3\x81\xA7\xE3\x81\x8D\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82");
  EXPECT_NE(table->find(1005)->member("en")->text().find("manually.\r\n(Note)"),
            std::string::npos);
  EXPECT_FALSE(table->insert(json::parse(R"({"ja":"no code"})")));
  EXPECT_FALSE(table->insert(json::parse(R"({"code":"7"})")));
  EXPECT_FALSE(table->insert(json::parse(R"({"code":7.5})")));
  EXPECT_TRUE(table->insert(json::parse(R"({"code":7, "en":"seven"})")));
  EXPECT_EQ(table->find(7)->member("en")->text(), "seven");
  EXPECT_EQ(table->find(8), nullptr);
}

}  // namespace
