// The Dokan adapter: the callbacks Dokan calls for every request on the
// drive. Each converts the path, computes the open flags, keeps an
// OpenContext per open in the file information's Context, calls the decas
// frame's entry functions and turns their statuses into NTSTATUS values.
#pragma once

#include <cstdint>
#include <memory>

#include "dokan.h"
#include "drive/decas_frame.h"

namespace tarvik {

// Per-open state; Dokan's Context holds its address. It owns the open's
// handle (the "pool" of the open): deleting it releases the open.
struct OpenContext {
  std::unique_ptr<DecasHandle> handle;  // cleared when the handle is closed
  int32_t lastWriteLength = -1;         // length of the last non-empty write
  uint8_t failed = 0;                   // a write or flush on this open failed
  uint8_t wroteData = 0;                // a write on this open put bytes into the file
  int64_t writtenEnd = -1;              // highest offset + length written, or the size set
};

// Open flags from the Win32 create arguments (after
// DokanMapKernelToUserCreateFileFlags) and the share access.
OpenFlags computeOpenFlags(ACCESS_MASK access, DWORD flagsAndAttributes, DWORD disposition,
                           ULONG shareAccess);

// NTSTATUS of a negative frame status (writes "###To NTSTATUS: ...").
NTSTATUS ntStatusOf(int status);

// Fills the 25 Dokan operations (FindFilesWithPattern stays empty).
void fillDokanOperations(DOKAN_OPERATIONS* ops);

// FILETIME of microseconds since 1970 (a negative time gives 0).
FILETIME fileTimeOf(int64_t micros);

}  // namespace tarvik
