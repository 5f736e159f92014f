// Block store: one file per block under <data>/blocks, named by its BlockId.
// A block arrives in a temporary file (hashed while it is written) and is
// renamed into place only when its digest and length match its id, so a
// reader never sees a partial block and a name always fixes the content.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

namespace ambermoor {

class BlockStore;

// One block being received. Not thread-safe; owned by one request.
class IncomingBlock {
 public:
  explicit IncomingBlock(const BlockStore& store);  // throws std::runtime_error
  ~IncomingBlock();                                  // removes the temp file unless committed
  IncomingBlock(const IncomingBlock&) = delete;
  IncomingBlock& operator=(const IncomingBlock&) = delete;

  // False once the block would exceed kBlockSize or the disk write fails.
  bool write(const char* data, std::size_t len);
  std::int64_t length() const { return length_; }
  // Finishes the digest and, when the content matches `expectedId`, moves
  // the file into the store. Returns false on mismatch (the file is dropped).
  bool commit(const std::string& expectedId, std::string* actualId);

 private:
  const BlockStore& store_;
  std::string tmpPath_;
  int fd_ = -1;
  EVP_MD_CTX* md_ = nullptr;
  std::int64_t length_ = 0;
  bool failed_ = false;
  bool committed_ = false;
};

class BlockStore {
 public:
  explicit BlockStore(const std::string& dir);
  bool has(const std::string& id) const;
  std::string pathOf(const std::string& id) const;  // id must be a valid BlockId
  const std::string& tempDir() const { return tmpDir_; }
  // Stores a block given in memory (demo content); returns its id.
  std::string put(const std::string& content);

 private:
  std::string dir_, tmpDir_;
};

}  // namespace ambermoor
