#include "blocks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "util.h"

namespace ambermoor {

BlockStore::BlockStore(const std::string& dir) : dir_(dir), tmpDir_(dir + "/.incoming") {
  std::filesystem::create_directories(tmpDir_);
  // Leftovers of an interrupted upload are never part of the store.
  for (const auto& e : std::filesystem::directory_iterator(tmpDir_))
    std::filesystem::remove(e.path());
}

std::string BlockStore::pathOf(const std::string& id) const { return dir_ + "/" + id; }

bool BlockStore::has(const std::string& id) const {
  if (!parseBlockId(id, nullptr)) return false;
  struct stat st;
  return ::stat(pathOf(id).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BlockStore::put(const std::string& content) {
  unsigned char digest[20];
  unsigned int dlen = 0;
  EVP_Digest(content.data(), content.size(), digest, &dlen, EVP_sha1(), nullptr);
  std::string id = makeBlockId(digest, static_cast<std::int64_t>(content.size()));
  IncomingBlock in(*this);
  if (!in.write(content.data(), content.size()) || !in.commit(id, nullptr))
    throw std::runtime_error("cannot store block " + id);
  return id;
}

IncomingBlock::IncomingBlock(const BlockStore& store) : store_(store) {
  tmpPath_ = store.tempDir() + "/" + randomToken(12);
  fd_ = ::open(tmpPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) throw std::runtime_error("cannot create " + tmpPath_);
  md_ = EVP_MD_CTX_new();
  if (!md_ || EVP_DigestInit_ex(md_, EVP_sha1(), nullptr) != 1) {
    ::close(fd_);
    ::unlink(tmpPath_.c_str());
    EVP_MD_CTX_free(md_);
    throw std::runtime_error("SHA-1 unavailable");
  }
}

IncomingBlock::~IncomingBlock() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(tmpPath_.c_str());
  EVP_MD_CTX_free(md_);
}

bool IncomingBlock::write(const char* data, std::size_t len) {
  if (failed_) return false;
  if (length_ + static_cast<std::int64_t>(len) > kBlockSize) {
    failed_ = true;
    return false;
  }
  EVP_DigestUpdate(md_, data, len);
  length_ += static_cast<std::int64_t>(len);
  while (len > 0) {
    ssize_t n = ::write(fd_, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool IncomingBlock::commit(const std::string& expectedId, std::string* actualId) {
  unsigned char digest[20];
  unsigned int dlen = 0;
  EVP_DigestFinal_ex(md_, digest, &dlen);
  std::string id = makeBlockId(digest, length_);
  if (actualId) *actualId = id;
  if (failed_ || id != expectedId) return false;
  if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
    fd_ = -1;
    return false;
  }
  fd_ = -1;
  // Same content, same name: replacing an existing block is harmless.
  if (std::rename(tmpPath_.c_str(), store_.pathOf(id).c_str()) != 0) return false;
  committed_ = true;
  return true;
}

}  // namespace ambermoor
