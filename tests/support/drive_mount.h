// The library's drive mounted for a test: the frame with the cloud side's
// operation table on a new directory under /tmp, taken down again in every
// outcome (the destructor removes the mount, lazily unmounts what is left
// and removes the directory).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "cloud/cloud_table.h"
#include "drive/decas_frame.h"
#include "mount_points.h"

namespace tarvik_test {

// /dev/fuse can be opened and fusermount3 is there.
inline bool fuseAvailable() {
  return access("/dev/fuse", R_OK | W_OK) == 0 && access("/usr/bin/fusermount3", X_OK) == 0;
}

class DriveMount {
 public:
  DriveMount() = default;
  ~DriveMount() { unmount(); }
  DriveMount(const DriveMount&) = delete;
  DriveMount& operator=(const DriveMount&) = delete;

  // Mounts on /tmp/<prefix>XXXXXX and waits (up to 5 s) until the kernel
  // shows the mount. False when the directory, the start or the mount failed.
  bool mount(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) return false;
    dir_ = pattern;
    tarvik::decas_setTableFiller(tarvik::cloud_fillOperationTable);
    if (tarvik::decas_main(dir_, tarvik::DECAS_OPTION_NETWORK, false, false) != 0) return false;
    started_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!dokan::IsMountPoint(dir_) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return dokan::IsMountPoint(dir_);
  }

  void unmount() {
    if (started_) tarvik::decas_exit();
    started_ = false;
    if (!dir_.empty()) {
      if (dokan::IsMountPoint(dir_)) (void)std::system(("fusermount3 -u -z " + dir_).c_str());
      rmdir(dir_.c_str());
      dir_.clear();
    }
  }

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  bool started_ = false;
};

}  // namespace tarvik_test
