// Where DokanMain and DokanRemoveMountPoint go: the FUSE mount, or the
// in-process test driver while one is installed.
#pragma once

#include "dokan.h"

namespace dokan {
struct Backend {
  int (*main)(PDOKAN_OPTIONS, PDOKAN_OPERATIONS) = nullptr;
  BOOL (*remove)(LPCWSTR) = nullptr;
};
void SetBackend(const Backend& backend);  // an empty backend restores FUSE
}  // namespace dokan
