// The system folder's command protocol: programs outside the library (the
// context-menu extension) ask for service actions without a file-system
// equivalent through ordinary file operations under "/__system__".
//
//   "/__system__/__cmd__"      text written to it is a command ("emptyTrash")
//   "/__system__/__restore__"  an item moved onto it returns to its "originalPath"
//   "/__system__/__remove__"   an item moved onto it is deleted permanently
#pragma once

#include <cstddef>
#include <string>

#include "cloud/root_layout.h"

namespace tarvik {

extern const char* const kSystemCommandFile;    // "/__system__/__cmd__"
extern const char* const kSystemRestoreTarget;  // "/__system__/__restore__"
extern const char* const kSystemRemoveTarget;   // "/__system__/__remove__"

// One write to the command file, taken by itself: the bytes up to the first
// NUL (or their end) are split at TAB; a first field of exactly "emptyTrash"
// calls the service's emptyTrash (its result is not examined: a failure has
// already reached the user). Anything else, a byte-order mark alone
// included, does nothing. Always returns `len` (all bytes written).
int systemCommandWrite(const char* buf, size_t len);

// The command name of one write (the first TAB-separated field before any
// NUL), exposed for tests.
std::string systemCommandName(const char* buf, size_t len);

// The rename slot's branch for a destination inside the system area.
// `fromKind` and `fromService` describe the source, `to` is the drive path of
// the destination. Restore and permanent delete as described above; an area
// folder itself is refused with -13 before the service sees it; any other
// system destination succeeds without effect.
int systemRename(PathKind fromKind, const std::string& fromService, const std::string& to);

}  // namespace tarvik
