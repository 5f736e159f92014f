// tarvik-mount as a child process against the local service and a real
// FUSE mount: how it ends (Ctrl-C after the session ended, an unmount from
// outside followed at once by SIGTERM) and how it refuses mount points that
// cannot take the drive. Every run must end by itself with the expected
// status; the child runs with leak detection on, so in a sanitizer build a
// leak at exit fails the run as well.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "local_service.h"
#include "mount_points.h"
#include "private_dirs.h"

namespace {

using namespace std::chrono_literals;
using tarvik_test::LocalService;

// Longest a run may take to end once asked; a hang fails the test here.
constexpr auto kEndLimit = 60s;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

template <class Pred>
bool waitFor(Pred pred, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// One tarvik-mount run: the password on its standard input, standard output
// and error into one file. The destructor kills a run that is still going
// and lazily unmounts its mount point, so a failed test leaves nothing
// behind.
class MountRun {
 public:
  MountRun(const LocalService& service, const std::string& mountPoint, const std::string& output,
           std::vector<std::string> extra = {})
      : mountPoint_(mountPoint), output_(output) {
    std::vector<std::string> args = {TARVIK_MOUNT_BINARY, "--url", service.url(), "--corp",
                                     service.demoCorp(), "--user", service.demoUser(),
                                     "--password-stdin"};
    for (auto& e : extra) args.push_back(e);
    args.push_back(mountPoint);
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) throw std::runtime_error("cannot open " + output);
    // Leak detection on whatever the test run says: a leak at exit fails.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    asan += std::string(asan.empty() ? "" : ":") + "detect_leaks=1";
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out, 1);
      ::dup2(out, 2);
      setenv("ASAN_OPTIONS", asan.c_str(), 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out);
    const std::string password = service.demoPassword() + "\n";
    if (::write(in[1], password.data(), password.size()) < 0) ADD_FAILURE() << "no password sent";
    ::close(in[1]);
  }
  ~MountRun() {
    if (pid_ <= 0) return;  // ended by itself: whatever it mounted is its own business
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    if (dokan::IsMountPoint(mountPoint_)) {
      std::system(("fusermount3 -uz '" + mountPoint_ + "' 2>/dev/null").c_str());
    }
  }
  MountRun(const MountRun&) = delete;
  MountRun& operator=(const MountRun&) = delete;

  std::string output() const { return readFile(output_); }

  ::testing::AssertionResult mounted() {
    if (waitFor([&] { return output().find("Mounted on") != std::string::npos || ended(); },
                kEndLimit) &&
        !ended()) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "not mounted; output:\n" << output();
  }

  void signal(int sig) { ::kill(pid_, sig); }

  // Waits for the run to end; false when it is still running after `limit`.
  bool ends(std::chrono::seconds limit) { return waitFor([&] { return ended(); }, limit); }
  int status() const { return status_; }

 private:
  bool ended() {
    if (pid_ <= 0) return true;
    if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }

  pid_t pid_ = -1;
  int status_ = -1;
  std::string mountPoint_;
  std::string output_;
};

class TarvikMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
    root_ = tarvik_test::usePrivateDirectories();
    service_ = LocalService::start();
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    mnt_ = root_ + "/mnt-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(mnt_.c_str(), 0755);
  }

  std::string outputFile(int n = 0) const { return mnt_ + ".out" + std::to_string(n); }

  // The newest log file of the library (one per start, named by time).
  std::string newestLog() const {
    const std::string dir = root_ + "/.korbel/log";
    std::string newest;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0 && n > newest) newest = n;
      }
      closedir(d);
    }
    return newest.empty() ? "" : readFile(dir + "/" + newest);
  }

  std::string root_;
  std::unique_ptr<LocalService> service_;
  std::string mnt_;
};

TEST_F(TarvikMountTest, CtrlCAfterTheSessionEndedUnmountsAndExits) {
  MountRun run(*service_, mnt_, outputFile());
  ASSERT_TRUE(run.mounted());
  service_->admin("/admin/expireSession", R"({"all": true})");
  run.signal(SIGINT);
  ASSERT_TRUE(run.ends(kEndLimit)) << "still running after Ctrl-C; output:\n" << run.output();
  EXPECT_EQ(describe(run.status()), "exit 0") << run.output();
  const std::string out = run.output();
  EXPECT_NE(out.find("[1] "), std::string::npos) << "the ended session is reported:\n" << out;
  EXPECT_NE(out.find("Unmounted."), std::string::npos) << out;
  EXPECT_FALSE(dokan::IsMountPoint(mnt_));
}

TEST_F(TarvikMountTest, OutsideUnmountAndSigtermAtOnceEndAfterTheTeardown) {
  // What a desktop logout does. The logout of the teardown is held up on
  // the service, so the program is asked to end while its mount thread is
  // inside that request: it must wait for the teardown, then exit cleanly.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    MountRun run(*service_, mnt_, outputFile(round), {"--log"});
    ASSERT_TRUE(run.mounted());
    service_->admin("/admin/fault", R"({"kind":"delay","method":"logout","ms":700})");
    ASSERT_EQ(std::system(("fusermount3 -u '" + mnt_ + "'").c_str()), 0);
    run.signal(SIGTERM);
    ASSERT_TRUE(run.ends(kEndLimit)) << "still running after SIGTERM; output:\n" << run.output();
    EXPECT_EQ(describe(run.status()), "exit 0") << run.output();
    // The frame's exit logs its end once logout has answered.
    EXPECT_NE(newestLog().find("exit-out"), std::string::npos)
        << "the process ended inside its teardown";
  }
}

TEST_F(TarvikMountTest, MountPointThatCannotTakeTheDriveFailsAtOnce) {
  // A file: refused before signing in.
  const std::string file = root_ + "/a-file";
  std::ofstream(file) << "kept";
  {
    MountRun run(*service_, file, outputFile(0));
    ASSERT_TRUE(run.ends(kEndLimit));
    EXPECT_EQ(describe(run.status()), "exit 1");
    EXPECT_NE(run.output().find(file + " is not a directory"), std::string::npos) << run.output();
    EXPECT_EQ(readFile(file), "kept");
  }

  // A directory that already carries a mount: refused, and the first drive
  // goes on serving.
  MountRun first(*service_, mnt_, outputFile(1));
  ASSERT_TRUE(first.mounted());
  {
    MountRun second(*service_, mnt_, outputFile(2));
    ASSERT_TRUE(second.ends(kEndLimit)) << "mounted on top:\n" << second.output();
    EXPECT_EQ(describe(second.status()), "exit 1");
    EXPECT_NE(second.output().find(mnt_ + " is already a mount point"), std::string::npos)
        << second.output();
  }
  struct stat st;
  EXPECT_EQ(stat((mnt_ + "/Home").c_str(), &st), 0) << "the first drive still answers";
  first.signal(SIGINT);
  ASSERT_TRUE(first.ends(kEndLimit)) << first.output();
  EXPECT_EQ(describe(first.status()), "exit 0") << first.output();
  EXPECT_FALSE(dokan::IsMountPoint(mnt_));
}

TEST_F(TarvikMountTest, CacheOnASmallDiskTakesALargeCopyAndASmallFileAfterIt) {
  // The cache on a 40 MiB file system, a copy of 100 MiB through the drive:
  // the disk fills with blocks that only the copy holds; they are committed
  // and give way instead of failing the copy, and the disk never stays full.
  const std::string cache = root_ + "/small-cache";
  mkdir(cache.c_str(), 0700);
  if (std::system(("mount -t tmpfs -o size=40m,mode=0700 tmpfs '" + cache + "'").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  const std::string source = root_ + "/source.bin";
  ASSERT_EQ(std::system(("head -c 100M /dev/urandom > '" + source + "'").c_str()), 0);
  setenv("TMPDIR", cache.c_str(), 1);
  MountRun run(*service_, mnt_, outputFile(), {"--log"});
  setenv("TMPDIR", root_.c_str(), 1);
  ASSERT_TRUE(run.mounted());
  const std::string home = mnt_ + "/Home";
  EXPECT_EQ(std::system(("cp '" + source + "' '" + home + "/copy.bin'").c_str()), 0);
  EXPECT_EQ(std::system(("echo hello > '" + home + "/small.txt'").c_str()), 0);
  EXPECT_EQ(readFile(home + "/small.txt"), "hello\n");
  EXPECT_EQ(std::system(("cmp '" + source + "' '" + home + "/copy.bin'").c_str()), 0);
  run.signal(SIGINT);
  ASSERT_TRUE(run.ends(kEndLimit)) << run.output();
  (void)std::system(("umount -l '" + cache + "'").c_str());
}

// Runs `tarvik-mount --pending` for the demo account; its output.
std::string pendingList(const LocalService& service) {
  const std::string cmd = std::string(TARVIK_MOUNT_BINARY) + " --pending --corp '" +
                          service.demoCorp() + "' --user '" + service.demoUser() + "' 2>&1";
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

TEST_F(TarvikMountTest, FilesThatWaitWhenTheDriveIsKilledAreUploadedByTheNextMount) {
  // Three files written while the service is down: their closes fail, their
  // content is kept. The drive is killed before the service is back; the
  // waiting files are listed without a mount and arrive with the next one.
  auto run = std::make_unique<MountRun>(*service_, mnt_, outputFile(0));
  ASSERT_TRUE(run->mounted());
  const std::string home = mnt_ + "/Home";
  std::vector<std::string> contents;
  std::vector<int> fds;
  for (int k = 0; k < 3; ++k) {
    std::string body((3 << 20) + 1000 * k + 7, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + k) % 26);
    contents.push_back(body);
    const int fd = ::open((home + "/wait" + std::to_string(k) + ".bin").c_str(),
                          O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(::write(fd, body.data(), 1 << 20), 1 << 20);
    fds.push_back(fd);
  }
  service_->stop();
  for (int k = 0; k < 3; ++k) {
    const std::string& body = contents[k];
    ASSERT_EQ(::write(fds[k], body.data() + (1 << 20), body.size() - (1 << 20)),
              static_cast<ssize_t>(body.size() - (1 << 20)));
    EXPECT_NE(::close(fds[k]), 0) << "close reports that the content is not on the service";
  }
  run->signal(SIGKILL);
  ASSERT_TRUE(run->ends(kEndLimit));
  run.reset();  // the dead mount stays: the next mount takes it away

  const std::string listed = pendingList(*service_);
  EXPECT_NE(listed.find("3 files wait for upload"), std::string::npos) << listed;
  for (int k = 0; k < 3; ++k) {
    EXPECT_NE(listed.find("wait" + std::to_string(k) + ".bin"), std::string::npos) << listed;
  }

  service_->restart();
  MountRun again(*service_, mnt_, outputFile(1));
  ASSERT_TRUE(again.mounted());
  EXPECT_NE(again.output().find("took away the dead drive"), std::string::npos) << again.output();
  EXPECT_TRUE(waitFor([&] { return pendingList(*service_).find("No files wait") != std::string::npos; },
                      kEndLimit))
      << pendingList(*service_);
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(readFile(home + "/wait" + std::to_string(k) + ".bin") == contents[k]) << k;
  }
  again.signal(SIGINT);
  ASSERT_TRUE(again.ends(kEndLimit)) << again.output();
  EXPECT_NE(again.output().find("No files wait for upload."), std::string::npos) << again.output();
}

}  // namespace
