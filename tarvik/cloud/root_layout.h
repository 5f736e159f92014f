// The drive's top level and its mapping onto the service's path space.
//
// Four areas, in this order: Home ("/" + user id), Shared folders (the
// service's top level of shared items, empty prefix), Trash ("/!" + user
// id) and the hidden system folder ("/__system__"). A drive path is
// classified into a PathKind together with its service path.
//
// Threads: the current layout and the root record are written by init
// before the drive is mounted and only read afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "optable/decas.h"
#include "webapi/json.h"

namespace tarvik {

struct RootArea {
  std::string localName;      // "/Home", "/ホーム", ...
  std::string servicePrefix;  // "/" + user id, "", "/!" + user id, "/__system__"
};

constexpr int AREA_HOME = 0;
constexpr int AREA_SHARED = 1;
constexpr int AREA_TRASH = 2;
constexpr int AREA_SYSTEM = 3;
constexpr int AREA_COUNT = 4;

// Kind of a drive path: 3 x area + 0 (the area folder), + 1 (a direct
// child), + 2 (deeper); KIND_DRIVE_ROOT for "/"; KIND_NONE outside every
// area.
using PathKind = int;
constexpr PathKind KIND_NONE = -1;
constexpr PathKind KIND_DRIVE_ROOT = 99;

struct RootLayout {
  std::array<RootArea, AREA_COUNT> areas;

  // Classifies `drivePath` and, when it lies in an area (or is "/"), writes
  // its service path ("" for the drive root). An area's local name matches
  // only when followed by "/" or the end of the path, so a root folder
  // "Homework" is KIND_NONE, not inside Home.
  PathKind kind(const std::string& drivePath, std::string* servicePath) const;
};

// Japanese local names when `language` is exactly "ja", English otherwise.
// Installs the result as the current layout, sets the root record's time to
// now and returns the layout.
const RootLayout& buildRootLayout(const std::string& userId, const std::string& language);
// The layout installed by the last buildRootLayout.
const RootLayout& currentRootLayout();

// pathKind of the current layout. `servicePathOut` may be null.
PathKind pathKind(const std::string& drivePath, std::string* servicePathOut);

inline bool isAreaRoot(PathKind k) { return k >= 0 && k % 3 == 0; }  // 0, 3, 6, 9, 99
inline bool isProtected(PathKind k) { return isAreaRoot(k) || k == 4 || (k >= 6 && k <= 8); }
inline bool isInTrash(PathKind k) { return k >= 6 && k <= 8; }
inline bool isSystem(PathKind k) { return k >= 9 && k <= 11; }

// Record of the drive root and the area folders: directory, size 0, atime
// -1, mtime = the time init ran, ctime 0.
StatRecord rootRecord();
void setRootRecordTime(int64_t nowMicroseconds);

// Longest service path, in bytes, that the service accepts; it refuses a
// longer one as an invalid argument. The drive refuses such paths itself so
// that callers learn the name is too long rather than invalid.
constexpr size_t MAX_SERVICE_PATH_BYTES = 4096;
// -(720000 + ERROR_FILENAME_EXCED_RANGE): the path is longer than the
// service takes; Windows shows it as a name too long, FUSE as ENAMETOOLONG.
constexpr int NAME_TOO_LONG_STATUS = -(DECAS_OS_ERROR_BASE + 206);
inline bool tooLongForService(const std::string& servicePath) {
  return servicePath.size() > MAX_SERVICE_PATH_BYTES;
}

// A service entry object as a record: "kind" 3 is a directory, anything else
// a file; sizes and times as signed 64-bit numbers, times in microseconds;
// atime -1; ctime only when `withCtime` (else -1).
StatRecord entryToStatRecord(const JsonPtr& entry, bool withCtime);

}  // namespace tarvik
