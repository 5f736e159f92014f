// Directory tree, global initialisation and the cache exports. The global
// initialisation runs once per process, so each scenario runs in a forked
// child with its own environment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "core/directories.h"
#include "core/library_state.h"
#include "tarvik.h"

namespace {

#define CHILD_CHECK(cond)                                                   \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                             \
    }                                                                       \
  } while (0)

int runInChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

void writeFile(const std::string& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

class DirectoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvik-dirs-XXXXXX";
    root_ = mkdtemp(tmpl);
    home_ = root_ + "/home";
    tmp_ = root_ + "/tmp";
    mkdir(home_.c_str(), 0700);
    mkdir(tmp_.c_str(), 0700);
  }
  void TearDown() override { tarvik::removeRecursive(root_); }
  void useEnv() {
    setenv("USERPROFILE", home_.c_str(), 1);
    setenv("TMPDIR", tmp_.c_str(), 1);
  }
  std::string root_, home_, tmp_;
};

TEST_F(DirectoriesTest, CacheExportsWorkBeforeInitAndCreateTheTree) {
  EXPECT_EQ(runInChild([&] {
              useEnv();
              int64_t bytes = -5;
              CHILD_CHECK(tarvik_getCacheUsage(&bytes) == 0);
              CHILD_CHECK(bytes == 0);
              CHILD_CHECK(exists(home_ + "/.korbel/log"));
              CHILD_CHECK(exists(tmp_ + "/korbel/block"));
              CHILD_CHECK(exists(tmp_ + "/korbel/tmp"));
              struct stat st;
              CHILD_CHECK(stat((tmp_ + "/korbel").c_str(), &st) == 0 && (st.st_mode & 0777) == 0700);
              writeFile(tmp_ + "/korbel/block/a#3", "abc");
              mkdir((tmp_ + "/korbel/block/sub").c_str(), 0700);
              writeFile(tmp_ + "/korbel/block/sub/b#5", "hello");
              CHILD_CHECK(tarvik_getCacheUsage(&bytes) == 0);
              CHILD_CHECK(bytes == 8);
              CHILD_CHECK(tarvik_clearCache() == 0);
              CHILD_CHECK(exists(tmp_ + "/korbel/block"));
              CHILD_CHECK(!exists(tmp_ + "/korbel/block/a#3"));
              CHILD_CHECK(tarvik_getCacheUsage(&bytes) == 0);
              CHILD_CHECK(bytes == 0);
              return 0;
            }),
            0);
}

TEST_F(DirectoriesTest, GlobalInitEmptiesTemporaryDirectoryAndKeepsBlocks) {
  mkdir((tmp_ + "/korbel").c_str(), 0700);
  mkdir((tmp_ + "/korbel/block").c_str(), 0700);
  mkdir((tmp_ + "/korbel/tmp").c_str(), 0700);
  mkdir((tmp_ + "/korbel/tmp/deep").c_str(), 0700);
  writeFile(tmp_ + "/korbel/tmp/7.tmp", "left over");
  writeFile(tmp_ + "/korbel/tmp/deep/x", "x");
  writeFile(tmp_ + "/korbel/block/kept#4", "kept");
  EXPECT_EQ(runInChild([&] {
              useEnv();
              CHILD_CHECK(tarvik::globalInitialize() == 0);
              CHILD_CHECK(!exists(tmp_ + "/korbel/tmp/7.tmp"));
              CHILD_CHECK(!exists(tmp_ + "/korbel/tmp/deep"));
              CHILD_CHECK(exists(tmp_ + "/korbel/tmp"));
              CHILD_CHECK(exists(tmp_ + "/korbel/block/kept#4"));
              CHILD_CHECK(tarvik::temporaryFileName() == tmp_ + "/korbel/tmp/0.tmp");
              CHILD_CHECK(tarvik::temporaryFileName() == tmp_ + "/korbel/tmp/1.tmp");
              // A second initialisation does nothing more.
              writeFile(tmp_ + "/korbel/tmp/9.tmp", "new");
              CHILD_CHECK(tarvik::globalInitialize() == 0);
              CHILD_CHECK(exists(tmp_ + "/korbel/tmp/9.tmp"));
              return 0;
            }),
            0);
}

TEST_F(DirectoriesTest, SecondProcessLeavesTheFirstOnesTemporaryFilesAlone) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  std::fflush(nullptr);
  const pid_t first = fork();
  if (first == 0) {
    useEnv();
    if (tarvik::globalInitialize() != 0) _exit(1);
    const std::string name = tarvik::temporaryFileName();
    writeFile(name, "private block copy");
    char c = 'r';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    if (read(done[0], &c, 1) != 1) _exit(3);  // stay alive while the second one starts
    _exit(exists(name) ? 0 : 4);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(runInChild([&] {
              useEnv();
              CHILD_CHECK(tarvik::globalInitialize() == 0);
              CHILD_CHECK(exists(tmp_ + "/korbel/tmp/0.tmp"));
              const std::string mine = tarvik::temporaryFileName();
              CHILD_CHECK(mine != tmp_ + "/korbel/tmp/0.tmp");
              writeFile(mine, "x");
              CHILD_CHECK(exists(mine));
              return 0;
            }),
            0);
  ASSERT_EQ(write(done[1], "d", 1), 1);
  int status = 0;
  waitpid(first, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // With both gone, the next start empties the directory again.
  EXPECT_EQ(runInChild([&] {
              useEnv();
              CHILD_CHECK(tarvik::globalInitialize() == 0);
              CHILD_CHECK(!exists(tmp_ + "/korbel/tmp/0.tmp"));
              CHILD_CHECK(tarvik::temporaryFileName() == tmp_ + "/korbel/tmp/0.tmp");
              return 0;
            }),
            0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(DirectoriesTest, HomeFallsBackWhenUserProfileIsUnset) {
  EXPECT_EQ(runInChild([&] {
              unsetenv("USERPROFILE");
              setenv("HOME", home_.c_str(), 1);
              setenv("TMPDIR", tmp_.c_str(), 1);
              CHILD_CHECK(tarvik::globalInitialize() == 0);
              CHILD_CHECK(tarvik::state().logDir == home_ + "/.korbel/log");
              CHILD_CHECK(exists(home_ + "/.korbel/log"));
              return 0;
            }),
            0);
}

TEST_F(DirectoriesTest, NoHomeAtAllFailsCleanlyWithoutDirectoryWork) {
  EXPECT_EQ(runInChild([&] {
              unsetenv("USERPROFILE");
              unsetenv("HOME");
              setenv("TMPDIR", tmp_.c_str(), 1);
              CHILD_CHECK(tarvik::globalInitialize() == -tarvik::kStatusNoHomeDirectory);
              int64_t bytes = 77;
              CHILD_CHECK(tarvik_getCacheUsage(&bytes) < 0);
              CHILD_CHECK(bytes == 77);
              CHILD_CHECK(tarvik_clearCache() < 0);
              CHILD_CHECK(!exists(tmp_ + "/korbel"));
              return 0;
            }),
            0);
}

TEST_F(DirectoriesTest, CacheRootOpenToOthersIsRefused) {
  mkdir((tmp_ + "/korbel").c_str(), 0700);
  chmod((tmp_ + "/korbel").c_str(), 0755);
  mkdir((tmp_ + "/korbel/block").c_str(), 0700);
  writeFile(tmp_ + "/korbel/block/x#1", "x");
  EXPECT_EQ(runInChild([&] {
              useEnv();
              CHILD_CHECK(tarvik::globalInitialize() == -tarvik::kStatusCacheRootUnsafe);
              CHILD_CHECK(tarvik_clearCache() == -tarvik::kStatusCacheRootUnsafe);
              CHILD_CHECK(exists(tmp_ + "/korbel/block/x#1"));
              return 0;
            }),
            0);
}

TEST_F(DirectoriesTest, CacheRootThatIsALinkIsRefused) {
  const std::string elsewhere = root_ + "/elsewhere";
  mkdir(elsewhere.c_str(), 0700);
  ASSERT_EQ(symlink(elsewhere.c_str(), (tmp_ + "/korbel").c_str()), 0);
  EXPECT_EQ(runInChild([&] {
              useEnv();
              CHILD_CHECK(tarvik::globalInitialize() == -tarvik::kStatusCacheRootUnsafe);
              CHILD_CHECK(!exists(elsewhere + "/block"));
              return 0;
            }),
            0);
}

TEST_F(DirectoriesTest, RecursiveDeleteAndSize) {
  const std::string d = root_ + "/tree";
  EXPECT_EQ(tarvik::removeRecursive(d), 0) << "an absent path is not an error";
  int64_t bytes = 99;
  EXPECT_EQ(tarvik::sizeRecursive(d, bytes), 0);
  EXPECT_EQ(bytes, 99) << "an absent path leaves the output untouched";
  ASSERT_EQ(tarvik::makeDirectories(d + "/a/b/c"), 0);
  writeFile(d + "/a/one", "1");
  writeFile(d + "/a/b/two", "22");
  writeFile(d + "/a/b/c/three", "333");
  ASSERT_EQ(symlink("/etc/passwd", (d + "/a/link").c_str()), 0);
  bytes = 0;
  ASSERT_EQ(tarvik::sizeRecursive(d, bytes), 0);
  EXPECT_EQ(bytes, 6 + static_cast<int64_t>(std::string("/etc/passwd").size()));
  EXPECT_EQ(tarvik::sizeRecursive(d + "/a/b/two", bytes), 0);
  EXPECT_EQ(bytes, 2);
  EXPECT_EQ(tarvik::removeRecursive(d), 0);
  EXPECT_FALSE(exists(d));
  EXPECT_TRUE(exists("/etc/passwd")) << "links are removed, never followed";
}

}  // namespace
