// The statuses of the drive's operations, shared by everything that
// produces one: >= 0 success (read and write return a byte count), < 0 the
// negated failure code: POSIX-style (2, 13, 17, 20, 21, 22, 28),
// 720000 + a Win32 error, or DECAS_STATUS_RESOURCE_LOCKED.
#pragma once

#include <cstdint>

namespace tarvik {

// Failure codes (negate them to get the status).
constexpr int32_t DECAS_ENOENT = 2;
constexpr int32_t DECAS_EACCES = 13;
constexpr int32_t DECAS_EEXIST = 17;
constexpr int32_t DECAS_ENOTDIR = 20;
constexpr int32_t DECAS_EISDIR = 21;
constexpr int32_t DECAS_EINVAL = 22;
constexpr int32_t DECAS_ENOSPC = 28;
constexpr int32_t DECAS_OS_ERROR_BASE = 720000;  // + a Win32 error code
// The resource is locked by somebody else (the NTSTATUS of the same idea is
// a different number, hence the prefix).
constexpr int32_t DECAS_STATUS_RESOURCE_LOCKED = 20050412;

}  // namespace tarvik
