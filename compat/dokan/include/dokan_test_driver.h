// In-process driver for tests: while one exists, DokanMain and
// DokanRemoveMountPoint do not touch the kernel. DokanMain calls Mounted,
// then serves requests sent through requests() (the same callback sequences
// a FUSE mount sends) or straight to ops(), until the drive is removed; then
// it calls Unmounted and returns.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "dokan.h"
#include "dokan_requests.h"

namespace dokan {

class TestDriver {
 public:
  TestDriver();
  ~TestDriver();  // removes a drive still mounted, then uninstalls itself
  TestDriver(const TestDriver&) = delete;
  TestDriver& operator=(const TestDriver&) = delete;

  // The next DokanMain calls return these results at once, without mounting.
  void failNextMains(std::deque<int> results);
  // Waits until DokanMain has mounted (Mounted was called); false on timeout.
  bool waitMounted(int timeoutMs = 5000);
  // Waits until DokanMain has returned after a mount; false on timeout.
  bool waitFinished(int timeoutMs = 5000);
  int mainCalls();
  std::u16string mountPoint();  // as handed to DokanMain

  // Valid while mounted.
  Requests& requests();
  const DOKAN_OPERATIONS& ops();
  DOKAN_OPTIONS& options();

  // What DokanRemoveMountPoint does here.
  bool remove();

 private:
  int main(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS ops);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<int> results_;
  int mainCalls_ = 0;
  bool mounted_ = false;
  bool removeRequested_ = false;
  bool finished_ = false;
  PDOKAN_OPTIONS options_ = nullptr;
  PDOKAN_OPERATIONS ops_ = nullptr;
  std::u16string mountPoint_;
  std::unique_ptr<Requests> requests_;

  friend int DriverMain(PDOKAN_OPTIONS, PDOKAN_OPERATIONS);
  friend BOOL DriverRemove(LPCWSTR);
};

}  // namespace dokan
