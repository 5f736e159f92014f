// The HTTP transport over libcurl.
//
// Ownership: performTransfer owns one Attempt at a time; an Attempt borrows
// an easy handle from the connection pool and owns its multipart form,
// URL-encoded body, the files of its file parts and the body file of mode 1.
// Its destructor gives the handle back (reset, keeping only its connection)
// before it releases the rest, before the next attempt starts. A handle is
// used by one transfer at a time, so any number of transfers run at once on
// different threads. A repeated attempt always opens a new connection.
//
// TLS: the peer certificate and host name are verified against the system's
// trust store, plus the CA file named by CURL_CA_BUNDLE when set. A client
// certificate set in LibraryState is attached as the handle's private data
// and presented in the handshake from its PEM certificate and key.
//
// Requests that must not be sent twice (Repeat::kOnce): when a kept
// connection ends without an answer, libcurl sends the request again on a
// new connection by itself, taking the end for an idle close, though the
// service may have carried out the first one. Such a request with a body
// therefore hands its body to libcurl through read callbacks that cannot
// rewind: a second send fails (CURLE_SEND_FAIL_REWIND) instead of going out,
// and the request may use a kept connection that served a call moments ago
// (a server closes idle connections after seconds, not sooner). One without
// a body (a GET) has nothing to refuse a rewind with and opens a new
// connection.
//
// Progress: an attempt ends when its connection is not up within the connect
// time-out, or when it stalls once the request started (webapi/
// progress_watch.h); either gives result 28. Whether the request had started
// decides whether the attempt may be repeated: a one-time request that may
// have reached the service is not sent again. There is no time-out on a
// whole attempt, so a large block that moves slowly is never cut.
#include "webapi/transport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "core/library_state.h"
#include "log/log.h"
#include "webapi/block_id.h"
#include "webapi/connection_pool.h"
#include "webapi/progress_watch.h"
#include "wincrypt.h"

namespace tarvik {

namespace {

constexpr int kMaxAttempts = 3;
// Large receive buffer: blocks are 8 MiB and written to disk as they come,
// so fewer, larger writes and digest updates keep downloads near wire speed.
constexpr long kReceiveBufferBytes = 512 * 1024;
constexpr long kSendBufferBytes = 512 * 1024;
// Directory of the system's hashed trust anchors, kept in use when an
// extra CA file is given.
constexpr const char* kSystemCaPath = "/etc/ssl/certs";
// Longest idle time of a kept connection that a Repeat::kOnce request may
// use; far below the idle limit of any server.
constexpr long kOnceMaxIdleSeconds = 2;

struct MimeDeleter {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using MimeForm = std::unique_ptr<curl_mime, MimeDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// A file descriptor closed on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// One file part: streamed from disk with its exact declared length.
struct FilePart {
  FileDescriptor fd;
  curl_off_t size = 0;
  curl_off_t remaining = 0;
  explicit FilePart(int descriptor) : fd(descriptor) {}
};

// Read source of a file part: at most the part's remaining length. A file
// that ends early (shrunk while sending) or fails to read aborts the
// transfer rather than sending a short part.
size_t readFilePart(char* buffer, size_t size, size_t items, void* arg) {
  auto* part = static_cast<FilePart*>(arg);
  size_t want = size * items;
  if (static_cast<curl_off_t>(want) > part->remaining) want = static_cast<size_t>(part->remaining);
  if (want == 0) return 0;
  for (;;) {
    const ssize_t n = ::read(part->fd.get(), buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return CURL_READFUNC_ABORT;
    part->remaining -= n;
    return static_cast<size_t>(n);
  }
}

// Text sent once through a read callback: the body of a request that must
// not be sent twice (no seek function, so libcurl cannot rewind it).
struct OnceText {
  std::string text;
  size_t sent = 0;
  explicit OnceText(std::string t) : text(std::move(t)) {}
};

size_t readOnceText(char* buffer, size_t size, size_t items, void* arg) {
  auto* body = static_cast<OnceText*>(arg);
  const size_t n = std::min(size * items, body->text.size() - body->sent);
  std::memcpy(buffer, body->text.data() + body->sent, n);
  body->sent += n;
  return n;
}

// Lets libcurl rewind a part when it has to send it again.
int seekFilePart(void* arg, curl_off_t offset, int origin) {
  auto* part = static_cast<FilePart*>(arg);
  if (origin != SEEK_SET || offset < 0 || offset > part->size) return CURL_SEEKFUNC_CANTSEEK;
  if (::lseek(part->fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    return CURL_SEEKFUNC_FAIL;
  }
  part->remaining = part->size - offset;
  return CURL_SEEKFUNC_OK;
}

// Mode 1 sink state: the body file, its running digest and byte count.
struct FileSink {
  FileDescriptor fd;
  Sha1 sha;
  int64_t bytes = 0;
  explicit FileSink(int descriptor) : fd(descriptor) {}
};

size_t appendToText(char* data, size_t size, size_t items, void* arg) {
  const size_t n = size * items;
  static_cast<std::string*>(arg)->append(data, n);
  return n;
}

// Writes, digests what was written and counts it; a short write makes
// libcurl end the attempt with its write error.
size_t writeToFile(char* data, size_t size, size_t items, void* arg) {
  auto* sink = static_cast<FileSink*>(arg);
  const size_t n = size * items;
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(sink->fd.get(), data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  sink->sha.update(data, done);
  sink->bytes += static_cast<int64_t>(done);
  return done;
}

// Drops the value of credential headers from a traced header block.
std::string redactCredentials(std::string text) {
  static const char* const kHeaders[] = {"Proxy-Authorization:", "Authorization:"};
  for (const char* header : kHeaders) {
    const size_t len = std::strlen(header);
    size_t pos = 0;
    while ((pos = text.find(header, pos)) != std::string::npos) {
      if (pos == 0 || text[pos - 1] == '\n') {
        const size_t end = text.find_first_of("\r\n", pos);
        text.replace(pos + len, (end == std::string::npos ? text.size() : end) - pos - len,
                     " (hidden)");
      }
      pos += len;
    }
  }
  return text;
}

int traceFunction(CURL*, curl_infotype type, char* data, size_t size, void*) {
  const char* marker = nullptr;
  switch (type) {
    case CURLINFO_TEXT: marker = "*"; break;
    case CURLINFO_HEADER_IN: marker = "<"; break;
    case CURLINFO_HEADER_OUT: marker = ">"; break;
    default: return 0;  // data and TLS traffic are not traced
  }
  std::string text(data, size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (type == CURLINFO_HEADER_OUT) text = redactCredentials(std::move(text));
  TLOG_DEBUG("CURL: ", marker, " ", text);
  return 0;
}

// The limits of progress in force (transport_testing replaces them).
std::atomic<long> g_connectTimeoutMs{kConnectTimeoutMs};
std::atomic<long> g_stallWindowMs{kStallWindowMs};
std::atomic<long> g_stallMinBytes{kStallMinBytes};

// Everything one attempt owns; released in reverse order of creation.
class Attempt {
 public:
  Attempt(TransferRequest& request, bool freshConnection)
      : request_(request),
        freshConnection_(freshConnection),
        connectTimeoutMs_(std::max(1L, g_connectTimeoutMs.load())),
        stallWindowMs_(std::max(1L, g_stallWindowMs.load())),
        stallMinBytes_(std::max(1L, g_stallMinBytes.load())),
        watch_(stallWindowMs_, stallMinBytes_) {
    std::memset(errorText_, 0, sizeof errorText_);
  }
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;
  ~Attempt() {
    // The handle goes back (reset) before the form and files it referred to
    // are released. Only a handle whose exchange completed keeps its
    // connection for the next call.
    returnHandle(handle_, reusable_);
    handle_ = nullptr;
    form_.reset();
    parts_.clear();
    onceTexts_.clear();
    sink_.reset();
  }

  // Builds the handle. 0, or a result that ends the attempt unsent.
  int setUp();
  // Runs the exchange; reads the status into `status` on success.
  int perform(long& status);

  FileSink* sink() { return sink_.get(); }
  // Whether the request started to go out: the service may have it.
  bool requestSent() const { return watch_.requestStarted(); }

 private:
  int addParameters();
  void applyTls();
  void applyProxy();
  int applySink();

  TransferRequest& request_;
  const bool freshConnection_;
  const long connectTimeoutMs_;
  const long stallWindowMs_;
  const long stallMinBytes_;
  ProgressWatch watch_;
  CURL* handle_ = nullptr;
  bool reusable_ = false;
  char errorText_[CURL_ERROR_SIZE];
  MimeForm form_;
  std::string encodedBody_;
  std::vector<std::unique_ptr<FilePart>> parts_;
  std::vector<std::unique_ptr<OnceText>> onceTexts_;
  std::unique_ptr<FileSink> sink_;
};

int Attempt::setUp() {
  handle_ = borrowHandle();
  if (handle_ == nullptr) return CURLE_FAILED_INIT;
  CURL* h = handle_;
  // A repeated attempt never trusts the connection the failed one used. A
  // request that must not be sent twice goes on a kept connection only when
  // its body cannot be sent again (see the top of this file).
  const bool once = request_.repeat != Repeat::kSafe;
  if (freshConnection_ || (once && request_.params.empty())) {
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
  } else if (once) {
    curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kOnceMaxIdleSeconds);
  }
  if (state().debug) {
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &traceFunction);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  }
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
  curl_easy_setopt(h, CURLOPT_URL, request_.url.c_str());

  if (!request_.params.empty()) {
    const int rc = addParameters();
    if (rc != 0) return rc;
  }

  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs_);
  watch_.attach(h);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kSendBufferBytes);
  applyTls();
  applyProxy();
  return applySink();
}

// The parameter as sent (without "!") and whether it may be logged.
std::string sentName(const std::string& name, bool& secret) {
  secret = !name.empty() && name[0] == '!';
  return secret ? name.substr(1) : name;
}

int Attempt::addParameters() {
  CURL* h = handle_;
  const bool rewindable = request_.repeat == Repeat::kSafe;
  if (request_.multipart) {
    form_.reset(curl_mime_init(h));
    if (!form_) return CURLE_OUT_OF_MEMORY;
    for (const RequestParam& param : request_.params) {
      bool secret = false;
      const std::string name = sentName(param.name, secret);
      if (!secret) TLOG_DEBUG(name, ":", param.value);
      if (!param.hasValue) continue;
      curl_mimepart* part = curl_mime_addpart(form_.get());
      if (part == nullptr) return CURLE_OUT_OF_MEMORY;
      if (!name.empty() && name[0] == '@') {
        // The file must be readable and measurable before anything is sent.
        const int fd = ::open(param.value.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
          TLOG_ERROR("file part cannot be opened: ", param.value);
          return kResultFilePartUnreadable;
        }
        auto file = std::make_unique<FilePart>(fd);
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
          TLOG_ERROR("file part cannot be measured: ", param.value);
          return kResultFilePartUnreadable;
        }
        file->size = file->remaining = static_cast<curl_off_t>(st.st_size);
        curl_mime_name(part, name.c_str() + 1);
        curl_mime_filename(part, "data.dat");
        curl_mime_data_cb(part, file->size, &readFilePart, rewindable ? &seekFilePart : nullptr,
                          nullptr, file.get());
        parts_.push_back(std::move(file));
      } else if (rewindable) {
        curl_mime_name(part, name.c_str());
        curl_mime_data(part, param.value.data(), param.value.size());
      } else {
        curl_mime_name(part, name.c_str());
        onceTexts_.push_back(std::make_unique<OnceText>(param.value));
        curl_mime_data_cb(part, static_cast<curl_off_t>(param.value.size()), &readOnceText,
                          nullptr, nullptr, onceTexts_.back().get());
      }
    }
    curl_easy_setopt(h, CURLOPT_MIMEPOST, form_.get());
  } else {
    std::string body;
    for (const RequestParam& param : request_.params) {
      bool secret = false;
      const std::string name = sentName(param.name, secret);
      if (!secret) TLOG_DEBUG(name, ":", param.value);
      char* escaped =
          curl_easy_escape(h, param.value.data(), static_cast<int>(param.value.size()));
      if (escaped == nullptr) return CURLE_OUT_OF_MEMORY;
      body += "&";
      body += name;
      body += "=";
      body += escaped;
      curl_free(escaped);
    }
    encodedBody_ = body.substr(1);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(encodedBody_.size()));
    if (rewindable) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, encodedBody_.c_str());
    } else {
      // The same bytes through a read callback without a seek function.
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      onceTexts_.push_back(std::make_unique<OnceText>(encodedBody_));
      curl_easy_setopt(h, CURLOPT_READFUNCTION, &readOnceText);
      curl_easy_setopt(h, CURLOPT_READDATA, onceTexts_.back().get());
    }
  }
  return 0;
}

void Attempt::applyTls() {
  CURL* h = handle_;
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* bundle = std::getenv("CURL_CA_BUNDLE"); bundle != nullptr && *bundle) {
    curl_easy_setopt(h, CURLOPT_CAINFO, bundle);
    curl_easy_setopt(h, CURLOPT_CAPATH, kSystemCaPath);
  }
  const CERT_CONTEXT* cert = state().certificate;
  if (cert != nullptr) {
    curl_easy_setopt(h, CURLOPT_PRIVATE, const_cast<CERT_CONTEXT*>(cert));
    const std::string& certPem = win32::CertPemCertificate(cert);
    const std::string& keyPem = win32::CertPemPrivateKey(cert);
    if (!certPem.empty() && !keyPem.empty()) {
      curl_blob certBlob{const_cast<char*>(certPem.data()), certPem.size(), CURL_BLOB_COPY};
      curl_blob keyBlob{const_cast<char*>(keyPem.data()), keyPem.size(), CURL_BLOB_COPY};
      curl_easy_setopt(h, CURLOPT_SSLCERT_BLOB, &certBlob);
      curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "PEM");
      curl_easy_setopt(h, CURLOPT_SSLKEY_BLOB, &keyBlob);
      curl_easy_setopt(h, CURLOPT_SSLKEYTYPE, "PEM");
    }
  }
}

void Attempt::applyProxy() {
  CURL* h = handle_;
  const LibraryState& st = state();
  if (st.proxyHost.empty()) {
    // An explicit empty proxy also keeps libcurl from taking one from the
    // environment: "no proxy" means a direct connection.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    return;
  }
  curl_easy_setopt(h, CURLOPT_PROXY, st.proxyHost.c_str());
  curl_easy_setopt(h, CURLOPT_PROXYPORT, static_cast<long>(st.proxyPort));
  curl_easy_setopt(h, CURLOPT_PROXYTYPE, static_cast<long>(st.proxyType));
  if (!st.proxyUser.empty()) {
    curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, st.proxyUser.c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, st.proxyPassword.c_str());
    TLOG_DEBUG("proxy user = ", st.proxyUser, ", passlen = ", st.proxyPassword.size());
  }
}

int Attempt::applySink() {
  CURL* h = handle_;
  if (request_.mode == BodyMode::kText) {
    request_.body.clear();
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendToText);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &request_.body);
    return 0;
  }
  // Truncated on every attempt: the file then holds exactly the body of the
  // last attempt, never the tail of an earlier, longer answer.
  const int fd =
      ::open(request_.filePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    TLOG_ERROR("body file cannot be opened: ", request_.filePath);
    return CURLE_WRITE_ERROR;
  }
  sink_ = std::make_unique<FileSink>(fd);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeToFile);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, sink_.get());
  return 0;
}

int Attempt::perform(long& status) {
  const CURLcode rc = curl_easy_perform(handle_);
  if (rc == CURLE_ABORTED_BY_CALLBACK && watch_.stalled()) {
    TLOG_ERROR("curl error: fewer than ", stallMinBytes_, " bytes moved in ", stallWindowMs_,
               " ms");
    return CURLE_OPERATION_TIMEDOUT;
  }
  if (rc != CURLE_OK) {
    TLOG_ERROR("curl error: ", errorText_[0] != '\0' ? errorText_ : curl_easy_strerror(rc));
    return rc;
  }
  long code = 0;
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
  status = code;
  reusable_ = true;
  return 0;
}

}  // namespace

namespace {

constexpr int kRetryPauseMs = 1000;  // before a repeat that a busy or missing host needs
std::atomic<transport_testing::RetryPause> g_retryPause{nullptr};

void retryPause(int milliseconds) {
  if (transport_testing::RetryPause pause = g_retryPause.load()) {
    pause(milliseconds);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

bool shouldRetry(int result, long status, Repeat repeat, bool requestSent) {
  const bool timedOut = result == CURLE_OPERATION_TIMEDOUT;
  // The request never reached the service: sending it again is always safe.
  const bool notSent = result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_CONNECT ||
                       result == CURLE_SSL_CONNECT_ERROR || (timedOut && !requestSent);
  // The connection ended or stalled after the request went out: the service
  // may have carried it out, so only a request whose repetition changes
  // nothing goes again.
  const bool answerLost =
      result == CURLE_GOT_NOTHING || result == CURLE_RECV_ERROR || (timedOut && requestSent);
  if (answerLost && repeat != Repeat::kSafe) return false;
  // Any other result keeps the status of an earlier attempt: an answer
  // other than 200 so far is tried again.
  if (!notSent && !answerLost && status == 200) return false;
  TLOG_WARN("curl retry> res = ", result, ", code = ", status);
  // A failed handshake, a time-out (which has waited already) or a lost
  // answer on a good status is retried at once; a host that is missing,
  // refusing or answering badly gets a moment.
  if (result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_CONNECT || status != 200) {
    retryPause(kRetryPauseMs);
  }
  return true;
}

namespace transport_testing {
void setRetryPause(RetryPause pause) { g_retryPause.store(pause); }

void setProgressLimits(const ProgressLimits& limits) {
  g_connectTimeoutMs.store(limits.connectTimeoutMs);
  g_stallWindowMs.store(limits.stallWindowMs);
  g_stallMinBytes.store(limits.stallMinBytes);
}
}  // namespace transport_testing

int performTransfer(TransferRequest& request) {
  long status = 200;
  int retries = 0;
  int result = 0;
  int64_t bytes = 0;
  std::string digest;
  bool sent = false;

  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    {
      Attempt current(request, attempt > 0);
      result = current.setUp();
      if (result == 0) result = current.perform(status);
      sent = current.requestSent();
      if (request.mode == BodyMode::kFile) {
        if (FileSink* sink = current.sink()) {
          bytes = sink->bytes;
          digest = sink->sha.finishUrlBase64();
        } else {
          bytes = 0;
          digest.clear();
        }
      }
    }  // every resource of the attempt is released here
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    TLOG_DEBUG("curl post time = ", static_cast<long long>(elapsed.count()), "[ms] for ",
               request.url);
    if (!shouldRetry(result, status, request.repeat, sent)) break;
    ++retries;
  }

  if (retries > 0) {
    TLOG_DEBUG("curl retry = ", retries);
    if (status != 200) result = static_cast<int>(status);
  }
  if (request.mode == BodyMode::kFile) {
    if (request.digest != nullptr) {
      // A body file that could not even be opened still names "no content".
      *request.digest = digest.empty() ? Sha1().finishUrlBase64() : digest;
    }
    if (request.byteCount != nullptr) *request.byteCount = bytes;
  }
  return result;
}

}  // namespace tarvik
