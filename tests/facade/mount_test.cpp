// Sign-in, mount, session upkeep and unmount through the library's exports,
// against the local service and a real FUSE mount.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/worker_pools.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "drive/decas_frame.h"
#include "local_service.h"
#include "mount_points.h"
#include "tarvik.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"
#include "wincrypt.h"

namespace {

using namespace std::chrono_literals;
using tarvik_test::LocalService;

std::mutex g_statusMutex;
std::vector<std::pair<int, std::string>> g_status;

void collectStatus(int32_t code, const char* message) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  g_status.emplace_back(code, message ? message : "");
}

std::vector<int> statusCodes() {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  std::vector<int> out;
  for (const auto& s : g_status) out.push_back(s.first);
  return out;
}

bool hasStatus(int code) {
  for (int c : statusCodes())
    if (c == code) return true;
  return false;
}

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  out.close();
  return static_cast<bool>(out);
}

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// Runs `fn` on a thread of its own and says whether it ended in time, so a
// hung mount fails the test instead of hanging it.
template <class Fn>
bool endsWithin(Fn fn, std::chrono::seconds limit) {
  auto task = std::make_shared<std::packaged_task<void()>>(fn);
  auto done = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  return done.wait_for(limit) == std::future_status::ready;
}

// Ends the process after `limit` unless dismissed first: an export that
// must run on the test's own thread and hangs there fails the run instead
// of hanging it.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, const char* what)
      : thread_([this, limit, what] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "hung: %s\n", what);
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// The API lines of the current log file (requests the library sent).
std::vector<std::string> requestsInLog() {
  const std::string dir = tarvik::state().logDir;
  std::string newest;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0 && n > newest) newest = n;
    }
    closedir(d);
  }
  std::vector<std::string> out;
  std::istringstream in(readFile(dir + "/" + newest));
  for (std::string line; std::getline(in, line);) {
    const size_t info = line.find("; INFO]: https://");
    if (info == std::string::npos) continue;
    const size_t api = line.find("/api/", info);
    const size_t q = line.find('?', api);
    if (api != std::string::npos && q != std::string::npos) out.push_back(line.substr(api + 5, q - api - 5));
  }
  return out;
}

size_t logFileCount() {
  size_t n = 0;
  if (DIR* d = opendir(tarvik::state().logDir.c_str())) {
    while (dirent* e = readdir(d)) n += std::strstr(e->d_name, ".log") != nullptr;
    closedir(d);
  }
  return n;
}

class MountTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/tarvik-mount-XXXXXX";
    root_ = new std::string(mkdtemp(tmpl));
    mkdir((*root_ + "/home").c_str(), 0700);
    mkdir((*root_ + "/tmp").c_str(), 0700);
    setenv("USERPROFILE", (*root_ + "/home").c_str(), 1);
    setenv("TMPDIR", (*root_ + "/tmp").c_str(), 1);
    ASSERT_EQ(tarvik::globalInitialize(), 0);
  }
  static void TearDownTestSuite() {
    if (!std::getenv("KEEP_ROOT")) tarvik::removeRecursive(*root_);
    delete root_;
  }

  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
    service_ = LocalService::start();
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    mnt_ = *root_ + "/mnt";
    mkdir(mnt_.c_str(), 0755);
    {
      std::lock_guard<std::mutex> lock(g_statusMutex);
      g_status.clear();
    }
  }

  void TearDown() override {
    // Also waits for a removal the library started by itself (session
    // ended), so no thread of the library outlives the test.
    tarvik_unmount();
    if (mounted()) std::system(("fusermount3 -uz " + mnt_).c_str());
    tarvik::setKeepAliveIntervalForTesting(300LL * 1000 * 1000);
    service_.reset();
  }

  bool mounted() const { return !mnt_.empty() && dokan::IsMountPoint(mnt_); }

  int init() { return tarvik_init(service_->url().c_str(), "en", true, collectStatus); }

  int mount() {
    return tarvik_mount(mnt_.c_str(), service_->demoCorp().c_str(), service_->demoUser().c_str(),
                        service_->demoPassword().c_str(), 16, false);
  }

  ::testing::AssertionResult mountedSoon() {
    if (waitFor([&] { return mounted(); }, 10s)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the drive did not appear on " << mnt_;
  }

  std::string home() const { return mnt_ + "/Home"; }
  // Files of the demo account that wait for upload.
  int waiting() const {
    return tarvik_getPendingUploads(service_->demoCorp().c_str(), service_->demoUser().c_str(),
                                    nullptr, 0, nullptr);
  }

  static std::string* root_;
  std::unique_ptr<LocalService> service_;
  std::string mnt_;
};
std::string* MountTest::root_ = nullptr;

TEST_F(MountTest, UnmountBeforeAnyMountAsksNothing) {
  EXPECT_EQ(tarvik_unmount(), -1);
}

TEST_F(MountTest, MountAndUnmountTwiceInOneProcess) {
  const size_t logsBefore = logFileCount();
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  ASSERT_TRUE(writeFile(home() + "/first.txt", "one"));
  EXPECT_EQ(readFile(home() + "/first.txt"), "one");
  ASSERT_EQ(tarvik_unmount(), 0);
  EXPECT_FALSE(mounted());
  EXPECT_EQ(requestsInLog().back(), "logout");
  const int pools = tarvik::worker_pools_testing::poolsCreated();

  ASSERT_EQ(init(), 0);
  EXPECT_EQ(logFileCount(), logsBefore + 2);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_EQ(readFile(home() + "/first.txt"), "one");
  ASSERT_TRUE(writeFile(home() + "/second.txt", "two"));
  ASSERT_EQ(tarvik_unmount(), 0);
  EXPECT_EQ(tarvik::worker_pools_testing::poolsCreated(), pools) << "the pools are reused";

  // The second log starts its own request count at 0.
  const std::string log = readFile(tarvik::state().logDir + "/" + [] {
    std::string newest;
    DIR* d = opendir(tarvik::state().logDir.c_str());
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) > newest && std::strstr(e->d_name, ".log")) newest = e->d_name;
    closedir(d);
    return newest;
  }());
  EXPECT_NE(log.find("getErrorMessages?_client=qwo&_version="), std::string::npos);
  EXPECT_NE(log.find("&requestid=0\r\n"), std::string::npos);
  EXPECT_EQ(statusCodes(), std::vector<int>{});
}

TEST_F(MountTest, DriveRemovedFromOutsideCanBeMountedAgain) {
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  ASSERT_TRUE(writeFile(home() + "/kept.txt", "kept"));
  ASSERT_EQ(std::system(("fusermount3 -u " + mnt_).c_str()), 0);
  ASSERT_TRUE(waitFor([&] { return !mounted(); }, 10s));
  EXPECT_EQ(tarvik_unmount(), -1) << "nothing left to remove";
  ASSERT_EQ(mount(), 0) << "the ended mount does not block the next one";
  ASSERT_TRUE(mountedSoon());
  EXPECT_EQ(readFile(home() + "/kept.txt"), "kept");
  ASSERT_EQ(tarvik_unmount(), 0);
}

TEST_F(MountTest, WrongPasswordFailsAndKeepsTheArrayId) {
  ASSERT_EQ(init(), 0);
  const std::string sessionBefore = tarvik::state().jsessionid;
  EXPECT_EQ(tarvik_mount(mnt_.c_str(), service_->demoCorp().c_str(), service_->demoUser().c_str(),
                         "not the password", 16, false),
            -1);
  EXPECT_FALSE(mounted());
  char js[TARVIK_JSESSIONID_SIZE], ar[TARVIK_ARRAYID_SIZE];
  ASSERT_EQ(tarvik_getSessionInfo(js, ar), 0);
  EXPECT_STRNE(ar, "");
  EXPECT_EQ(std::string(js), sessionBefore) << "a failed login leaves the session values as they were";
  EXPECT_FALSE(statusCodes().empty()) << "the refusal reaches the user";
  EXPECT_EQ(tarvik_unmount(), -1);
}

TEST_F(MountTest, EmptyPasswordIsRefusedWithoutARequest) {
  ASSERT_EQ(init(), 0);
  const std::vector<std::string> before = requestsInLog();
  for (const char* password : {"", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(tarvik_mount(mnt_.c_str(), service_->demoCorp().c_str(),
                           service_->demoUser().c_str(), password, 16, false),
              1111);
  }
  EXPECT_FALSE(mounted());
  EXPECT_EQ(requestsInLog(), before) << "no sign-in request was sent";
  EXPECT_EQ(statusCodes(), std::vector<int>{}) << "the caller words this refusal itself";
  EXPECT_EQ(tarvik_unmount(), -1);
}

TEST_F(MountTest, MountForSessionSendsNothingBeforeTheFirstListing) {
  ASSERT_EQ(init(), 0);
  ASSERT_FALSE(tarvik::isErrorResult(tarvik::api::pretestLogin(service_->demoCorp())));
  ASSERT_FALSE(tarvik::isErrorResult(
      tarvik::api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
  const std::string js = tarvik::state().jsessionid, ar = tarvik::state().arrayid;

  ASSERT_EQ(init(), 0);  // a new log: only getErrorMessages so far
  ASSERT_EQ(tarvik_mountForSession(mnt_.c_str(), service_->demoCorp().c_str(),
                                   service_->demoUser().c_str(), js.c_str(), ar.c_str(), 16, false),
            0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_EQ(requestsInLog(), std::vector<std::string>{"getErrorMessages"});

  DIR* d = opendir(home().c_str());
  ASSERT_NE(d, nullptr);
  bool welcome = false;
  while (dirent* e = readdir(d)) welcome |= std::string(e->d_name) == "Welcome.txt";
  closedir(d);
  EXPECT_TRUE(welcome);
  const auto sent = requestsInLog();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0], "getErrorMessages");

  ASSERT_EQ(tarvik_unmount(), 0);
  for (const auto& m : requestsInLog()) EXPECT_NE(m, "logout") << "the caller's session is kept";
  EXPECT_FALSE(tarvik::state().sessionFromCaller);
}

TEST_F(MountTest, KeepAliveRunsEveryInterval) {
  tarvik::setKeepAliveIntervalForTesting(1000 * 1000);
  ASSERT_EQ(init(), 0);
  // Measured from the mount: a slow start of the drive may come after
  // the first run, and the bound below is a lower one.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_TRUE(waitFor(
      [] {
        int n = 0;
        for (const auto& m : requestsInLog()) n += m == "keepSession";
        return n >= 3;
      },
      10s));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 2s) << "runs are an interval apart, not back to back";
  ASSERT_EQ(tarvik_unmount(), 0);
}

TEST_F(MountTest, KeepAliveWithLostSessionReportsAndUnmounts) {
  tarvik::setKeepAliveIntervalForTesting(500 * 1000);
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  service_->admin("/admin/fault", R"({"kind":"error","method":"keepSession","code":1,"count":1})");
  EXPECT_TRUE(waitFor([&] { return !mounted(); }, 15s)) << "code 1 takes the drive down";
  EXPECT_TRUE(hasStatus(1));
}

TEST_F(MountTest, SessionEndedOnTheServiceNeverHangsTheUnmount) {
  // Unmount after the session expired: the teardown's logout hears "session
  // ended", which must not start a second removal of the drive.
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  service_->admin("/admin/expireSession", R"({"all": true})");
  {
    Watchdog watchdog(60s, "tarvik_unmount after the session expired");
    EXPECT_EQ(tarvik_unmount(), 0);
  }
  EXPECT_FALSE(mounted());
  EXPECT_TRUE(hasStatus(1));

  // The keep-alive hears it first: the library takes the drive down by
  // itself, and the caller's unmount afterwards finds it gone.
  tarvik::setKeepAliveIntervalForTesting(300 * 1000);
  ASSERT_EQ(mount(), 0) << "a new sign-in mounts again";
  ASSERT_TRUE(mountedSoon());
  service_->admin("/admin/expireSession", R"({"all": true})");
  EXPECT_TRUE(waitFor([&] { return !mounted(); }, 30s)) << "the ended session takes the drive down";
  {
    Watchdog watchdog(60s, "tarvik_unmount after the library removed the drive");
    EXPECT_EQ(tarvik_unmount(), -1) << "nothing left to remove";
  }
}

TEST_F(MountTest, UnmountWithOpenFilesLosesNothing) {
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  const std::string big = pattern(9 * 1024 * 1024 + 5, 7);  // crosses a block boundary
  int fds[3];
  const char* names[3] = {"/open-a.bin", "/open-b.bin", "/open-c.bin"};
  for (int i = 0; i < 3; ++i) {
    fds[i] = ::open((home() + names[i]).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fds[i], 0) << names[i];
  }
  ASSERT_EQ(::write(fds[0], "saved", 5), 5);
  ASSERT_EQ(::fsync(fds[0]), 0);
  ASSERT_EQ(::write(fds[2], big.data(), big.size()), static_cast<ssize_t>(big.size()));  // unsaved
  ASSERT_TRUE(endsWithin([] { EXPECT_EQ(tarvik_unmount(), 0); }, 60s)) << "unmount hung";
  for (int fd : fds) ::close(fd);
  EXPECT_FALSE(mounted());

  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_EQ(readFile(home() + names[0]), "saved");
  EXPECT_EQ(readFile(home() + names[1]), "");
  EXPECT_TRUE(readFile(home() + names[2]) == big) << "the unsaved writes reached the service";
  ASSERT_EQ(tarvik_unmount(), 0);
}

// Files still open when the unmount's wait for commits is over are kept on
// this computer, and the next mount commits them.
TEST_F(MountTest, OpenFilesLeftAfterTheUnmountWaitArriveWithTheNextMount) {
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  const std::string data = pattern(7 * 1024 * 1024 + 1, 5);
  const std::string path = home() + "/late.bin";
  int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  tarvik::decas_testing::setUnmountUploadWaitMilliseconds(0);
  {
    Watchdog watchdog(60s, "tarvik_unmount with a file open");
    EXPECT_EQ(tarvik_unmount(), 0);  // on the mounting thread: it waits for the removal
  }
  tarvik::decas_testing::setUnmountUploadWaitMilliseconds(30 * 1000);
  ::close(fd);
  // Kept; a background retry pass nudged by the keep before the drive's
  // exit stopped the retries may have committed it already (the unmount
  // itself asks nothing of the service: SharedContentTest checks that).
  ASSERT_LE(waiting(), 1);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_TRUE(waitFor([&] {
    return waiting() == 0;
  }, 60s)) << "the kept file is uploaded";
  ASSERT_EQ(tarvik_unmount(), 0);
  ASSERT_EQ(tarvik_clearCache(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_TRUE(readFile(path) == data) << "the service has other content";
}

// The session ends in the middle of a write: the commit at close cannot be
// made, the drive goes down, and the content written before and after the
// end is kept; the next sign-in uploads it with no action of the user.
TEST_F(MountTest, FileWrittenAcrossTheEndOfTheSessionArrivesAfterTheNextSignIn) {
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  const std::string data = pattern(12 * 1024 * 1024 + 3, 11);  // two blocks and a bit
  const std::string path = home() + "/across.bin";
  const size_t half = data.size() / 2;
  int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, data.data(), half), static_cast<ssize_t>(half));
  service_->admin("/admin/expireSession", R"({"all": true})");
  ASSERT_EQ(::write(fd, data.data() + half, data.size() - half),
            static_cast<ssize_t>(data.size() - half));
  EXPECT_NE(::close(fd), 0) << "the close cannot say the file is on the service";
  EXPECT_TRUE(waitFor([&] { return !mounted(); }, 30s)) << "the ended session takes the drive down";
  EXPECT_TRUE(hasStatus(1006)) << "the user hears that the file is kept";
  ASSERT_EQ(waiting(), 1);

  ASSERT_EQ(mount(), 0) << "the next sign-in";
  ASSERT_TRUE(mountedSoon());
  EXPECT_TRUE(waitFor([&] {
    return waiting() == 0;
  }, 60s)) << "the kept file is uploaded";
  ASSERT_EQ(tarvik_unmount(), 0);
  ASSERT_EQ(tarvik_clearCache(), 0);  // what is read next comes from the service
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  EXPECT_TRUE(readFile(path) == data) << "the service has other content";
}

// A sign-in right after a removal that runs in the background waits for
// that removal: its teardown ends with the old session's logout, which must
// not end the new session.
TEST_F(MountTest, SignInDuringABackgroundRemovalKeepsTheNewSession) {
  if (!dokan::IsMountPoint("/sys/fs/fuse/connections"))
    GTEST_SKIP() << "an unmount with open files needs the fusectl file system";
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  // The open file keeps the old drive's teardown going for a few seconds
  // (until the connection is aborted), so a new sign-in comes before its
  // logout unless it waits.
  const int fd = ::open((home() + "/pending.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "pending", 7), 7);
  std::thread([] { EXPECT_EQ(tarvik_unmount(), 0); }).join();  // another thread: background removal
  {
    Watchdog watchdog(60s, "hung: sign-in during a background removal");
    ASSERT_EQ(mount(), 0);
  }
  ::close(fd);
  ASSERT_TRUE(mountedSoon());
  EXPECT_EQ(readFile(home() + "/pending.txt"), "pending");
  ASSERT_TRUE(writeFile(home() + "/after.txt", "new session"));
  EXPECT_EQ(readFile(home() + "/after.txt"), "new session");
  EXPECT_FALSE(hasStatus(1)) << "the old session's logout ended the new session";
  EXPECT_TRUE(mounted());
}

TEST_F(MountTest, ServiceGoneGivesCleanErrorsAndTheDriveComesBack) {
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  ASSERT_TRUE(mountedSoon());
  ASSERT_TRUE(writeFile(home() + "/before.txt", "before"));

  service_->stop();
  struct stat st;
  int rc = 0;
  ASSERT_TRUE(endsWithin([&] { rc = ::stat((home() + "/not-cached.txt").c_str(), &st); }, 60s))
      << "a request to a gone service must not hang the drive";
  EXPECT_EQ(rc, -1);
  bool created = true;
  ASSERT_TRUE(endsWithin([&] { created = writeFile(home() + "/during.txt", "x"); }, 90s));
  EXPECT_FALSE(created) << "a write that cannot reach the service fails";
  EXPECT_TRUE(hasStatus(1001));
  EXPECT_TRUE(mounted());

  service_->restart();
  EXPECT_TRUE(waitFor([&] { return readFile(home() + "/before.txt") == "before"; }, 20s));
  ASSERT_TRUE(writeFile(home() + "/after.txt", "after"));
  EXPECT_EQ(readFile(home() + "/after.txt"), "after");
  ASSERT_EQ(tarvik_unmount(), 0);
}

TEST_F(MountTest, AnnouncementShownOnceThenMarkedRead) {
  service_->admin("/admin/announcement", R"({"text":"Maintenance on Sunday","modified":1796000000123})");
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(mount(), 0);
  char text[TARVIK_ANNOUNCEMENT_SIZE];
  int64_t modified = 0;
  ASSERT_EQ(tarvik_getAnnouncement(false, text, &modified), 0);
  EXPECT_STREQ(text, "Maintenance on Sunday");
  EXPECT_EQ(modified, 1796000000123LL) << "milliseconds beyond 32 bits are kept";
  ASSERT_EQ(tarvik_markReadCurrentAnnouncement(), 0);
  std::strcpy(text, "stale");
  ASSERT_EQ(tarvik_getAnnouncement(false, text, &modified), 0);
  EXPECT_STREQ(text, "");
  ASSERT_EQ(tarvik_getAnnouncement(true, text, &modified), 0);
  EXPECT_STREQ(text, "Maintenance on Sunday") << "force shows it again";
  ASSERT_EQ(tarvik_unmount(), 0);
}

TEST_F(MountTest, PkiInfoNamesTheCertificateUser) {
  // Without a certificate the service cannot tell who is asking: -1 and the
  // outputs untouched.
  ASSERT_EQ(init(), 0);
  char corp[TARVIK_CORPID_SIZE] = "keep", user[TARVIK_USERID_SIZE] = "keep";
  bool required = true;
  EXPECT_EQ(tarvik_getPKIInfo(corp, user, &required), -1);
  EXPECT_STREQ(corp, "keep");
  EXPECT_STREQ(user, "keep");
  EXPECT_TRUE(required);

  // With the certificate on the certificate host, the service names its user.
  const std::string pem = service_->issueClientCert(service_->demoCorp(), service_->demoUser());
  PCCERT_CONTEXT cert = win32::CertCreateContextFromPemFile(pem);
  ASSERT_NE(cert, nullptr);
  tarvik_setCertificate(cert);
  ASSERT_EQ(tarvik_init(service_->certUrl().c_str(), "en", true, collectStatus), 0);
  EXPECT_EQ(tarvik_getPKIInfo(corp, user, &required), 0);
  EXPECT_EQ(std::string(corp), service_->demoCorp());
  EXPECT_EQ(std::string(user), service_->demoUser());
  tarvik_setCertificate(nullptr);
  CertFreeCertificateContext(cert);
}

}  // namespace
