// Root layout, path kinds, the root record and the conversion of service
// entries into records.
#include "cloud/root_layout.h"

#include <atomic>
#include <chrono>
#include <cmath>

#include "core/clock.h"
#include "log/log.h"

namespace tarvik {

namespace {

RootLayout& layoutStorage() {
  static RootLayout* layout = new RootLayout(RootLayout{{{
      {"/Home", "/"},
      {"/Shared folders", ""},
      {"/Trash", "/!"},
      {"/__system__", "/__system__"},
  }}});
  return *layout;
}

std::atomic<int64_t> g_rootMtime{0};

// A JSON number as a signed 64-bit integer, fraction dropped; values out of
// range or not numbers give 0 instead of undefined behaviour.
int64_t toInt64(const JsonPtr& value) {
  if (!value || !value->isNumber()) return 0;
  double d = value->number();
  if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return 0;
  return static_cast<int64_t>(d);
}

// Milliseconds to microseconds without overflow on absurd values.
int64_t msToUs(int64_t ms) {
  constexpr int64_t kLimit = INT64_MAX / 1000;
  if (ms > kLimit || ms < -kLimit) return 0;
  return ms * 1000;
}

}  // namespace

PathKind RootLayout::kind(const std::string& drivePath, std::string* servicePath) const {
  if (drivePath == "/") {
    if (servicePath) servicePath->clear();
    return KIND_DRIVE_ROOT;
  }
  for (int area = 0; area < AREA_COUNT; ++area) {
    const RootArea& a = areas[area];
    const std::string& local = a.localName;
    if (drivePath.compare(0, local.size(), local) != 0) continue;
    // The local name must be a whole component: "/Homework" is not "/Home".
    if (drivePath.size() > local.size() && drivePath[local.size()] != '/') continue;

    std::string service = a.servicePrefix + drivePath.substr(local.size());
    PathKind result;
    if (service == a.servicePrefix) {
      result = 3 * area;
    } else {
      size_t slash = service.rfind('/');
      std::string parent = slash == std::string::npos ? std::string() : service.substr(0, slash);
      result = parent == a.servicePrefix ? 3 * area + 1 : 3 * area + 2;
    }
    if (servicePath) *servicePath = std::move(service);
    return result;
  }
  return KIND_NONE;
}

const RootLayout& buildRootLayout(const std::string& userId, const std::string& language) {
  bool ja = language == "ja";
  RootLayout& layout = layoutStorage();
  layout.areas[AREA_HOME] = {ja ? "/ホーム" : "/Home", "/" + userId};
  layout.areas[AREA_SHARED] = {ja ? "/共有されているフォルダ" : "/Shared folders", ""};
  layout.areas[AREA_TRASH] = {ja ? "/ごみ箱" : "/Trash", "/!" + userId};
  layout.areas[AREA_SYSTEM] = {"/__system__", "/__system__"};
  // The drive root and the area folders show the time the layout was built.
  setRootRecordTime(nowMicroseconds());
  return layout;
}

const RootLayout& currentRootLayout() { return layoutStorage(); }

PathKind pathKind(const std::string& drivePath, std::string* servicePathOut) {
  return layoutStorage().kind(drivePath, servicePathOut);
}

StatRecord rootRecord() {
  StatRecord r{};
  r.type = ENTRY_DIRECTORY;
  r.size = 0;
  r.atime = -1;
  r.mtime = g_rootMtime.load();
  r.ctime = 0;
  return r;
}

void setRootRecordTime(int64_t now) { g_rootMtime.store(now); }

StatRecord entryToStatRecord(const JsonPtr& entry, bool withCtime) {
  StatRecord r{};
  r.type = toInt64(entry->member("kind")) == 3 ? ENTRY_DIRECTORY : ENTRY_FILE;
  r.size = toInt64(entry->member("size"));
  r.atime = -1;
  r.mtime = msToUs(toInt64(entry->member("mtime")));
  r.ctime = withCtime ? msToUs(toInt64(entry->member("ctime"))) : -1;
  return r;
}

}  // namespace tarvik
