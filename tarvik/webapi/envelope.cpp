// The request envelope over the transport. See envelope.h.
#include "webapi/envelope.h"

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xlate.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/library_state.h"
#include "core/service_codes.h"
#include "core/version.h"
#include "log/log.h"
#include "webapi/error_table.h"

namespace tarvik {

const char* const kMaintenanceMarker = "Hv5nTq-1CkXw7PzRb3LmYs8GdFa2JeQo";
const char* const kCertificateMarker = "Zr8kWc3NfVb_0QxLpYt2HdMs9JeUgA4R";

namespace {

std::atomic<UnmountFunction> g_unmount{nullptr};

struct PoolDeleter {
  void operator()(apr_pool_t* p) const { apr_pool_destroy(p); }
};

// APR must be initialised before a pool can be made. The library's global
// initialisation does it; the conversion also runs before that (status
// reports of early failures), so make sure once here. apr_initialize counts
// its calls, so a second call is harmless.
void ensureApr() {
  static std::once_flag once;
  std::call_once(once, [] { apr_initialize(); });
}

}  // namespace

UnmountFunction setUnmountFunction(UnmountFunction function) {
  return g_unmount.exchange(function);
}

std::string buildServiceUrl(const std::string& method) {
  LibraryState& st = state();
  std::string url;
  url.reserve(st.apiBase.size() + method.size() + 160);
  url += st.apiBase;
  url += method;
  url += "?_client=qwo&_version=";
  url += versionText();
  if (!st.arrayid.empty()) url += "&arrayid=" + st.arrayid;
  if (!st.jsessionid.empty()) url += "&jsessionid=" + st.jsessionid;
  url += "&requestid=" + std::to_string(st.requestCounter.fetch_add(1));
  return url;
}

std::string makeErrorText(int code, long argument) {
  return "{\"error\":{\"code\":" + std::to_string(code) + ",\"args\":[\"" +
         std::to_string(argument) + "\"]}}";
}

bool isErrorResult(const JsonPtr& document) {
  if (!document || !document->isObject() || !document->parseError().empty()) return false;
  return document->member("error")->isObject();
}

int errorCode(const JsonPtr& document) {
  if (!document || !document->isObject()) return 0;
  JsonPtr error = document->member("error");
  if (!error->isObject()) return 0;
  const double code = error->member("code")->number();
  if (!(code >= -2147483648.0 && code <= 2147483647.0)) return 0;
  return static_cast<int>(code);
}

JsonPtr callService(const std::string& method, const std::vector<RequestParam>& params,
                    bool multipart, ErrorHandler handler, Repeat repeat) {
  TransferRequest request;
  request.mode = BodyMode::kText;
  request.repeat = repeat;
  request.url = buildServiceUrl(method);
  request.params = params;
  request.multipart = multipart;
  TLOG_INFO(request.url);

  const int result = performTransfer(request);
  std::string body = std::move(request.body);
  if (result == 0 && body.empty()) {
    // An empty answer is a success without result; "{true}" parses to an
    // empty object with a parse error, which is never an error document.
    body = "{true}";
  } else if (result == 0 && body[0] == '{') {
    // Service JSON.
  } else {
    TLOG_ERROR(body);
    if (body.find(kMaintenanceMarker) != std::string::npos) {
      body = makeErrorText(service_code::kMaintenance, 0);
    } else if (body.find(kCertificateMarker) != std::string::npos) {
      body = makeErrorText(service_code::kCertificate, 0);
    } else {
      body = makeErrorText(service_code::kCommunicationError, result);
    }
  }

  JsonPtr document = json::parse(body);
  if (isErrorResult(document)) {
    TLOG_ERROR(body);
    reportServiceError(document, handler);
    return document;
  }
  document->replaceWithMember("result");
  return document;
}

int downloadToFile(const std::string& method, const std::vector<RequestParam>& params,
                   bool multipart, const std::string& filePath, int64_t* byteCount,
                   std::string* digest, Repeat repeat) {
  TransferRequest request;
  request.mode = BodyMode::kFile;
  request.repeat = repeat;
  request.url = buildServiceUrl(method);
  request.params = params;
  request.multipart = multipart;
  request.filePath = filePath;
  request.byteCount = byteCount;
  request.digest = digest;
  TLOG_INFO(request.url);

  const int result = performTransfer(request);
  if (result == 0) return 0;
  reportServiceError(json::parse(makeErrorText(service_code::kCommunicationError, result)), nullptr);
  return result;
}

void raiseLocalError(int code) {
  reportServiceError(
      json::parse("{\"error\":{\"code\":" + std::to_string(code) + ",\"args\":[]}}"), nullptr);
}

std::string fillPlaceholders(const std::string& templ, const JsonPtr& args) {
  // One left-to-right pass; a placeholder is "{", any one character, "}".
  // The k-th placeholder takes args[k] whatever digit it carries. The
  // result grows as needed: long templates are filled completely.
  std::string out;
  out.reserve(templ.size() + 64);
  size_t k = 0;
  size_t i = 0;
  while (i < templ.size()) {
    if (templ[i] == '{' && i + 2 < templ.size() && templ[i + 2] == '}') {
      if (args && k < args->count()) out += args->element(k)->text();
      ++k;
      i += 3;
    } else {
      out += templ[i];
      ++i;
    }
  }
  return out;
}

std::string utf8ToLocal(const std::string& utf8) {
  if (utf8.empty()) return std::string();
  ensureApr();
  apr_pool_t* raw = nullptr;
  if (apr_pool_create(&raw, nullptr) != APR_SUCCESS) return std::string();
  std::unique_ptr<apr_pool_t, PoolDeleter> pool(raw);

  apr_xlate_t* converter = nullptr;
  if (apr_xlate_open(&converter, APR_LOCALE_CHARSET, "utf-8", pool.get()) != APR_SUCCESS) {
    return std::string();
  }
  std::string out(utf8.size() * 4 + 1, '\0');
  apr_size_t inLeft = utf8.size();
  apr_size_t outLeft = out.size() - 1;
  apr_status_t rc = apr_xlate_conv_buffer(converter, utf8.data(), &inLeft, &out[0], &outLeft);
  if (rc == APR_SUCCESS && inLeft == 0) {
    // Flush any shift state of a stateful target encoding.
    char* tail = &out[out.size() - 1 - outLeft];
    rc = apr_xlate_conv_buffer(converter, nullptr, nullptr, tail, &outLeft);
  }
  apr_xlate_close(converter);
  if (rc != APR_SUCCESS || inLeft != 0) return std::string();
  out.resize(out.size() - 1 - outLeft);
  return out;
}

void reportServiceError(const JsonPtr& document, ErrorHandler handler) {
  if (!document) return;
  JsonPtr error = document->member("error");
  if (!error->isObject()) return;
  const int code = errorCode(document);
  JsonPtr args = error->member("args");
  if (!args->isArray()) return;

  std::shared_ptr<ErrorMessageTable> table = std::atomic_load(&state().errorTable);
  if (!table) return;
  JsonPtr message = table->find(code);
  if (!message) return;  // codes without a message are never reported

  // A message without a text for the language words as "".
  const std::string filled = fillPlaceholders(message->member(state().language)->text(), args);
  const std::string local = utf8ToLocal(filled);
  if (handler == nullptr || !handler(code, filled.c_str())) {
    reportStatus(code, local.c_str());
  }
  if (code == service_code::kSessionEnded) {
    if (UnmountFunction unmount = g_unmount.load()) (void)unmount();
  }
}

}  // namespace tarvik
