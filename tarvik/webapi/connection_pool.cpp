#include "webapi/connection_pool.h"

#include <mutex>
#include <vector>

namespace tarvik {

namespace {

// The shared TLS session and DNS caches with one lock per kind of data.
class SharedCaches {
 public:
  SharedCaches() : share_(curl_share_init()) {
    if (share_ == nullptr) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedCaches::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedCaches::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  CURLSH* get() const { return share_; }

 private:
  static std::mutex& mutexFor(void* self, curl_lock_data data) {
    auto* caches = static_cast<SharedCaches*>(self);
    const size_t index = static_cast<size_t>(data);
    return caches->mutexes_[index < kLocks ? index : 0];
  }
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    mutexFor(self, data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) { mutexFor(self, data).unlock(); }

  static constexpr size_t kLocks = CURL_LOCK_DATA_LAST;
  CURLSH* share_;
  std::mutex mutexes_[kLocks];
};

struct Pool {
  SharedCaches caches;
  std::mutex mutex;
  std::vector<CURL*> idle;
};

// Never destroyed: transfers on other threads may still be finishing while
// the process exits, and the handles must outlive them.
Pool& pool() {
  static Pool* instance = new Pool;
  return *instance;
}

// Options every borrowed handle starts with, after a reset.
void prepare(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_SHARE, pool().caches.get());
  curl_easy_setopt(handle, CURLOPT_MAXCONNECTS, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, kMaxConnectionIdleSeconds);
}

}  // namespace

CURL* borrowHandle() {
  Pool& p = pool();
  CURL* handle = nullptr;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!p.idle.empty()) {
      handle = p.idle.back();
      p.idle.pop_back();
    }
  }
  if (handle == nullptr) handle = curl_easy_init();
  if (handle == nullptr) return nullptr;
  prepare(handle);
  return handle;
}

void returnHandle(CURL* handle, bool reusable) {
  if (handle == nullptr) return;
  if (reusable) {
    // Drops every option (and with it every pointer into the finished
    // attempt's form, files and buffers); keeps the connection.
    curl_easy_reset(handle);
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.idle.size() < kMaxIdleHandles) {
      p.idle.push_back(handle);
      return;
    }
  }
  curl_easy_cleanup(handle);
}

void closeIdleConnections() {
  std::vector<CURL*> closing;
  {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    closing.swap(p.idle);
  }
  for (CURL* handle : closing) curl_easy_cleanup(handle);
}

size_t idleHandleCount() {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.idle.size();
}

}  // namespace tarvik
