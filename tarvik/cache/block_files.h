// Files of the block cache: copies, hashes and zero-filled files.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

// Copies `src` to a new file `dst` (owner read and write). 0 or errno; a
// partial `dst` is removed.
int copyFile(const std::string& src, const std::string& dst);

// BlockId of the file at `path`. 0 or errno.
int hashFile(const std::string& path, std::string* id);

// Creates a new temporary file of `length` zero bytes (sparse). 0 or errno.
int createZeroFile(const std::string& path, uint32_t length);

}  // namespace tarvik
