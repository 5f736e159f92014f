#include "webapi/json.h"

#include <picojson.h>

namespace tarvik {

json::json() = default;
json::~json() = default;

std::shared_ptr<json> json::sharedNull() {
  // One immutable null for every missing member or element; never modified
  // (replaceWithMember leaves it alone).
  static const std::shared_ptr<json> instance = [] {
    std::shared_ptr<json> j(new json());
    j->node_ = std::make_shared<picojson::value>();
    return j;
  }();
  return instance;
}

std::shared_ptr<json> json::parse(const std::string& text) {
  std::shared_ptr<json> j(new json());
  j->node_ = std::make_shared<picojson::value>();
  std::string err;
  picojson::parse(*j->node_, text.begin(), text.end(), &err);
  j->parseError_ = std::move(err);
  return j;
}

std::shared_ptr<json> json::viewOf(picojson::value* child) {
  std::shared_ptr<json> v(new json());
  v->node_ = std::shared_ptr<picojson::value>(node_, child);
  return v;
}

std::shared_ptr<json> json::member(const std::string& key) {
  if (!node_->is<picojson::object>()) return sharedNull();
  picojson::object& obj = node_->get<picojson::object>();
  auto it = obj.find(key);
  if (it == obj.end()) return sharedNull();
  return viewOf(&it->second);
}

std::shared_ptr<json> json::element(size_t index) {
  if (!node_->is<picojson::array>()) return sharedNull();
  picojson::array& arr = node_->get<picojson::array>();
  if (index >= arr.size()) return sharedNull();
  return viewOf(&arr[index]);
}

size_t json::count() const {
  return node_->is<picojson::array>() ? node_->get<picojson::array>().size() : 0;
}

bool json::isNull() const { return node_->is<picojson::null>(); }
bool json::isObject() const { return node_->is<picojson::object>(); }
bool json::isArray() const { return node_->is<picojson::array>(); }
bool json::isString() const { return node_->is<std::string>(); }
bool json::isNumber() const { return node_->is<double>(); }
bool json::isBool() const { return node_->is<bool>(); }

std::string json::text() const {
  return node_->is<std::string>() ? node_->get<std::string>() : std::string();
}

double json::number() const { return node_->is<double>() ? node_->get<double>() : 0.0; }

bool json::boolean() const { return node_->is<bool>() ? node_->get<bool>() : false; }

std::string json::serialize() const { return node_->serialize(); }

const std::string& json::parseError() const { return parseError_; }

const picojson::value& json::value() const { return *node_; }

void json::replaceWithMember(const std::string& key) {
  if (this == sharedNull().get()) return;
  picojson::value replacement;
  if (node_->is<picojson::object>()) {
    picojson::object& obj = node_->get<picojson::object>();
    auto it = obj.find(key);
    if (it != obj.end()) {
      // Nobody else sees this tree: take the member out instead of copying
      // it (listings can be large). Otherwise copy, so views handed out
      // earlier keep pointing at the old, still owned tree.
      if (node_.use_count() == 1) {
        replacement.swap(it->second);
      } else {
        replacement = it->second;
      }
    }
  }
  // A fresh tree: earlier views of this object keep the old one alive.
  node_ = std::make_shared<picojson::value>(std::move(replacement));
}

std::shared_ptr<json> json::self() { return shared_from_this(); }

}  // namespace tarvik
