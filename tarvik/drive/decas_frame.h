// The decas operation frame: the entry functions the Dokan adapter calls
// instead of the table's slots, the open-file set with its busy counters,
// and the start and removal of the mount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "optable/decas.h"

namespace tarvik {

// Registers the cloud side's table filler; call before decas_main.
void decas_setTableFiller(TableFiller filler);

// Dokan option bits.
constexpr uint32_t DECAS_OPTION_NETWORK = 16;  // mount as a network drive

// Starts the frame and the mount. Without a filler it fails with -99.
// blocking: runs the mount on the calling thread until it is unmounted.
int decas_main(const std::string& mountPoint, uint32_t options, bool debug, bool blocking);
// Removes the mount point and joins the mount thread: 0, or -1 on failure.
int decas_exit();

// Entry functions, one per slot; they log "-in"/"-out", keep the busy
// counters and the open-file set, and never throw.
int decas_access(const char* path, int mode);
int decas_stat(const char* path, StatRecord* out);
int decas_mkdir(const char* path);
int decas_rmdir(const char* path, bool toTrash);
int decas_remove(const char* path, bool toTrash);
int decas_rename(const char* from, const char* to, bool overwrite);
int decas_open(const char* path, DecasHandle* h);
int decas_fstat(const char* path, StatRecord* out, DecasHandle* h);
int decas_ftruncate(const char* path, int64_t size, DecasHandle* h);
int decas_read(const char* path, char* buf, size_t len, int64_t off, bool sync, DecasHandle* h);
int decas_write(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                DecasHandle* h);
int decas_flush(const char* path, DecasHandle* h);
int decas_close(const char* path, DecasHandle* h);
int decas_opendir(const char* path, DecasHandle* h);
int decas_readdir(const char* path, DirFiller filler, int, int, DecasHandle* h);
int decas_closedir(const char* path, DecasHandle* h);
int decas_statfs(int64_t* capacity, int64_t* free);
int decas_copy(const char* src, const char* dst);
// The frame's exit: with status 0 flushes (when opened for writing) and
// closes every open file, then calls the table's exit. The flushes commit
// for up to 30 s; the content of files left after that is kept on this
// computer for the next mount instead.
int decas_exitEntry(int status);

// Translates a failure code (the negated status) into a Win32 error code.
int statusToWin32(int code);

// Number of handles in the open-file set (0 when the frame is not started).
size_t decas_openFileCount();

// A rename of drive path `from` to `to` succeeded: open handles of the path,
// or below it, take the new path.
void decas_renameOpenHandles(const std::string& from, const std::string& to);

namespace decas_testing {
// Shortens the one-second waits (busy counter, mount retries) in tests.
void setWaitUnitMilliseconds(int ms);
// Replaces the 30 s that the exit spends on commits of open files.
void setUnmountUploadWaitMilliseconds(int ms);
}  // namespace decas_testing

}  // namespace tarvik
