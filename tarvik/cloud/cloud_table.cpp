#include "cloud/cloud_table.h"

#include "cache/block_reader.h"
#include "cache/block_writer.h"
#include "cache/worker_pools.h"
#include "cloud/namespace_ops.h"

namespace tarvik {

namespace {
int cloud_stub() { return 0; }  // slots 6 and 7: never called, succeed if they are
}  // namespace

void cloud_fillOperationTable(OperationTable* table) {
  table->access = cloud_access;
  table->stat = cloud_stat;
  table->mkdir = cloud_mkdir;
  table->rmdir = cloud_rmdir;
  table->remove = cloud_remove;
  table->rename = cloud_rename;
  table->stub6 = cloud_stub;
  table->stub7 = cloud_stub;
  table->open = cloud_open;
  table->fstat = cloud_fstat;
  table->ftruncate = cloud_ftruncate;
  table->read = cloud_read;
  table->write = cloud_write;
  table->flush = cloud_flush;
  table->close = cloud_close;
  table->opendir = cloud_opendir;
  table->readdir = cloud_readdir;
  table->closedir = cloud_closedir;
  table->statfs = cloud_statfs;
  table->slot19 = nullptr;
  table->slot20 = nullptr;
  table->slot21 = nullptr;
  table->copy = cloud_copy;
  table->init = cloud_init;
  table->exit = cloud_exit;
}

}  // namespace tarvik
