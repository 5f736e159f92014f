#include "webapi_test_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/directories.h"
#include "core/library_state.h"
#include "log/log.h"
#include "test_pki.h"
#include "webapi/envelope.h"
#include "webapi/error_table.h"

namespace webapi_test {

namespace {

std::mutex g_statusMutex;
std::vector<std::pair<int, std::string>> g_statuses;
std::string g_root;
std::atomic<int> g_scratchCounter{0};

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    char dirTemplate[] = "/tmp/webapi-test-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    g_root = dirTemplate;
    const std::string home = g_root + "/home";
    const std::string tmp = g_root + "/tmp";
    ::mkdir(home.c_str(), 0700);
    ::mkdir(tmp.c_str(), 0700);
    setenv("USERPROFILE", home.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("CURL_CA_BUNDLE", pki().caFile.c_str(), 1);
    // Proxies from the environment must not leak into the tests.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_EQ(tarvik::globalInitialize(), 0);
  }
  void TearDown() override {
    tarvik::log::stop();
    tarvik::removeRecursive(g_root);
  }
};

[[maybe_unused]] const auto* g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

}  // namespace

void StatusRecorder::callback(int32_t code, const char* message) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  g_statuses.emplace_back(code, message != nullptr ? message : "(null)");
}

std::vector<std::pair<int, std::string>> StatusRecorder::take() {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  auto out = std::move(g_statuses);
  g_statuses.clear();
  return out;
}

void StatusRecorder::clear() { take(); }

void useService(const std::string& baseUrl, const std::string& language) {
  tarvik::LibraryState& st = tarvik::state();
  st.apiBase = baseUrl + "api/";
  st.language = language;
  st.statusCallback = &StatusRecorder::callback;
  st.requestCounter = 0;
  st.errorTable = tarvik::ErrorMessageTable::withBuiltins();
  st.arrayid.clear();
  st.jsessionid.clear();
  st.corpId.clear();
  st.userId.clear();
  st.proxyHost.clear();
  st.proxyPort = 0;
  st.proxyType = 0;
  st.proxyUser.clear();
  st.proxyPassword.clear();
  st.certificate = nullptr;
  st.debug = false;
  StatusRecorder::clear();
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string scratchDir() {
  const std::string dir = g_root + "/scratch" + std::to_string(g_scratchCounter++);
  ::mkdir(dir.c_str(), 0700);
  return dir;
}

}  // namespace webapi_test
