// Scoped guard for every library mutex: writes "lock mutex: " and
// "unlock mutex: " with the mutex's identity at DEBUG, so lock traffic can be
// followed in the log.
#pragma once

#include <mutex>

#include "log/log.h"

namespace tarvik {

template <class Mutex>
class BasicScopedLock {
 public:
  explicit BasicScopedLock(Mutex& m) : m_(m) {
    m_.lock();
    TLOG_DEBUG("lock mutex: ", log::identity(&m_));
  }
  ~BasicScopedLock() {
    TLOG_DEBUG("unlock mutex: ", log::identity(&m_));
    m_.unlock();
  }
  BasicScopedLock(const BasicScopedLock&) = delete;
  BasicScopedLock& operator=(const BasicScopedLock&) = delete;

 private:
  Mutex& m_;
};

using ScopedLock = BasicScopedLock<std::mutex>;

}  // namespace tarvik
