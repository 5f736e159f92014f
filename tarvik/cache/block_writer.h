// The write side: private copies of blocks, write, ftruncate, sealing and
// upload, flush with the commit.
//
// Block states (fields of BlockInfo):
//   BLOCK_UPLOADED  id from the service, path = blockFilePath(id)
//   BLOCK_DIRTY     private copy: no id, path = a temporary file (open);
//                   fresh: no id, no path (a hole, reads as zeros)
//   BLOCK_SEALED    id of the content, path = blockFilePath(id), not yet
//                   confirmed by the service
// The first write or truncation into an UPLOADED or SEALED block copies its
// file to a temporary file; sealing hashes a dirty block (a hole as zeros of
// its length), renames it into the block directory and uploads it.
//
// Alignment: block i always starts at i x BLOCK_SIZE. Extending the file
// past its last block first fills that block with zeros up to BLOCK_SIZE;
// blocks appended between the old end and the new one are holes of
// BLOCK_SIZE; the new last block starts empty.
//
// Locks: write and ftruncate take the context mutex only to find or extend
// the list (extending may lock the old last block inside it), and take
// every block reference they need then, before any block mutex. A write
// holding block i may take block p < i to seal it. Flush holds the context
// mutex for its whole run and locks one block at a time.
#pragma once

#include <string>

#include "cache/file_context.h"

namespace tarvik {

// Block's mutex held. Gives the block an open private file with its current
// content (downloading it when needed). 0 or a status; on failure the block
// keeps its content.
int makeBlockWritable(BlockInfo& b, FileContext& fc);

// Seals a dirty block and uploads a sealed one under fc's upload token
// (renewed when the service refuses it). The block stays pinned until a
// commit lists it. 0; 1 when the file was closed (the block is detached);
// or a status.
int sealAndUploadBlock(const BlockInfoPtr& b, FileContext& fc);

// Seals a dirty block (stores it under its id, pinned) without uploading
// it. 0; 1 when the block is detached; or a status.
int sealBlock(const BlockInfoPtr& b, FileContext& fc);

// pending uploads + 1 and the upload task queued; 0 or the pool's status.
// Without pools the block is sealed and uploaded at once.
int scheduleBlockUpload(const FileContextPtr& fc, const BlockInfoPtr& b);

// Body of the upload task (upload pool).
void runUploadTask(const BlockInfoPtr& b, const FileContextPtr& fc);

// Content half of the write slot: writes into the blocks of an open file (a
// command file's context takes nothing: the name half gives those writes to
// the system commands). A byte count or a status. What a failed write wrote
// before it failed stays, and the next flush reports the failure after it
// committed the rest.
int contentWrite(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                 DecasHandle* h);
// The ftruncate and flush slots. A flush commits the content of every open
// of the file; it returns the failure of a write since the last flush once
// the commit succeeded.
int cloud_ftruncate(const char* path, int64_t size, DecasHandle* h);
int cloud_flush(const char* path, DecasHandle* h);

// Writers that run ahead of their uploads wait while more than this many
// uploads of their file are pending...
constexpr int32_t MAX_PENDING_UPLOADS = 2;
// ...but no longer than this, counted from the start of the write call.
constexpr int64_t UPLOAD_WAIT_LIMIT_MS = 120000;

}  // namespace tarvik
