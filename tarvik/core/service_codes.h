// The service's error codes that the library acts on, and the codes it
// reports itself through the same error-message table. Service codes come in
// the "error" object of a response; every other code is passed on as it is.
#pragma once

namespace tarvik::service_code {

constexpr int kSessionEnded = 1;        // the session is gone: the drive unmounts itself
constexpr int kInvalidArgument = 8;
constexpr int kNotFound = 50;
constexpr int kAlreadyExists = 51;
constexpr int kLocked = 66;             // another user holds the resource's lock
constexpr int kQuotaExceeded = 77;
constexpr int kAccessDeniedFirst = 150;  // 150 to 199: the user may not do this
constexpr int kAccessDeniedLast = 199;
constexpr int kUnlockPassedOver = 999;  // unlockResource: an error the close path passes over

// Codes the library detects itself; their messages are built in.
constexpr int kCommunicationError = 1001;  // transport failure; argument: its result
constexpr int kMaintenance = 1002;         // the maintenance page came back
constexpr int kCertificate = 1003;         // the certificate page came back
constexpr int kRestoreFailed = 1004;       // restore: the original place is missing or taken
constexpr int kNoOriginalPath = 1005;      // restore: the item carries no original place
constexpr int kMountFailed = 5000;         // the mount ended with an error

}  // namespace tarvik::service_code
