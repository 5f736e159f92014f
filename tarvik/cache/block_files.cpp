// Files of the block cache. See block_files.h.
#include "cache/block_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "cache/file_context.h"
#include "webapi/block_id.h"

namespace tarvik {
namespace {
// Sealing reads a whole block; large reads keep the syscall count low.
constexpr size_t kHashBuffer = 1u << 20;
}  // namespace

int copyFile(const std::string& src, const std::string& dst) {
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return err;
  }
  int err = 0;
  bool fallback = false;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, BLOCK_SIZE, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
      fallback = true;
    } else {
      err = errno;
    }
    break;
  }
  if (fallback) {
    // Rewind both and copy through a buffer.
    if (::lseek(in, 0, SEEK_SET) < 0 || ::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) < 0) {
      err = errno;
    } else {
      std::unique_ptr<char[]> buffer(new char[kHashBuffer]);
      for (;;) {
        const ssize_t n = ::read(in, buffer.get(), kHashBuffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          err = errno;
          break;
        }
        if (n == 0) break;
        ssize_t put = 0;
        while (put < n) {
          const ssize_t w = ::write(out, buffer.get() + put, static_cast<size_t>(n - put));
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) {
            err = errno;
            break;
          }
          put += w;
        }
        if (err != 0) break;
      }
    }
  }
  ::close(in);
  if (::close(out) != 0 && err == 0) err = errno;
  if (err != 0) ::unlink(dst.c_str());
  return err;
}

int hashFile(const std::string& path, std::string* id) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::unique_ptr<char[]> buffer(new char[kHashBuffer]);
  Sha1 sha;
  int64_t total = 0;
  int err = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), kHashBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    sha.update(buffer.get(), static_cast<size_t>(n));
    total += n;
  }
  ::close(fd);
  if (err != 0) return err;
  *id = sha.finishUrlBase64() + "#" + std::to_string(total);
  return 0;
}

int createZeroFile(const std::string& path, uint32_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = 0;
  if (::ftruncate(fd, static_cast<off_t>(length)) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) ::unlink(path.c_str());
  return err;
}

}  // namespace tarvik
