// The cloud side's name operations: the OperationTable slots that deal with
// names rather than content. They map drive paths onto service paths
// through the RootLayout, refuse what the layout protects, call the
// service, keep the metadata cache in step and translate service error
// codes into frame statuses. The content halves of open and close are
// cache/file_context.h's contentOpen and contentClose.
#pragma once

#include <cstdint>

#include "fs/decas.h"

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

}  // namespace tarvik
