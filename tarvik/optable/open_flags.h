// Open flags of one open on the drive, computed by the Dokan adapter from the
// Windows create arguments and handed to the cloud side with the handle.
#pragma once

#include <cstdint>

namespace tarvik {

using OpenFlags = uint32_t;

constexpr OpenFlags OPEN_READ = 0x1;
constexpr OpenFlags OPEN_WRITE = 0x2;
constexpr OpenFlags OPEN_CREATE = 0x4;
constexpr OpenFlags OPEN_TRUNCATE = 0x10;
constexpr OpenFlags OPEN_EXCLUSIVE = 0x20;
constexpr OpenFlags OPEN_DELETE_ON_CLOSE = 0x100;
constexpr OpenFlags OPEN_OVERLAPPED = 0x200;
constexpr OpenFlags OPEN_SHARE_LOCK = 0x400;     // the caller does not share writing
constexpr OpenFlags OPEN_SHARE_DELETE = 0x800;
constexpr OpenFlags OPEN_DELETE_ACCESS = 0x1000;

}  // namespace tarvik
