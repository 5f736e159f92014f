// Transfers that carry a token, and the commit.
//
// Upload and download tokens live in the service's memory: a restarted
// service (or one whose tokens expire) refuses them with code 8, and the
// open file would be stuck with a token that no transfer accepts. These
// calls then ask for a new token for the file's path and repeat the
// transfer, a bounded number of times; concurrent transfers of one file
// renew once (the first to see the refusal asks, the others take its
// token).
//
// Threads: any; the file context's token mutex serialises renewals.
#pragma once

#include <string>
#include <vector>

#include "cache/file_context.h"

namespace tarvik {

// How often one transfer renews its token before it reports the refusal.
constexpr int kTokenRenewals = 2;
// How often a commit, or the upload of a block, goes out in all when it
// fails for a reason that may pass (communication errors, the maintenance
// page), with pauses of 1 s, 2 s, ... between the rounds.
constexpr int kCommitRounds = 3;

// Whether the service's answer `code` may name a stale token.
bool tokenRefused(int code);
// Whether a failure `code` may pass when the request is sent again later.
bool failureMayPass(int code);

// Gives `fc` a new upload (download) token unless its token is no longer
// `refused` (another transfer renewed it meanwhile). True when fc holds a
// token other than `refused` afterwards.
bool renewUploadToken(FileContext& fc, const std::string& refused);
bool renewDownloadToken(FileContext& fc, const std::string& refused);

// uploadBlock of the block file `path` under fc's upload token, renewing a
// refused token. 0 or the service's code.
int uploadBlockFor(FileContext& fc, const std::string& blockId, const std::string& path);
// downloadBlock into `destination` under fc's download token, renewing it
// (or getting the first one, for a file created by this drive) when the
// transfer fails. 0 or the code of downloadBlock.
int downloadBlockFor(FileContext& fc, const std::string& blockId,
                     const std::string& destination);

// Commits `ids` as fc's content with uploadFile. A refused token is renewed
// and `reupload` is called (it sends the blocks again under the new token:
// a restarted service no longer knows what the old token received) before
// the commit goes again; a failure that may pass is tried again after a
// pause. When the last attempt failed without a clear answer, the service
// is asked for the file's block list: equal to `ids`, the commit took
// place. 0 or the service's code.
using ReuploadBlocks = int (*)(FileContext& fc, void* arg);
int commitBlockList(FileContext& fc, const std::vector<std::string>& ids, ReuploadBlocks reupload,
                    void* arg);

namespace service_tokens_testing {
// Replaces the pause between commit rounds (it gets the pause in ms); null
// restores sleeping. Tests only.
using CommitPause = void (*)(int milliseconds);
void setCommitPause(CommitPause pause);
}  // namespace service_tokens_testing

}  // namespace tarvik
