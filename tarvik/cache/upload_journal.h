// The upload journal: content of files whose commit failed, kept on disk
// until the service has it.
//
// Layout, under the cache root (…/korbel/journal, 0700 folders, 0600
// files): one folder per account (the hex of "corp\nuser"), in it one
// folder per waiting file holding "entry" (JSON: the service path, the
// drive path, the block list, the list of the version it was based on, size
// and time) and a hard link to every block file of the content that was
// in the block directory when it was kept. The links keep the blocks when
// the cache evicts or clears its own names; nothing but a successful commit
// (or a newer waiting version of the same path) removes them. An entry is
// written and synced before the failure is reported.
//
// Threads: any; one mutex guards the in-memory index of the current
// account, a leaf.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::journal {

struct Entry {
  std::string id;           // folder name of the entry
  std::string servicePath;  // where it is to be committed
  std::string drivePath;    // the path the program wrote to, for lists and messages
  std::vector<std::string> blocks;  // the content's block list
  // Block list of the service's version the content was based on (what the
  // file had when it was opened, or the last commit of this drive); a
  // commit is only made over that version.
  std::vector<std::string> base;
  int64_t size = 0;
  int64_t mtime = 0;  // microseconds since 1970
  // The commit failed for a reason that does not pass (the service refuses
  // the path, the file is too large): kept for the user, never retried.
  bool final = false;
  int lastCode = 0;  // the service's code of the last failure
};

// Whether a commit that failed with the service's `code` may succeed later:
// communication errors, the maintenance page, an ended session, a lock or a
// full quota.
bool failureMayPass(int code);

// Writes `entry` (a new id is given to it) with links to the block files
// `blockFiles` (paths in the block directory, named by their id) into the
// journal of the signed-in account, then drops older entries of the same
// service path. 0 or an errno.
int keep(Entry& entry, const std::vector<std::string>& blockFiles);

// The entries of an account, oldest first (read from disk).
std::vector<Entry> list(const std::string& corpId, const std::string& userId);

// The waiting entry of `servicePath` in the signed-in account's journal.
bool find(const std::string& servicePath, Entry* out);
// Every waiting entry of the signed-in account whose service path lies in
// the folder `folder` (direct children only).
std::vector<Entry> childrenOf(const std::string& folder);
// Entries of the signed-in account that are to be retried.
std::vector<Entry> pending();

// Path of block `id` in the entry, or "" when the entry has no copy of it.
std::string blockFile(const Entry& entry, const std::string& id);

// Removes the entry (its content was committed, or replaced by newer
// content). Entries of `servicePath` older than `keepId` go as well.
void remove(const Entry& entry);
void removeAllOf(const std::string& servicePath);
// Rewrites the entry on disk (its final mark or last code changed).
int update(const Entry& entry);

// Forgets the in-memory index (a new sign-in, another account).
void reload();

}  // namespace tarvik::journal
