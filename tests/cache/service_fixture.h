// Fixtures of the content tests against the local service: a signed-in
// library with an empty cache (the slots are driven directly), and the same
// with the drive mounted through FUSE.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "cache/block_writer.h"
#include "cache/file_context.h"
#include "cloud/cloud_table.h"
#include "cloud/namespace_ops.h"
#include "drive_mount.h"
#include "local_service.h"
#include "optable/decas.h"
#include "private_dirs.h"
#include "tarvik.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

constexpr int64_t B = BLOCK_SIZE;

std::string pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t k = 0; k < size; ++k) {
    x = x * 1103515245u + 12345u;
    s[k] = static_cast<char>(x >> 24);
  }
  return s;
}

void quietStatus(int32_t, const char*) {}

class ServiceContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvik_test::usePrivateDirectories();
    service_ = tarvik_test::LocalService::start();
    ASSERT_TRUE(service_);
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    ASSERT_EQ(0, tarvik_init(service_->url().c_str(), "en", std::getenv("TARVIK_TEST_LOG") != nullptr, quietStatus));
    ASSERT_FALSE(isErrorResult(api::pretestLogin(service_->demoCorp())));
    ASSERT_FALSE(isErrorResult(
        api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
    ASSERT_EQ(0, tarvik_clearCache());
    home_ = "/" + service_->demoUser();
  }
  void TearDown() override { service_.reset(); }

  // Commits `data` as drive file /Home/<name> through the slots.
  void putFile(const std::string& name, const std::string& data) {
    DecasHandle h;
    h.setPath("/Home/" + name);
    h.openFlags = OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE;
    ASSERT_EQ(0, cloud_open(h.path().c_str(), &h));
    ASSERT_EQ(static_cast<int>(data.size()),
              cloud_write(h.path().c_str(), data.data(), data.size(), 0, true, &h));
    ASSERT_EQ(0, cloud_flush(h.path().c_str(), &h));
    ASSERT_EQ(0, cloud_close(h.path().c_str(), &h));
  }
  JsonPtr blockIds(const std::string& name) {
    return api::pretestDownloadFile(home_ + "/" + name)->member("blockIds");
  }

  std::unique_ptr<tarvik_test::LocalService> service_;
  std::string home_;
};

class MountedContentTest : public ServiceContentTest {
 protected:
  void SetUp() override {
    if (!tarvik_test::fuseAvailable()) {
      GTEST_SKIP() << "FUSE is not available here (/dev/fuse or fusermount3 missing)";
    }
    ServiceContentTest::SetUp();
    ASSERT_TRUE(drive_.mount("tarvik-content-")) << "the drive did not mount";
    mnt_ = drive_.dir();
  }
  void TearDown() override {
    drive_.unmount();
    ServiceContentTest::TearDown();
  }
  std::string at(const std::string& name) { return mnt_ + "/Home/" + name; }

  static std::string readFile(const std::string& path) {
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<open failed>";
    char buf[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
  }

  tarvik_test::DriveMount drive_;
  std::string mnt_;
};

}  // namespace
}  // namespace tarvik
