// The cloud side's name operations: the OperationTable slots that deal with
// names rather than content. They map drive paths onto service paths
// through the RootLayout, refuse what the layout protects, call the
// service, keep the metadata cache in step and translate service error
// codes into frame statuses. The content halves of open, close, fstat,
// write and init are in cache/ (contentOpen, contentClose, contentFstat,
// contentWrite, contentInit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "optable/decas.h"

namespace tarvik {

int cloud_access(const char* path, int mode);
int cloud_stat(const char* path, StatRecord* out);
int cloud_mkdir(const char* path);
// rmdir and remove share one body: deletes inside the trash are permanent;
// elsewhere `toTrash` chooses between moving to the trash and deleting.
int cloud_remove(const char* path, bool toTrash);
int cloud_rmdir(const char* path, bool toTrash);
int cloud_rename(const char* from, const char* to, bool overwrite);
int cloud_open(const char* path, DecasHandle* h);
int cloud_close(const char* path, DecasHandle* h);
int cloud_opendir(const char* path, DecasHandle* h);
int cloud_readdir(const char* path, DirFiller filler, int, int, DecasHandle* h);
int cloud_closedir(const char* path, DecasHandle* h);
// Fails with the mapped service status when the user's quota cannot be
// read; free space is never negative.
int cloud_statfs(int64_t* capacity, int64_t* free);
int cloud_copy(const char* src, const char* dst);

// Name halves of content slots; the content halves are in cache/.
// fstat: the drive root and the area folders have the root record.
int cloud_fstat(const char* path, StatRecord* out, DecasHandle* h);
// write: what is written to the command file goes to the system commands
// (all of it counts as written).
int cloud_write(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                DecasHandle* h);
// init: the directory tree and the root layout for the signed-in user and
// the language, then the content's pools.
int cloud_init(int, int);

}  // namespace tarvik
