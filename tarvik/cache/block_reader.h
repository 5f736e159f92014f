// The read side of the block cache: the test for a missing block file, the
// verified download that puts a block into the block directory, prefetch,
// fstat and read.
//
// A block file appears in the block directory only by a rename of a
// complete download whose length (and, in the transport, digest) matched
// its id, so a reader never sees a partial block. A block file whose size
// does not match its id counts as missing and is downloaded again.
//
// Locks: the caller of ensureBlockFile holds the block's mutex. read takes
// the context mutex only to look blocks up, then the block's mutex; while it
// holds block i it may take block i - 1 (higher index first).
#pragma once

#include <string>

#include "cache/file_context.h"

namespace tarvik {

// True when a stat of `path` fails with "no such file" or "not a directory"
// (the platform's file-not-found and path-not-found); any other result,
// success included, counts as present.
bool isMissingFile(const std::string& path);

// Block's mutex held. Missing as above, or, for a block with an id, present
// with a size other than the id's length.
bool blockFileMissing(const BlockInfo& b);

// Block's mutex held, and a pin on the block's id when it has one.
// Downloads the block into a temporary file and renames it into place when
// its file is missing (with a new download token when the service refuses
// fc's); the block file counts as used for fc's file. 0 or a status: the
// mapped service error when the download fails or does not match the id
// (the temporary file is removed then). A block without path (never
// written) needs no file.
int ensureBlockFile(BlockInfo& b, FileContext& fc);

// Queues a background download of `b` when it is not cached and no
// prefetch was queued for it before. 0, or the thread pool's status.
int prefetchBlock(const BlockInfoPtr& b, const FileContextPtr& fc);

// Writes the "apr status:" debug line for the platform error `err` and
// returns the status -err.
int osFailure(int err);

// Body of the prefetch task (download pool): nothing when the file was
// closed or the block detached; a failed download is dropped.
void runPrefetchTask(const BlockInfoPtr& b, const FileContextPtr& fc);

// The read slot: up to `len` bytes of the open file at `off`, from the block
// files (downloaded as needed). A byte count or a status.
int cloud_read(const char* path, char* buf, size_t len, int64_t off, bool sync, DecasHandle* h);

}  // namespace tarvik
