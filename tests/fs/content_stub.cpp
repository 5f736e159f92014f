// Temporary stand-in for the content half (cache/file_context.cpp) while it
// is not in the tree yet; linked into the namespace unit tests only. It does
// what the name operations rely on: the context holds the path, the shared
// MetaCache and the lock flag, and a new file is marked HANDLE_NEW.
#include "cache/file_context.h"

namespace tarvik {

int BlockFile::close() {
  fd_ = -1;
  return 0;
}
FileContext::FileContext() = default;
FileContext::~FileContext() = default;

int contentOpen(const std::string& servicePath, DecasHandle* handle, const StatRecord& record,
                bool isNew, const JsonPtr&, const std::string& uploadToken, bool lockHeld) {
  auto fc = std::make_shared<FileContext>();
  fc->path = servicePath;
  fc->uploadToken = uploadToken;
  fc->meta = obtainMetaCache(servicePath, &record);
  fc->lockHeld = lockHeld;
  fc->commitNeeded = isNew;
  handle->fileContext = fc;
  if (isNew) handle->state |= HANDLE_NEW;
  return 0;
}
int contentClose(DecasHandle*) { return 0; }
FileContextPtr makeCommandFileContext() {
  auto fc = std::make_shared<FileContext>();
  fc->commandFile = true;
  return fc;
}
FileContextPtr makeDirectoryContext(const std::string& servicePath, MetaCachePtr meta) {
  auto fc = std::make_shared<FileContext>();
  fc->path = servicePath;
  fc->meta = std::move(meta);
  fc->directory = true;
  return fc;
}
int finalizeFileContext(FileContextPtr) { return 0; }

}  // namespace tarvik
