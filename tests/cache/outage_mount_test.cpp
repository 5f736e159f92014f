// Saves made while the service cannot take them, on a real mount against the
// local service: the close reports the failure, the content is kept on this
// computer, the drive shows it meanwhile (also after a remount), and it
// reaches the service once the service takes commits again, with no action
// of the user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"
#include "webapi/block_id.h"

namespace tarvik {
namespace {

class OutageMountTest : public MountedContentTest {
 protected:
  int waiting() {
    return tarvik_getPendingUploads(service_->demoCorp().c_str(), service_->demoUser().c_str(),
                                    nullptr, 0, nullptr);
  }
  // Waits (up to `seconds`) until no file waits for upload.
  bool allUploaded(int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (waiting() != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return waiting() == 0;
  }
  // The service's own content of /Home/<name>, block by block through the
  // web API ("<none>" when it has no such file).
  std::string committed(const std::string& name) {
    JsonPtr pretest = api::pretestDownloadFile(home_ + "/" + name);
    if (isErrorResult(pretest)) return "<none>";
    const std::string token = pretest->member("token")->text();
    JsonPtr ids = pretest->member("blockIds");
    const std::string part = mnt_ + ".block";
    std::string out;
    for (size_t k = 0; k < ids->count(); ++k) {
      if (api::downloadBlock(token, ids->element(k)->text(), part) != 0) return "<no block>";
      out += slurp(part);
    }
    std::remove(part.c_str());
    return out;
  }
  static std::string slurp(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
  }
  static int closeStatus(int fd) { return ::close(fd) == 0 ? 0 : errno; }
};

// The service is stopped while a program closes a 20 MiB file and started
// again on the same data: the close says EIO, and the file arrives byte for
// byte once the service is back.
TEST_F(OutageMountTest, FileClosedWhileTheServiceIsDownArrivesWhenItIsBack) {
  const std::string data = pattern(20 << 20, 41);
  int fd = ::open(at("down.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(static_cast<ssize_t>(data.size()), ::write(fd, data.data(), data.size()));
  service_->stop();
  EXPECT_EQ(EIO, closeStatus(fd));
  EXPECT_EQ(1, waiting());
  service_->restart();
  ASSERT_TRUE(allUploaded(120)) << waiting() << " files still wait";
  EXPECT_TRUE(committed("down.bin") == data) << "the service has other content";
  EXPECT_TRUE(readFile(at("down.bin")) == data);
}

// The service refuses every commit for a while (HTTP 500s): the overwritten
// file shows its new content on the drive, also after a remount with an
// empty cache, while the service still has the old one; once the service
// takes commits again the new content reaches it.
TEST_F(OutageMountTest, WaitingFileShowsItsNewContentAcrossARemount) {
  const std::string old = pattern(3 << 20, 42), fresh = pattern((9 << 20) + 5, 43);
  putFile("keep.bin", old);
  service_->admin("/admin/fault", R"({"kind":"http500","method":"uploadFile","count":100000})");
  int fd = ::open(at("keep.bin").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(static_cast<ssize_t>(fresh.size()), ::write(fd, fresh.data(), fresh.size()));
  EXPECT_EQ(EIO, closeStatus(fd));
  EXPECT_EQ(1, waiting());

  // The unmount signs out; the next sign-in mounts again.
  drive_.unmount();
  ASSERT_EQ(0, tarvik_clearCache());
  ASSERT_FALSE(isErrorResult(
      api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
  ASSERT_TRUE(drive_.mount("tarvik-outage-"));
  mnt_ = drive_.dir();
  struct stat st {};
  ASSERT_EQ(0, ::stat(at("keep.bin").c_str(), &st)) << strerror(errno);
  EXPECT_EQ(static_cast<off_t>(fresh.size()), st.st_size);
  EXPECT_TRUE(readFile(at("keep.bin")) == fresh) << "the drive does not show the waiting content";
  EXPECT_TRUE(committed("keep.bin") == old);

  service_->admin("/admin/reset", "{}");
  ASSERT_TRUE(allUploaded(120)) << waiting() << " files still wait";
  EXPECT_TRUE(committed("keep.bin") == fresh) << "the service has other content";
  // Nobody else changed the file: no conflict copy beside it.
  JsonPtr entries = api::getEntries(home_);
  for (size_t i = 0; i < entries->count(); ++i) {
    EXPECT_EQ(std::string::npos, entries->element(i)->member("name")->text().find("conflict"));
  }
}

// Another client commits the file while ours waits: both versions stay,
// the other under the name and ours beside it under a conflict name.
TEST_F(OutageMountTest, WaitingFileChangedMeanwhileByAnotherClientGoesBesideIt) {
  const std::string old = pattern(1 << 20, 44), ours = pattern((5 << 20) + 7, 45);
  const std::string theirs = "the other client's version\n";
  putFile("both.txt", old);
  service_->admin("/admin/fault", R"({"kind":"http500","method":"uploadFile","count":100000})");
  int fd = ::open(at("both.txt").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(static_cast<ssize_t>(ours.size()), ::write(fd, ours.data(), ours.size()));
  EXPECT_EQ(EIO, closeStatus(fd));
  EXPECT_EQ(1, waiting());
  drive_.unmount();  // our retries end with the drive
  service_->admin("/admin/reset", "{}");
  ASSERT_FALSE(isErrorResult(
      api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));

  // The other client's commit, straight through the web API.
  const std::string file = mnt_ + ".theirs";
  {
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_TRUE(f != nullptr);
    std::fwrite(theirs.data(), 1, theirs.size(), f);
    std::fclose(f);
  }
  const std::string id = blockIdOfFile(file);
  JsonPtr pretest = api::pretestUploadFile(home_ + "/both.txt");
  ASSERT_FALSE(isErrorResult(pretest));
  const std::string token = pretest->text();
  ASSERT_FALSE(isErrorResult(api::uploadBlock(token, id, file)));
  ASSERT_FALSE(isErrorResult(api::uploadFile(token, {id})));
  std::remove(file.c_str());

  ASSERT_TRUE(drive_.mount("tarvik-outage-"));
  mnt_ = drive_.dir();
  ASSERT_TRUE(allUploaded(120)) << waiting() << " files still wait";
  EXPECT_EQ(theirs, committed("both.txt")) << "the other client's version was replaced";
  std::vector<std::string> copies;
  JsonPtr entries = api::getEntries(home_);
  for (size_t i = 0; i < entries->count(); ++i) {
    const std::string name = entries->element(i)->member("name")->text();
    if (name.rfind("both (conflict ", 0) == 0) copies.push_back(name);
  }
  ASSERT_EQ(1u, copies.size()) << "one conflict copy beside the file";
  EXPECT_EQ(".txt", copies[0].substr(copies[0].size() - 4));
  EXPECT_TRUE(committed(copies[0]) == ours) << "the conflict copy has other content";
  EXPECT_TRUE(readFile(at(copies[0])) == ours);
}

}  // namespace
}  // namespace tarvik
