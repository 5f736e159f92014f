// The namespace against the local service: through the frame's entry
// functions and through a real FUSE mount of the drive, as a shell sees it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache/file_context.h"
#include "core/library_state.h"
#include "cloud/cloud_table.h"
#include "drive/decas_frame.h"
#include "cloud/root_layout.h"
#include "drive_mount.h"
#include "local_service.h"
#include "private_dirs.h"
#include "mount_points.h"
#include "tarvik.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

std::mutex g_mutex;
std::vector<int> g_codes;
void recordStatus(int32_t code, const char*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_codes.push_back(code);
}
std::vector<int> codes() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_codes;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return {"<opendir failed: " + std::to_string(errno) + ">"};
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
  for (const auto& x : v)
    if (x == s) return true;
  return false;
}

bool serviceLists(const std::string& folder, const std::string& name) {
  JsonPtr list = api::getEntries(folder);
  for (size_t i = 0; i < list->count(); ++i)
    if (list->element(i)->member("name")->text() == name) return true;
  return false;
}

int runShell(const std::string& cmd) { return system(cmd.c_str()); }

class NamespaceMountTest : public ::testing::Test {
 protected:
  void mountWithLanguage(const char* language) {
    if (!tarvik_test::fuseAvailable()) GTEST_SKIP() << "FUSE is not available here (/dev/fuse or fusermount3 missing)";
    tarvik_test::usePrivateDirectories();
    service_ = tarvik_test::LocalService::start();
    ASSERT_TRUE(service_) << "the local service did not start";
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    ASSERT_EQ(tarvik_init(service_->url().c_str(), language, getenv("NS_TEST_DEBUG") != nullptr, recordStatus), 0);
    ASSERT_FALSE(isErrorResult(api::pretestLogin(service_->demoCorp())));
    ASSERT_FALSE(isErrorResult(
        api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
    home_ = "/" + service_->demoUser();
    trash_ = "/!" + service_->demoUser();
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_codes.clear();
    }
    ASSERT_TRUE(drive_.mount("tarvik-ns-")) << "the drive did not mount";
    mnt_ = drive_.dir();
  }
  void TearDown() override {
    drive_.unmount();
    service_.reset();
  }
  std::string at(const std::string& p) { return mnt_ + p; }
  void put(const std::string& drivePath, const std::string& data) {
    int fd = ::open(at(drivePath).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << drivePath << " errno " << errno;
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::close(fd), 0);
  }

  std::unique_ptr<tarvik_test::LocalService> service_;
  tarvik_test::DriveMount drive_;
  std::string mnt_, home_, trash_;
};

TEST_F(NamespaceMountTest, RootListingInEnglishWithoutSystemFolder) {
  mountWithLanguage("en");
  auto names = listDir(mnt_);
  EXPECT_EQ(names.size(), 3u);
  EXPECT_TRUE(contains(names, "Home"));
  EXPECT_TRUE(contains(names, "Shared folders"));
  EXPECT_TRUE(contains(names, "Trash"));
  EXPECT_FALSE(contains(names, "__system__"));
  struct stat st {};
  EXPECT_EQ(::stat(at("/Homework").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(::stat(at("/Home").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(NamespaceMountTest, RootListingInJapanese) {
  mountWithLanguage("ja");
  auto names = listDir(mnt_);
  EXPECT_EQ(names.size(), 3u);
  EXPECT_TRUE(contains(names, "ホーム"));
  EXPECT_TRUE(contains(names, "共有されているフォルダ"));
  EXPECT_TRUE(contains(names, "ごみ箱"));
}

TEST_F(NamespaceMountTest, ProtectedAreasRefuseWritesAndDeletes) {
  mountWithLanguage("en");
  EXPECT_EQ(::mkdir(at("/Trash/x").c_str(), 0755), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(::mkdir(at("/Shared folders/x").c_str(), 0755), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(::open(at("/Trash/new.txt").c_str(), O_CREAT | O_WRONLY, 0644), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_NE(::rmdir(at("/Home").c_str()), 0);
  EXPECT_NE(::rename(at("/Home").c_str(), at("/Home2").c_str()), 0);
  EXPECT_EQ(::open(at("/Homework").c_str(), O_CREAT | O_WRONLY, 0644), -1);
}

TEST_F(NamespaceMountTest, MkdirWriteListAndStatThroughTheDrive) {
  mountWithLanguage("en");
  ASSERT_EQ(::mkdir(at("/Home/docs").c_str(), 0755), 0);
  EXPECT_TRUE(serviceLists(home_, "docs"));
  put("/Home/docs/a.txt", "hello");
  auto names = listDir(at("/Home/docs"));
  EXPECT_TRUE(contains(names, "a.txt"));
  struct stat st {};
  ASSERT_EQ(::stat(at("/Home/docs/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);

  // A file open for writing shows its local size in the listing before it
  // is committed.
  int fd = ::open(at("/Home/docs/b.txt").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  std::string data(3000, 'x');
  ASSERT_EQ(::write(fd, data.data(), data.size()), 3000);
  names = listDir(at("/Home/docs"));
  EXPECT_TRUE(contains(names, "b.txt"));
  ASSERT_EQ(::stat(at("/Home/docs/b.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3000);
  ::close(fd);

  // Dot names are names like any other, also as the target of a move.
  ASSERT_EQ(::rename(at("/Home/docs/a.txt").c_str(), at("/Home/docs/.a").c_str()), 0)
      << strerror(errno);
  EXPECT_TRUE(serviceLists(home_ + "/docs", ".a"));
  EXPECT_FALSE(serviceLists(home_ + "/docs", "a.txt"));
}

TEST_F(NamespaceMountTest, TrashMovesDeletesAndRestore) {
  mountWithLanguage("en");
  put("/Home/t1.txt", "one");
  put("/Home/t2.txt", "two");
  // Into the trash through the frame (as Explorer's delete does), then a
  // manual move into the trash is refused.
  EXPECT_EQ(decas_remove("/Home/t1.txt", true), 0);
  EXPECT_TRUE(serviceLists(trash_, "t1.txt"));
  EXPECT_EQ(::rename(at("/Home/t2.txt").c_str(), at("/Trash/t2.txt").c_str()), -1);
  EXPECT_EQ(errno, EACCES);

  // Out of the trash by hand is allowed.
  ASSERT_EQ(::rename(at("/Trash/t1.txt").c_str(), at("/Home/back.txt").c_str()), 0)
      << "errno " << errno;
  EXPECT_TRUE(serviceLists(home_, "back.txt"));

  // Deleting inside the trash is permanent, whatever to_trash says.
  EXPECT_EQ(decas_remove("/Home/back.txt", true), 0);
  EXPECT_EQ(decas_remove("/Trash/back.txt", true), 0);
  EXPECT_FALSE(serviceLists(trash_, "back.txt"));

  // Restore through the frame's rename onto __restore__: back to the
  // original path, and the drive shows it there.
  EXPECT_EQ(decas_remove("/Home/t2.txt", true), 0);
  ASSERT_TRUE(serviceLists(trash_, "t2.txt"));
  EXPECT_EQ(decas_rename("/Trash/t2.txt", "/__system__/__restore__", false), 0);
  EXPECT_TRUE(serviceLists(home_, "t2.txt"));
  EXPECT_FALSE(serviceLists(trash_, "t2.txt"));
  EXPECT_TRUE(contains(listDir(at("/Home")), "t2.txt"));
}

// The shell forms of the system commands need the drive layer to let
// lookups of "/__system__" succeed; without that they cannot be reached.
bool systemFolderReachable(const std::string& mnt) {
  struct stat st {};
  return ::stat((mnt + "/__system__").c_str(), &st) == 0;
}

TEST_F(NamespaceMountTest, ShellRestoreWithMvOntoRestoreTarget) {
  mountWithLanguage("en");
  ASSERT_TRUE(systemFolderReachable(mnt_)) << "the system folder must be reachable for its names";
  put("/Home/s1.txt", "s");
  EXPECT_EQ(decas_remove("/Home/s1.txt", true), 0);
  EXPECT_EQ(runShell("mv '" + at("/Trash/s1.txt") + "' '" + at("/__system__/__restore__") + "'"), 0);
  EXPECT_TRUE(serviceLists(home_, "s1.txt"));
}

TEST_F(NamespaceMountTest, RestoreFailuresReachTheStatusCallback) {
  mountWithLanguage("en");
  // A folder made directly in the trash has no original place: 1005.
  ASSERT_FALSE(isErrorResult(api::makeDirectory(trash_ + "/old")));
  EXPECT_EQ(decas_rename("/Trash/old", "/__system__/__restore__", false), -13);
  // The original place is taken: the move back fails, 1004.
  put("/Home/c.txt", "c");
  EXPECT_EQ(decas_remove("/Home/c.txt", true), 0);
  // Something else now takes the original place (made on the service, so
  // the kernel's name cache of the drive plays no part).
  ASSERT_FALSE(isErrorResult(api::makeDirectory(home_ + "/c.txt")));
  EXPECT_EQ(decas_rename("/Trash/c.txt", "/__system__/__restore__", false), -13);
  std::vector<int> got = codes();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0], 1005);
  bool saw1004 = false;
  for (int c : got) saw1004 |= c == 1004;
  EXPECT_TRUE(saw1004);
  // The trash folder itself never reaches the service as a restore source.
  EXPECT_EQ(decas_rename("/Trash", "/__system__/__restore__", false), -13);
}

TEST_F(NamespaceMountTest, EmptyTrashThroughTheCommandFile) {
  mountWithLanguage("en");
  put("/Home/e.txt", "e");
  EXPECT_EQ(decas_remove("/Home/e.txt", true), 0);
  ASSERT_TRUE(serviceLists(trash_, "e.txt"));
  // Through the frame, as the extension does it: open with creation, the
  // byte-order mark at offset 0, then the command at offset 3.
  StatRecord sys{};
  EXPECT_EQ(decas_stat("/__system__", &sys), -2);
  EXPECT_EQ(sys.type, ENTRY_SYSTEM);
  DecasHandle cmd;
  cmd.setPath("/__system__/__cmd__");
  cmd.openFlags = OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE;
  ASSERT_EQ(decas_open("/__system__/__cmd__", &cmd), 0);
  EXPECT_EQ(decas_write("/__system__/__cmd__", "emptyTrash\n", 11, 0, true, &cmd), 11);
  EXPECT_TRUE(serviceLists(trash_, "e.txt"));  // a line end makes it another text
  EXPECT_EQ(decas_write("/__system__/__cmd__", "\xEF\xBB\xBF", 3, 0, true, &cmd), 3);
  EXPECT_TRUE(serviceLists(trash_, "e.txt"));
  EXPECT_EQ(decas_write("/__system__/__cmd__", "emptyTrash", 10, 3, true, &cmd), 10);
  EXPECT_FALSE(serviceLists(trash_, "e.txt"));
  EXPECT_EQ(decas_close("/__system__/__cmd__", &cmd), 0);
}

TEST_F(NamespaceMountTest, ShellEmptyTrashWithByteOrderMarkFirst) {
  mountWithLanguage("en");
  ASSERT_TRUE(systemFolderReachable(mnt_)) << "the system folder must be reachable for its names";
  put("/Home/e2.txt", "e");
  EXPECT_EQ(decas_remove("/Home/e2.txt", true), 0);
  ASSERT_TRUE(serviceLists(trash_, "e2.txt"));
  // The folder opens, but its names are never listed.
  DIR* sys = opendir(at("/__system__").c_str());
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(readdir(sys), nullptr);
  closedir(sys);
  runShell("{ printf '\\357\\273\\277'; printf 'emptyTrash'; } > '" + at("/__system__/__cmd__") + "'");
  EXPECT_FALSE(serviceLists(trash_, "e2.txt"));
}

TEST_F(NamespaceMountTest, LockedElsewhereRefusesWriterAndTwoHandlesShareMetadata) {
  mountWithLanguage("en");
  put("/Home/l.txt", "locked");
  service_->admin("/admin/fault",
                  R"({"kind":"error","method":"lockResource","code":66,"count":2})");
  DecasHandle writer;
  writer.setPath("/Home/l.txt");
  writer.openFlags = OPEN_READ | OPEN_WRITE | OPEN_SHARE_LOCK;
  EXPECT_EQ(decas_open("/Home/l.txt", &writer), -DECAS_STATUS_RESOURCE_LOCKED);
  EXPECT_EQ(statusToWin32(DECAS_STATUS_RESOURCE_LOCKED), 32);

  DecasHandle reader1, reader2;
  reader1.setPath("/Home/l.txt");
  reader2.setPath("/Home/l.txt");
  reader1.openFlags = reader2.openFlags = OPEN_READ;
  ASSERT_EQ(decas_open("/Home/l.txt", &reader1), 0);
  ASSERT_EQ(decas_open("/Home/l.txt", &reader2), 0);
  ASSERT_TRUE(reader1.fileContext && reader2.fileContext);
  EXPECT_EQ(reader1.fileContext->meta, reader2.fileContext->meta);
  StatRecord r{};
  EXPECT_EQ(decas_fstat("/Home/l.txt", &r, &reader2), 0);
  EXPECT_EQ(r.size, 6);
  EXPECT_EQ(decas_close("/Home/l.txt", &reader1), 0);
  EXPECT_EQ(decas_close("/Home/l.txt", &reader2), 0);
  service_->admin("/admin/reset", "{}");
}

std::string slurp(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<open failed: " + std::to_string(errno) + ">";
  std::string out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

// On Linux "\" is an ordinary character of a name, but the drive cannot
// store it: every call that takes such a name is refused and nothing is
// touched. Names over 255 bytes are refused as on Linux file systems, and a
// path longer than the service takes is "too long", not "invalid".
TEST_F(NamespaceMountTest, BackslashesAndOverlongNamesAreRefused) {
  mountWithLanguage("en");
  ASSERT_EQ(::mkdir(at("/Home/d").c_str(), 0755), 0);
  put("/Home/d/t", "OLD");
  ASSERT_EQ(::mkdir(at("/Home/a").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(at("/Home/a/b").c_str(), 0755), 0);

  auto refused = [](int result, int expected, const char* what) {
    const int err = errno;
    EXPECT_EQ(result, -1) << what;
    EXPECT_EQ(err, expected) << what << ": " << strerror(err);
  };
  struct stat st {};
  refused(::open(at("/Home/d\\t").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644), EINVAL, "create");
  refused(::open(at("/Home/d\\t").c_str(), O_RDONLY), EINVAL, "open");
  refused(::stat(at("/Home/d\\t").c_str(), &st), EINVAL, "stat");
  refused(::chmod(at("/Home/d\\t").c_str(), 0600), EINVAL, "chmod");
  refused(::truncate(at("/Home/d\\t").c_str(), 0), EINVAL, "truncate");
  refused(::unlink(at("/Home/d\\t").c_str()), EINVAL, "unlink");
  refused(::rmdir(at("/Home/a\\b").c_str()), EINVAL, "rmdir");
  refused(::mkdir(at("/Home/x\\y").c_str(), 0755), EINVAL, "mkdir");
  refused(::rename(at("/Home/d/t").c_str(), at("/Home/d\\u").c_str()), EINVAL, "rename to");
  refused(::rename(at("/Home/d\\t").c_str(), at("/Home/z").c_str()), EINVAL, "rename from");
  EXPECT_EQ(slurp(at("/Home/d/t")), "OLD");
  ASSERT_EQ(::stat(at("/Home/a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(listDir(at("/Home/d")), std::vector<std::string>{"t"});
  EXPECT_FALSE(serviceLists(home_, "x\\y"));

  // 255 bytes is the longest name.
  const std::string name255(255, 'n');
  const std::string name256(256, 'n');
  put("/Home/" + name255, "long");
  EXPECT_TRUE(contains(listDir(at("/Home")), name255));
  EXPECT_EQ(slurp(at("/Home/" + name255)), "long");
  refused(::open(at("/Home/" + name256).c_str(), O_CREAT | O_WRONLY, 0644), ENAMETOOLONG, "create 256");
  refused(::mkdir(at("/Home/" + name256).c_str(), 0755), ENAMETOOLONG, "mkdir 256");
  refused(::stat(at("/Home/" + name256).c_str(), &st), ENAMETOOLONG, "stat 256");
  EXPECT_FALSE(serviceLists(home_, name256));
  // A longer name made by another client is left out of the listing, never
  // shown cut to a name that does not exist.
  ASSERT_FALSE(isErrorResult(api::makeDirectory(home_ + "/" + std::string(300, 'y'))));
  for (const std::string& name : listDir(at("/Home"))) EXPECT_NE(name[0], 'y') << name.size();

  // Folders nested through relative opens until the service path passes
  // the service's limit.
  int dir = ::open(at("/Home").c_str(), O_DIRECTORY | O_RDONLY);
  ASSERT_GE(dir, 0);
  const std::string level(250, 'p');
  size_t servicePathBytes = home_.size();
  int err = 0;
  for (int depth = 0; depth < 40; ++depth) {
    if (::mkdirat(dir, level.c_str(), 0755) != 0) {
      err = errno;
      break;
    }
    servicePathBytes += 1 + level.size();
    int next = ::openat(dir, level.c_str(), O_DIRECTORY | O_RDONLY);
    ASSERT_GE(next, 0) << "depth " << depth << " errno " << errno;
    ::close(dir);
    dir = next;
  }
  ::close(dir);
  EXPECT_EQ(err, ENAMETOOLONG) << strerror(err);
  EXPECT_LE(servicePathBytes, MAX_SERVICE_PATH_BYTES);
  EXPECT_GT(servicePathBytes + 1 + level.size(), MAX_SERVICE_PATH_BYTES);
}

// A file whose name is deleted while it is open stays readable, and its
// descriptor usable, until it is closed, as on any POSIX file system. What
// is written to it afterwards stays with the open: closing it neither
// brings the name back nor replaces a new file of the same name.
TEST_F(NamespaceMountTest, DeletedOpenFileStaysUsableAndItsNameStaysGone) {
  mountWithLanguage("en");
  std::string data(BLOCK_SIZE + 3000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
  // The descriptor that made the file is still open when the second one
  // opens (as a close whose release the kernel has not sent yet): both
  // share one content, made without a download token.
  int maker = ::open(at("/Home/gone.bin").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(maker, 0) << errno;
  ASSERT_EQ(::write(maker, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ASSERT_EQ(::fsync(maker), 0) << strerror(errno);
  int fd = ::open(at("/Home/gone.bin").c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << errno;
  ASSERT_EQ(::close(maker), 0);
  // The copy in left the blocks in the local cache; without them the reads
  // below must download after the name is gone.
  ASSERT_EQ(tarvik_clearCache(), 0);
  ASSERT_EQ(::unlink(at("/Home/gone.bin").c_str()), 0) << errno;
  EXPECT_FALSE(serviceLists(home_, "gone.bin"));
  EXPECT_FALSE(contains(listDir(at("/Home")), "gone.bin"));

  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0) << strerror(errno);
  EXPECT_EQ(st.st_size, static_cast<off_t>(data.size()));
  std::string back(data.size(), '\0');
  size_t got = 0;
  while (got < back.size()) {
    ssize_t n = ::pread(fd, &back[got], back.size() - got, static_cast<off_t>(got));
    ASSERT_GT(n, 0) << "at " << got << ": " << strerror(errno);
    got += static_cast<size_t>(n);
  }
  EXPECT_TRUE(back == data) << "the deleted file's bytes differ";

  EXPECT_EQ(::pwrite(fd, "XYZ", 3, 0), 3);
  char three[3] = {};
  EXPECT_EQ(::pread(fd, three, 3, 0), 3);
  EXPECT_EQ(std::string(three, 3), "XYZ");
  EXPECT_EQ(::ftruncate(fd, 5), 0) << strerror(errno);
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(::fchmod(fd, 0600), 0) << strerror(errno);
  EXPECT_EQ(::futimens(fd, nullptr), 0) << strerror(errno);

  // A new file takes the name while the deleted one is still open.
  put("/Home/gone.bin", "NEW");
  EXPECT_EQ(::close(fd), 0) << strerror(errno);
  JsonPtr detail = api::getResourceDetail(home_ + "/gone.bin");
  ASSERT_FALSE(isErrorResult(detail));
  EXPECT_EQ(detail->member("size")->number(), 3);
  EXPECT_EQ(slurp(at("/Home/gone.bin")), "NEW");

  // Without a new file the name stays gone.
  put("/Home/gone2.txt", "two");
  fd = ::open(at("/Home/gone2.txt").c_str(), O_RDWR | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::unlink(at("/Home/gone2.txt").c_str()), 0);
  EXPECT_EQ(::write(fd, "more", 4), 4);
  EXPECT_EQ(::fsync(fd), 0);
  EXPECT_EQ(::close(fd), 0);
  EXPECT_FALSE(serviceLists(home_, "gone2.txt"));
  // The drive is still there.
  EXPECT_EQ(slurp(at("/Home/gone.bin")), "NEW");
}

// The data follows an open file to its new name, whether the file itself
// or a folder above it was renamed: the commit at close goes to the new
// name and the old one never comes back. A later delete of the new name
// while the file is still open is a delete, not a move to a hidden name.
TEST_F(NamespaceMountTest, RenamedOpenFileKeepsItsWritesUnderTheNewName) {
  mountWithLanguage("en");
  int fd = ::open(at("/Home/a.txt").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(::write(fd, "first,", 6), 6);
  ASSERT_EQ(::rename(at("/Home/a.txt").c_str(), at("/Home/b.txt").c_str()), 0) << strerror(errno);
  ASSERT_EQ(::write(fd, "second", 6), 6);
  char back[12] = {};
  EXPECT_EQ(::pread(fd, back, sizeof back, 0), 12);
  EXPECT_EQ(std::string(back, 12), "first,second");
  ASSERT_EQ(::close(fd), 0) << strerror(errno);
  EXPECT_FALSE(serviceLists(home_, "a.txt"));
  EXPECT_EQ(slurp(at("/Home/b.txt")), "first,second");

  // An existing file, opened for writing, then its folder renamed twice.
  ASSERT_EQ(::mkdir(at("/Home/d").c_str(), 0755), 0);
  put("/Home/d/c.txt", "0123456789");
  fd = ::open(at("/Home/d/c.txt").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(::rename(at("/Home/d").c_str(), at("/Home/e").c_str()), 0) << strerror(errno);
  ASSERT_EQ(::pwrite(fd, "AB", 2, 0), 2);
  ASSERT_EQ(::rename(at("/Home/e").c_str(), at("/Home/f").c_str()), 0) << strerror(errno);
  ASSERT_EQ(::pwrite(fd, "YZ", 2, 8), 2);
  ASSERT_EQ(::close(fd), 0) << strerror(errno);
  EXPECT_FALSE(serviceLists(home_, "d"));
  EXPECT_FALSE(serviceLists(home_, "e"));
  EXPECT_TRUE(serviceLists(home_ + "/f", "c.txt"));
  EXPECT_EQ(slurp(at("/Home/f/c.txt")), "AB234567YZ");

  // Renamed, then deleted while still open: both names stay gone.
  fd = ::open(at("/Home/b.txt").c_str(), O_RDWR | O_APPEND);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(::rename(at("/Home/b.txt").c_str(), at("/Home/g.txt").c_str()), 0);
  ASSERT_EQ(::unlink(at("/Home/g.txt").c_str()), 0) << strerror(errno);
  EXPECT_EQ(::write(fd, "!", 1), 1);
  EXPECT_EQ(::close(fd), 0) << strerror(errno);
  const std::vector<std::string> names = listDir(at("/Home"));
  EXPECT_FALSE(contains(names, "b.txt"));
  EXPECT_FALSE(contains(names, "g.txt"));
  EXPECT_FALSE(serviceLists(home_, "b.txt"));
  EXPECT_FALSE(serviceLists(home_, "g.txt"));
}

}  // namespace
}  // namespace tarvik
