// The error-message table: service error code -> message object
// {"code": n, "ja": text, "en": text}. Built by tarvik_init from the five
// built-in documents, then from the service's getErrorMessages; an entry
// whose code is already present is dropped, so the built-in texts win.
//
// Threads: only tarvik_init builds a table (a new one, swapped into
// LibraryState); lookups are unlocked.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "webapi/json.h"

namespace tarvik {

class ErrorMessageTable {
 public:
  // The table holding the five built-in messages (1001 to 1005).
  static std::shared_ptr<ErrorMessageTable> withBuiltins();
  // The five built-in documents as JSON texts, in code order.
  static const std::vector<std::string>& builtinDocuments();

  // Inserts `message` under its "code" unless that code is present or the
  // message has no numeric "code". Returns true when inserted.
  bool insert(const JsonPtr& message);
  // The message object for `code`, or null.
  JsonPtr find(int code) const;
  size_t size() const { return messages_.size(); }

 private:
  std::map<int, JsonPtr> messages_;
};

}  // namespace tarvik
