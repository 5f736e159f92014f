// A parsed JSON document, or a view of one value inside one, always held
// through a shared pointer.
//
// A document made by parse() owns its value tree and keeps the parser's
// error text. A view made by member() or element() points into its
// parent's tree and holds a shared reference to the parent, so the view
// stays valid after every other holder of the parent has let go. Missing
// members and elements read as one shared, immutable null value.
//
// Threads: a document is not locked; concurrent readers are fine, a writer
// (replaceWithMember) must own the document alone.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace picojson {
class value;
}

namespace tarvik {

class json : public std::enable_shared_from_this<json> {
 public:
  // Parses `text`. Never returns null: a failed parse keeps whatever the
  // parser had built (possibly null) and the error text.
  static std::shared_ptr<json> parse(const std::string& text);

  ~json();
  json(const json&) = delete;
  json& operator=(const json&) = delete;

  // View of a member; a missing key or a non-object yields the shared null.
  std::shared_ptr<json> member(const std::string& key);
  // View of an element; an index beyond the end or a non-array yields the
  // shared null.
  std::shared_ptr<json> element(size_t index);
  // Number of elements of an array; 0 for any other value.
  size_t count() const;

  bool isNull() const;
  bool isObject() const;
  bool isArray() const;
  bool isString() const;
  bool isNumber() const;
  bool isBool() const;

  std::string text() const;  // string value, "" if not a string
  double number() const;     // number value, 0 if not a number
  bool boolean() const;      // bool value, false if not a bool

  // The value as JSON text (for log lines).
  std::string serialize() const;
  // The parser's error text; empty when the parse succeeded (and for views).
  const std::string& parseError() const;

  // Replaces the held value by the value of member `key` (null when absent
  // or when the value is not an object). Used to unwrap "result".
  void replaceWithMember(const std::string& key);

  std::shared_ptr<json> self();

  // Access for code inside the web API client.
  const picojson::value& value() const;

 private:
  json();
  static std::shared_ptr<json> sharedNull();
  std::shared_ptr<json> viewOf(picojson::value* child);

  // The value this object shows. A document owns its tree through it; a
  // view holds an aliasing pointer that shares ownership of the whole tree
  // of its parent, so it outlives the parent's last holder.
  std::shared_ptr<picojson::value> node_;
  std::string parseError_;
};

using JsonPtr = std::shared_ptr<json>;

}  // namespace tarvik
