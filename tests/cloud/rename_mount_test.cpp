// Renames as real programs make them, on a FUSE mount of the drive against
// the local service: sed -i on a dotfile, a move onto an existing file while
// the service answers with its maintenance page, rsync's temporary dot
// names and git's lock files and packs. One service and one mount serve all
// cases (each in its own folder), so the suite takes seconds.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "drive_mount.h"
#include "local_service.h"
#include "private_dirs.h"
#include "tarvik.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<cannot open " + path + ">";
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return {"<opendir failed: " + std::string(strerror(errno)) + ">"};
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool hasProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

class RenameMountTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!tarvik_test::fuseAvailable()) return;
    scratch_ = tarvik_test::usePrivateDirectories();
    service_ = tarvik_test::LocalService::start().release();
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    if (tarvik_init(service_->url().c_str(), "en", false, nullptr) != 0) return;
    if (isErrorResult(api::pretestLogin(service_->demoCorp())) ||
        isErrorResult(api::login(service_->demoCorp(), service_->demoUser(),
                                 service_->demoPassword()))) {
      return;
    }
    drive_ = new tarvik_test::DriveMount();
    mounted_ = drive_->mount("tarvik-rename-");
  }
  static void TearDownTestSuite() {
    delete drive_;
    drive_ = nullptr;
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override {
    if (!tarvik_test::fuseAvailable()) GTEST_SKIP() << "FUSE is not available here";
    ASSERT_TRUE(mounted_) << "the drive did not mount";
    home_ = "/" + service_->demoUser();
  }
  void TearDown() override {
    if (service_) service_->admin("/admin/reset", "{}");
  }

  // A path below the drive's Home folder.
  std::string at(const std::string& p) { return drive_->dir() + "/Home" + p; }
  void put(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    out.close();
    ASSERT_TRUE(out.good()) << "cannot write " << path;
  }
  // Runs `command` with sh; its output goes to a log that a failure shows.
  ::testing::AssertionResult run(const std::string& command) {
    const std::string log = scratch_ + "/command.log";
    const int rc = std::system(("{ " + command + "; } >" + quoted(log) + " 2>&1").c_str());
    if (rc == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << command << "\nended with " << rc << ":\n" << slurp(log);
  }
  bool serviceLists(const std::string& folder, const std::string& name) {
    JsonPtr list = api::getEntries(home_ + folder);
    for (size_t i = 0; i < list->count(); ++i)
      if (list->element(i)->member("name")->text() == name) return true;
    return false;
  }

  static std::string scratch_;
  static tarvik_test::LocalService* service_;
  static tarvik_test::DriveMount* drive_;
  static bool mounted_;
  std::string home_;
};
std::string RenameMountTest::scratch_;
tarvik_test::LocalService* RenameMountTest::service_ = nullptr;
tarvik_test::DriveMount* RenameMountTest::drive_ = nullptr;
bool RenameMountTest::mounted_ = false;

// sed -i writes a temporary file beside the dotfile and moves it onto it.
TEST_F(RenameMountTest, SedInPlaceOnADotfile) {
  ASSERT_EQ(::mkdir(at("/sed").c_str(), 0755), 0) << strerror(errno);
  put(at("/sed/.conf"), "x=1\n");
  EXPECT_TRUE(run("sed -i 's/1/2/' " + quoted(at("/sed/.conf"))));
  EXPECT_EQ(slurp(at("/sed/.conf")), "x=2\n");
  EXPECT_EQ(listDir(at("/sed")), std::vector<std::string>{".conf"});
  EXPECT_TRUE(serviceLists("/sed", ".conf"));
}

// A move onto an existing file that the service answers with its
// maintenance page fails, and both files keep their content; once the
// service answers again, the move replaces the file.
TEST_F(RenameMountTest, MoveOntoAFileDuringMaintenanceKeepsBoth) {
  ASSERT_EQ(::mkdir(at("/mv").c_str(), 0755), 0) << strerror(errno);
  put(at("/mv/e.txt"), "old content");
  put(at("/mv/e.tmp2"), "new content");
  service_->admin("/admin/fault", R"({"kind":"maintenance","method":"moveResource","count":1})");
  EXPECT_EQ(::rename(at("/mv/e.tmp2").c_str(), at("/mv/e.txt").c_str()), -1);
  EXPECT_EQ(errno, EIO) << strerror(errno);
  EXPECT_EQ(slurp(at("/mv/e.txt")), "old content");
  EXPECT_EQ(slurp(at("/mv/e.tmp2")), "new content");
  EXPECT_TRUE(serviceLists("/mv", "e.txt"));

  ASSERT_EQ(::rename(at("/mv/e.tmp2").c_str(), at("/mv/e.txt").c_str()), 0) << strerror(errno);
  EXPECT_EQ(slurp(at("/mv/e.txt")), "new content");
  EXPECT_EQ(listDir(at("/mv")), std::vector<std::string>{"e.txt"});
}

// The same with the target held open by another program (a viewer, tail -f):
// libfuse first moves an open target to a hidden name of its own before it
// asks for the move. A move that fails, or that RENAME_NOREPLACE refuses,
// leaves the target with its content; one that succeeds replaces it, and
// the open descriptor still reads the old content without ever committing
// it over the new one.
TEST_F(RenameMountTest, MoveOntoAFileHeldOpenKeepsItUntilTheMoveSucceeds) {
  ASSERT_EQ(::mkdir(at("/held").c_str(), 0755), 0) << strerror(errno);
  put(at("/held/e.txt"), "old content");
  put(at("/held/e.tmp2"), "new content");
  const int viewer = ::open(at("/held/e.txt").c_str(), O_RDONLY);
  ASSERT_GE(viewer, 0) << strerror(errno);
  auto viewed = [&] {
    char buf[64] = {};
    const ssize_t n = ::pread(viewer, buf, sizeof buf, 0);
    return n < 0 ? std::string("error ") + strerror(errno) : std::string(buf, n);
  };

  service_->admin("/admin/fault", R"({"kind":"maintenance","method":"moveResource","count":1})");
  EXPECT_EQ(::rename(at("/held/e.tmp2").c_str(), at("/held/e.txt").c_str()), -1);
  EXPECT_EQ(errno, EIO) << strerror(errno);
  EXPECT_TRUE(serviceLists("/held", "e.txt")) << "the failed move took the target away";
  EXPECT_EQ(slurp(at("/held/e.txt")), "old content");
  EXPECT_EQ(viewed(), "old content");

  EXPECT_EQ(::renameat2(AT_FDCWD, at("/held/e.tmp2").c_str(), AT_FDCWD, at("/held/e.txt").c_str(),
                        RENAME_NOREPLACE),
            -1);
  EXPECT_EQ(errno, EEXIST) << strerror(errno);
  EXPECT_TRUE(serviceLists("/held", "e.txt")) << "RENAME_NOREPLACE took the target away";

  ASSERT_EQ(::rename(at("/held/e.tmp2").c_str(), at("/held/e.txt").c_str()), 0) << strerror(errno);
  EXPECT_EQ(slurp(at("/held/e.txt")), "new content");
  EXPECT_EQ(viewed(), "old content");
  EXPECT_EQ(::close(viewer), 0);
  EXPECT_EQ(slurp(at("/held/e.txt")), "new content");
  EXPECT_EQ(listDir(at("/held")), std::vector<std::string>{"e.txt"});
}

// rsync writes each file as ".name.XXXXXX" and moves it onto its name; a
// second run over the copy replaces the files it finds changed.
TEST_F(RenameMountTest, RsyncOfDotfilesTwice) {
  if (!hasProgram("rsync")) GTEST_SKIP() << "rsync is not installed";
  const std::string src = scratch_ + "/rsync-src";
  ASSERT_TRUE(run("mkdir -p " + quoted(src + "/.config/app") + " " + quoted(src + "/sub")));
  put(src + "/.profile", "export A=1\n");
  put(src + "/.config/app/.state", "state\n");
  put(src + "/sub/plain.txt", "plain\n");
  put(src + "/sub/data.bin", std::string(70000, 'd'));
  const std::string dst = at("/rs");
  const std::string rsync = "rsync -a " + quoted(src + "/") + " " + quoted(dst + "/");
  ASSERT_TRUE(run(rsync));
  EXPECT_TRUE(run("diff -r " + quoted(src) + " " + quoted(dst)));

  // The drive shows its own times (utimensat has no effect): a file changed
  // within the second of its copy, at its old size, looks unchanged to
  // rsync's quick check, so the changed files change their size too.
  put(src + "/.profile", "export A=22\n");
  put(src + "/sub/data.bin", std::string(50000, 'e'));
  ASSERT_TRUE(run(rsync));
  EXPECT_TRUE(run("diff -r " + quoted(src) + " " + quoted(dst)));
  EXPECT_EQ(listDir(dst), (std::vector<std::string>{".config", ".profile", "sub"}));
}

// git moves lock files onto the index and refs, and its repack moves packs
// through ".tmp-" names.
TEST_F(RenameMountTest, GitRepositoryWithGarbageCollection) {
  if (!hasProgram("git")) GTEST_SKIP() << "git is not installed";
  const std::string repo = at("/repo");
  const std::string git = "git -C " + quoted(repo) +
                          " -c user.name=Tester -c user.email=tester@example.invalid"
                          " -c gc.auto=0 -c maintenance.auto=false";
  ASSERT_TRUE(run("git init -q " + quoted(repo)));
  for (int i = 1; i <= 3; ++i) {
    const std::string n = std::to_string(i);
    put(repo + "/file" + n + ".txt", "version " + n + "\n");
    put(repo + "/file1.txt", "changed in commit " + n + "\n");
    ASSERT_TRUE(run(git + " add -A && " + git + " commit -q -m 'commit " + n + "'"));
  }
  EXPECT_TRUE(run(git + " gc -q"));
  EXPECT_TRUE(run(git + " fsck --full --no-progress"));
  EXPECT_TRUE(run("test \"$(" + git + " rev-list --count HEAD)\" = 3"));
  EXPECT_TRUE(run("ls " + quoted(repo + "/.git/objects/pack") + " | grep -q '^pack-.*\\.pack$'"));
}

}  // namespace
}  // namespace tarvik
