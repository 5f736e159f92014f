// The content each file had at its last open, as the digest of its block
// list. An open whose block list is the one of the file's last open finds
// the same bytes on the service (block ids name their content), so the
// kernel may keep the pages it cached of the file (FUSE keep_cache); any
// other open makes the kernel drop them.
//
// Threads: any; one mutex held for each call only.
#pragma once

#include <string>
#include <vector>

namespace tarvik {

// Records `ids` as the content of `servicePath` at this open; true when it
// is the content recorded at the path's previous open.
bool sameContentAsLastOpen(const std::string& servicePath, const std::vector<std::string>& ids);
// Forgets every recorded content (a new mount).
void clearOpenContents();

}  // namespace tarvik
