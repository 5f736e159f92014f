// NTSTATUS to errno, the one translation at the FUSE boundary.
#pragma once

#include "windows_types.h"

namespace dokan {
// 0 for success codes, otherwise a positive errno value.
int ErrnoFromNtStatus(NTSTATUS status);
}  // namespace dokan
