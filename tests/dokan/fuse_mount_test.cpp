// Ordinary programs' calls against a real FUSE mount of the Dokan layer, the
// adapter and the frame over an in-memory operation table.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "drive/decas_frame.h"
#include "memory_table.h"
#include "mount_points.h"

namespace {

bool FuseAvailable() {
  return access("/dev/fuse", R_OK | W_OK) == 0 && access("/usr/bin/fusermount3", X_OK) == 0;
}

class FuseMount : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FuseAvailable()) GTEST_SKIP() << "FUSE is not available here (/dev/fuse or fusermount3 missing)";
    char dir[] = "/tmp/tarvik-mnt-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    mnt_ = dir;
    memtable::state().reset();
    tarvik::decas_setTableFiller(memtable::fill);
    ASSERT_EQ(tarvik::decas_main(mnt_, 16, false, false), 0);
    for (int i = 0; i < 500 && !dokan::IsMountPoint(mnt_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(dokan::IsMountPoint(mnt_)) << "the drive did not mount";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) tarvik::decas_exit();
    if (!mnt_.empty()) {
      if (dokan::IsMountPoint(mnt_)) {
        std::string cmd = "fusermount3 -u -z " + mnt_;
        (void)system(cmd.c_str());
      }
      rmdir(mnt_.c_str());
    }
  }
  std::string at(const std::string& p) { return mnt_ + p; }

  std::string mnt_;
  bool mounted_ = false;
};

std::string ReadAll(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<open failed>";
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

bool WriteAll(const std::string& path, const std::string& data, int flags) {
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return close(fd) == 0 && ok;
}

TEST_F(FuseMount, CreateWriteReadAppendTruncate) {
  ASSERT_TRUE(WriteAll(at("/a.txt"), "hello", O_CREAT | O_WRONLY | O_TRUNC));
  EXPECT_EQ(memtable::state().content("/a.txt"), "hello");
  EXPECT_EQ(ReadAll(at("/a.txt")), "hello");
  ASSERT_TRUE(WriteAll(at("/a.txt"), " world", O_WRONLY | O_APPEND));
  EXPECT_EQ(ReadAll(at("/a.txt")), "hello world");
  ASSERT_EQ(truncate(at("/a.txt").c_str(), 4), 0);
  EXPECT_EQ(memtable::state().content("/a.txt"), "hell");
  struct stat st;
  ASSERT_EQ(stat(at("/a.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 4);
  // O_EXCL on an existing file fails.
  EXPECT_LT(open(at("/a.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644), 0);
  EXPECT_EQ(errno, EEXIST);
}

TEST_F(FuseMount, LargeSequentialWriteKeepsEveryByte) {
  std::string data(3 * 1024 * 1024 + 123, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  ASSERT_TRUE(WriteAll(at("/big.bin"), data, O_CREAT | O_WRONLY | O_TRUNC));
  EXPECT_TRUE(memtable::state().content("/big.bin") == data);
  EXPECT_TRUE(ReadAll(at("/big.bin")) == data);
}

TEST_F(FuseMount, RenameUnlinkMkdirRmdir) {
  ASSERT_TRUE(WriteAll(at("/old"), "x", O_CREAT | O_WRONLY));
  ASSERT_EQ(rename(at("/old").c_str(), at("/new").c_str()), 0);
  EXPECT_FALSE(memtable::state().exists("/old"));
  EXPECT_EQ(memtable::state().content("/new"), "x");
  // Replacing an existing file.
  ASSERT_TRUE(WriteAll(at("/other"), "y", O_CREAT | O_WRONLY));
  ASSERT_EQ(rename(at("/other").c_str(), at("/new").c_str()), 0);
  EXPECT_EQ(memtable::state().content("/new"), "y");

  ASSERT_EQ(mkdir(at("/d").c_str(), 0755), 0);
  EXPECT_TRUE(memtable::state().exists("/d"));
  ASSERT_TRUE(WriteAll(at("/d/f"), "z", O_CREAT | O_WRONLY));
  EXPECT_NE(rmdir(at("/d").c_str()), 0);
  EXPECT_EQ(errno, ENOTEMPTY);
  ASSERT_EQ(unlink(at("/d/f").c_str()), 0);
  EXPECT_FALSE(memtable::state().exists("/d/f"));
  ASSERT_EQ(rmdir(at("/d").c_str()), 0);
  EXPECT_FALSE(memtable::state().exists("/d"));
  // Deletes by an ordinary program are permanent.
  for (auto& c : memtable::state().callsOf("remove")) EXPECT_FALSE(c.flag);
  EXPECT_NE(unlink(at("/missing").c_str()), 0);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FuseMount, ReaddirOfThousandEntriesWithAttributesFromTheListing) {
  ASSERT_EQ(mkdir(at("/many").c_str(), 0755), 0);
  for (int i = 0; i < 1000; ++i) memtable::state().put("/many/f" + std::to_string(i), std::string(i % 7, 'a'));
  int opensBefore = memtable::state().count("open") + memtable::state().count("opendir");
  DIR* d = opendir(at("/many").c_str());
  ASSERT_NE(d, nullptr);
  std::set<std::string> names;
  while (dirent* e = readdir(d)) names.insert(e->d_name);
  closedir(d);
  EXPECT_EQ(names.size(), 1002u);  // with "." and ".."
  EXPECT_TRUE(names.count("f999"));
  // ls -l: the attributes came with the listing, so stat costs no service call.
  for (int i = 0; i < 1000; i += 9) {
    struct stat st;
    ASSERT_EQ(stat(at("/many/f" + std::to_string(i)).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, i % 7);
  }
  int opensAfter = memtable::state().count("open") + memtable::state().count("opendir");
  EXPECT_LT(opensAfter - opensBefore, 10) << "stat after a listing went to the table";
}

TEST_F(FuseMount, StatfsReportsTheTableSpace) {
  struct statvfs sv;
  ASSERT_EQ(statvfs(mnt_.c_str(), &sv), 0);
  EXPECT_EQ(static_cast<int64_t>(sv.f_blocks * sv.f_frsize), memtable::state().capacity);
  EXPECT_EQ(static_cast<int64_t>(sv.f_bavail * sv.f_frsize), memtable::state().free);
  // The volume's 256 is capped at the 255 bytes the drive takes in a name.
  EXPECT_EQ(sv.f_namemax, 255u);
}

TEST_F(FuseMount, FailedWriteReachesTheApplication) {
  memtable::state().fail("write", -28);
  int fd = open(at("/w").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "data", 4), -1);
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
  // The file this open created is removed at cleanup.
  for (int i = 0; i < 100 && memtable::state().exists("/w"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(memtable::state().exists("/w"));
}

TEST_F(FuseMount, FailedFlushFailsClose) {
  int fd = open(at("/f").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "data", 4), 4);
  memtable::state().fail("flush", -(tarvik::DECAS_OS_ERROR_BASE + 112));
  EXPECT_EQ(close(fd), -1);
  EXPECT_EQ(errno, ENOSPC);
}

TEST_F(FuseMount, UnmountFromOutsideEndsTheMount) {
  ASSERT_TRUE(WriteAll(at("/keep"), "k", O_CREAT | O_WRONLY));
  std::string cmd = "fusermount3 -u " + mnt_;
  ASSERT_EQ(system(cmd.c_str()), 0);
  // The mount thread ends and the frame's exit(0) runs once.
  for (int i = 0; i < 500 && memtable::state().count("exit") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(memtable::state().count("exit"), 1);
  EXPECT_FALSE(dokan::IsMountPoint(mnt_));
  EXPECT_EQ(tarvik::decas_exit(), -1);  // nothing left to remove
  mounted_ = false;
  // A later mount works again.
  ASSERT_EQ(tarvik::decas_main(mnt_, 16, false, false), 0);
  for (int i = 0; i < 500 && !dokan::IsMountPoint(mnt_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(dokan::IsMountPoint(mnt_));
  mounted_ = true;
}

TEST_F(FuseMount, RemoveMountPointWithOpenFileFlushesAndCloses) {
  int fd = open(at("/open").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "pending", 7), 7);
  int flushesBefore = memtable::state().count("flush");
  EXPECT_EQ(tarvik::decas_exit(), 0);
  mounted_ = false;
  EXPECT_GT(memtable::state().count("flush"), flushesBefore);
  EXPECT_EQ(memtable::state().count("exit"), 1);
  EXPECT_EQ(memtable::state().openFiles.load(), 0);
  EXPECT_EQ(memtable::state().content("/open"), "pending");
  close(fd);
}

TEST_F(FuseMount, RemoveMountPointWithADeletedFileStillOpen) {
  // The kernel keeps the deleted file under a hidden name; the unmount's
  // teardown removes that name after the requests are gone, and must
  // neither crash nor bring the file back.
  int fd = open(at("/deleted").c_str(), O_CREAT | O_RDWR, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "gone", 4), 4);
  ASSERT_EQ(unlink(at("/deleted").c_str()), 0);
  EXPECT_EQ(tarvik::decas_exit(), 0);
  mounted_ = false;
  EXPECT_EQ(memtable::state().count("exit"), 1);
  EXPECT_FALSE(memtable::state().exists("/deleted"));
  close(fd);
}

}  // namespace
