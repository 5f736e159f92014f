// The in-process driver (see dokan_test_driver.h).
#include "dokan_test_driver.h"

#include <chrono>
#include <cstdlib>
#include <cstdio>

#include "dokan_backend.h"

namespace dokan {

namespace {
TestDriver* gDriver = nullptr;  // the installed driver; one at a time
}

int DriverMain(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS ops) {
  return gDriver ? gDriver->main(options, ops) : DOKAN_ERROR;
}

BOOL DriverRemove(LPCWSTR) { return gDriver && gDriver->remove() ? TRUE : FALSE; }

TestDriver::TestDriver() {
  if (gDriver) {
    fprintf(stderr, "dokan: a test driver is already installed\n");
    abort();
  }
  gDriver = this;
  SetBackend(Backend{DriverMain, DriverRemove});
}

TestDriver::~TestDriver() {
  remove();
  waitFinished(10000);
  SetBackend(Backend{});
  gDriver = nullptr;
}

void TestDriver::failNextMains(std::deque<int> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  results_ = std::move(results);
}

bool TestDriver::waitMounted(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mounted_; });
}

bool TestDriver::waitFinished(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return !mounted_ && (finished_ || !ops_); });
}

int TestDriver::mainCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return mainCalls_;
}

std::u16string TestDriver::mountPoint() {
  std::lock_guard<std::mutex> lock(mutex_);
  return mountPoint_;
}

Requests& TestDriver::requests() { return *requests_; }
const DOKAN_OPERATIONS& TestDriver::ops() { return *ops_; }
DOKAN_OPTIONS& TestDriver::options() { return *options_; }

bool TestDriver::remove() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!mounted_) return false;
  removeRequested_ = true;
  cv_.notify_all();
  return true;
}

int TestDriver::main(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS ops) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++mainCalls_;
    mountPoint_ = options && options->MountPoint ? options->MountPoint : u"";
    if (!results_.empty()) {
      int r = results_.front();
      results_.pop_front();
      return r;
    }
    if (!options || !ops) return DOKAN_ERROR;
    options_ = options;
    ops_ = ops;
    finished_ = false;
    requests_ = std::make_unique<Requests>(ops, options);
  }
  DOKAN_FILE_INFO info{};
  info.DokanOptions = options;
  if (ops->Mounted) ops->Mounted(&info);
  std::unique_lock<std::mutex> lock(mutex_);
  mounted_ = true;
  removeRequested_ = false;
  cv_.notify_all();
  cv_.wait(lock, [&] { return removeRequested_; });
  mounted_ = false;
  lock.unlock();
  if (ops->Unmounted) ops->Unmounted(&info);
  lock.lock();
  requests_.reset();
  finished_ = true;
  cv_.notify_all();
  return DOKAN_SUCCESS;
}

}  // namespace dokan
