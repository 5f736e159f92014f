// Files waiting for upload: content whose commit failed is kept in the
// upload journal (cache/upload_journal.h) and committed later in the
// background, with growing pauses (1 s doubling to 5 min; at once when a
// commit of the drive succeeds again). Before a waiting version is
// committed, the version it was based on is compared with the service's:
// when another client changed the file meanwhile, the waiting content goes
// to a conflict name beside it ("name (conflict YYYY-MM-DD hhmmss).ext",
// local time) and the other version stays; a file deleted meanwhile is
// created again at its path.
//
// The status callback hears 1006 when a file is kept (argument: its drive
// path), 1007 when no file waits any more, 1008 for a conflict copy
// (arguments: the drive path and the conflict name).
#pragma once

#include <string>
#include <vector>

#include "cache/file_context.h"
#include "optable/decas.h"

namespace tarvik {

// Context mutex held. Keeps fc's content (sealed, not uploaded) in the
// journal under the drive path `drivePath`, written and synced before it
// returns, and says so through the status callback. 0 or an errno.
int keepWaiting(FileContext& fc, const std::string& drivePath);

// A commit of `servicePath` succeeded: an older waiting version of it is
// dropped (the newest content wins), and waiting files are tried at once.
void committedNewest(const std::string& servicePath);

// Applies a waiting version of `servicePath` to `record` (size and time;
// a file the service does not have is made up from the entry). True when
// the path has a waiting version.
bool waitingRecord(const std::string& servicePath, StatRecord* record);

// Waiting files of the folder `folder` (direct children): name and record.
std::vector<std::pair<std::string, StatRecord>> waitingChildren(const std::string& folder);

// One pass over the signed-in account's waiting files (files open on the
// drive are left to their own commit). The number still waiting to be
// retried afterwards.
int retryWaitingNow();

// The background retries run while the drive is mounted: started by the
// content layer's init (which makes a first pass at once), stopped by its
// exit (a commit in flight finishes first).
void startWaitingRetries();
void stopWaitingRetries();

// "name (conflict YYYY-MM-DD hhmmss).ext" beside `servicePath`, for the
// local time `seconds` since 1970.
std::string conflictPath(const std::string& servicePath, int64_t seconds);

namespace waiting_uploads_testing {
// The passes the background retries have made since the library loaded.
int loopPasses();
}  // namespace waiting_uploads_testing

}  // namespace tarvik
