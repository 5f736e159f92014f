#include "webapi/service_status.h"

#include "core/service_codes.h"
#include "log/log.h"

namespace tarvik {

int mapServiceError(int serviceCode) {
  if (serviceCode >= service_code::kAccessDeniedFirst &&
      serviceCode <= service_code::kAccessDeniedLast) {
    return -DECAS_EACCES;
  }
  switch (serviceCode) {
    case service_code::kInvalidArgument:
      return -DECAS_EINVAL;
    case service_code::kNotFound:
      return -DECAS_ENOENT;
    case service_code::kAlreadyExists:
      return -DECAS_EEXIST;
    case service_code::kLocked:
      return -DECAS_STATUS_RESOURCE_LOCKED;
    case service_code::kQuotaExceeded:
      return -DECAS_ENOSPC;
    default:
      TLOG_DEBUG("t2d error:", serviceCode);
      return UNMAPPED_SERVICE_STATUS;
  }
}

}  // namespace tarvik
