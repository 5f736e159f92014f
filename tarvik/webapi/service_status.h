// Where the cloud side turns a failed service call into a status of the
// drive's operations (core/statuses.h). The call itself has already reported
// the error to the user through the request layer.
#pragma once

#include "core/statuses.h"

namespace tarvik {

// Status for a failed service call's error code. Codes outside the known
// table give UNMAPPED_SERVICE_STATUS (general failure), never a success.
int mapServiceError(int serviceCode);
// -(720000 + ERROR_GEN_FAILURE): the request failed for a reason the drive
// has no closer code for; Windows shows it as a general device failure,
// FUSE as an I/O error.
constexpr int UNMAPPED_SERVICE_STATUS = -(DECAS_OS_ERROR_BASE + 31);

}  // namespace tarvik
