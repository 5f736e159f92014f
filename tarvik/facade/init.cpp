// tarvik_init: prepares a sign-in. Directory tree, a new log file, the
// envelope settings, a fresh error-message table from the built-in
// messages and the service's own.
#include <apr_time.h>

#include <atomic>
#include <string>

#include "cache/block_cache.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "facade/session_end.h"
#include "log/log.h"
#include "tarvik.h"
#include "webapi/error_table.h"
#include "webapi/service_methods.h"

extern "C" int tarvik_init(const char* baseUrl, const char* language, bool debug,
                           StatusCallback callback) {
  using namespace tarvik;
  const int rc = globalInitialize();
  if (rc != 0) return rc;

  LibraryState& st = state();
  // One log file per call, named by the time in microseconds.
  log::start(log::freeFileName(st.logDir, static_cast<int64_t>(apr_time_now())), debug);
  st.debug = debug;
  st.noLocking = false;
  block_cache::configureFromEnvironment();

  st.apiBase = std::string(baseUrl != nullptr ? baseUrl : "") + "api/";
  st.language = language != nullptr ? language : "";
  st.statusCallback = callback != nullptr ? callback : &builtinStatusCallback;
  registerSessionEndedAction();
  st.requestCounter.store(0);

  // Built-in messages first: fetched messages with the same code are dropped.
  std::shared_ptr<ErrorMessageTable> table = ErrorMessageTable::withBuiltins();
  std::atomic_store(&st.errorTable, table);

  JsonPtr messages = api::getErrorMessages();
  if (isErrorResult(messages)) return -1;
  // The built-in table was published first so that a failed fetch is
  // worded; the fetched messages join a copy, published when complete.
  auto full = std::make_shared<ErrorMessageTable>(*table);
  const size_t count = messages->count();
  for (size_t i = 0; i < count; ++i) full->insert(messages->element(i));
  std::atomic_store(&st.errorTable, full);
  return 0;
}
