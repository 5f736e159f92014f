// Fault injection for tests: the admin endpoint queues faults, each request
// to api/ takes the first one that matches its method.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ambermoor {

struct Fault {
  // "http500", "maintenance", "certificate", "delay", "drop", "corruptBlock", "error"
  std::string kind;
  std::string method;  // empty: any method
  int count = 1;
  int ms = 0;          // delay
  int code = 0;        // error
  int status = 0;      // HTTP status of http500 and the marker pages (0 = default)
  std::vector<std::string> args;
};

class FaultTable {
 public:
  // Throws std::invalid_argument for a malformed JSON description.
  static Fault parse(const std::string& json);
  void add(Fault f);
  // Takes one use of the first fault matching `method`; "corruptBlock" only
  // matches downloadBlock.
  std::optional<Fault> take(const std::string& method);
  void clear();
  std::size_t pending() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
};

// The marker pages the client recognises in an answer that is not JSON.
std::string maintenancePage();
std::string certificatePage();

}  // namespace ambermoor
