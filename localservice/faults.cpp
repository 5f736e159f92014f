#include "faults.h"

#include <picojson.h>

#include <stdexcept>

namespace ambermoor {

static const char* kMaintenanceMarker = "Hv5nTq-1CkXw7PzRb3LmYs8GdFa2JeQo";
static const char* kCertificateMarker = "Zr8kWc3NfVb_0QxLpYt2HdMs9JeUgA4R";

std::string maintenancePage() {
  return std::string("<!DOCTYPE html>\n<html><head><title>Maintenance</title></head><body>\n"
                     "<!-- ") + kMaintenanceMarker +
         " -->\n<p>The service is in maintenance. Please try again later.</p>\n</body></html>\n";
}

std::string certificatePage() {
  return std::string("<!DOCTYPE html>\n<html><head><title>Certificate</title></head><body>\n"
                     "<!-- ") + kCertificateMarker +
         " -->\n<p>The client certificate was not accepted.</p>\n</body></html>\n";
}

Fault FaultTable::parse(const std::string& json) {
  picojson::value v;
  std::string perr = picojson::parse(v, json);
  if (!perr.empty() || !v.is<picojson::object>())
    throw std::invalid_argument("fault must be a JSON object");
  const auto& o = v.get<picojson::object>();
  Fault f;
  auto text = [&](const char* k) -> std::string {
    auto it = o.find(k);
    if (it == o.end()) return "";
    if (!it->second.is<std::string>()) throw std::invalid_argument(std::string(k) + " must be a text");
    return it->second.get<std::string>();
  };
  auto number = [&](const char* k, int def, int lo, int hi) -> int {
    auto it = o.find(k);
    if (it == o.end()) return def;
    if (!it->second.is<double>()) throw std::invalid_argument(std::string(k) + " must be a number");
    double d = it->second.get<double>();
    if (d < lo || d > hi)
      throw std::invalid_argument(std::string(k) + " out of range");
    return static_cast<int>(d);
  };
  f.kind = text("kind");
  static const char* kinds[] = {"http500", "maintenance", "certificate", "delay",
                                "drop",    "corruptBlock", "error"};
  bool known = false;
  for (const char* k : kinds) known = known || f.kind == k;
  if (!known) throw std::invalid_argument("unknown fault kind \"" + f.kind + "\"");
  f.method = text("method");
  f.count = number("count", 1, 1, 1000000);
  f.ms = number("ms", 0, 0, 600000);
  f.code = number("code", 0, 0, 1000000);
  f.status = number("status", 0, 0, 599);
  if (f.status != 0 && f.status < 100) throw std::invalid_argument("status out of range");
  if (f.kind == "delay" && f.ms == 0) throw std::invalid_argument("delay needs \"ms\"");
  if (f.kind == "error" && f.code == 0) throw std::invalid_argument("error needs \"code\"");
  if (o.count("args")) {
    if (!o.at("args").is<picojson::array>()) throw std::invalid_argument("args must be an array");
    for (const auto& a : o.at("args").get<picojson::array>()) f.args.push_back(a.to_str());
  }
  return f;
}

void FaultTable::add(Fault f) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(std::move(f));
}

std::optional<Fault> FaultTable::take(const std::string& method) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->method.empty() && it->method != method) continue;
    if (it->kind == "corruptBlock" && method != "downloadBlock") continue;
    Fault f = *it;
    if (--it->count <= 0) faults_.erase(it);
    return f;
  }
  return std::nullopt;
}

void FaultTable::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

std::size_t FaultTable::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_.size();
}

}  // namespace ambermoor
