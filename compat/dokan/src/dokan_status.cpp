// Status translations of the Dokan layer: Win32 error -> NTSTATUS (what the
// adapter asks for) and NTSTATUS -> errno (what the kernel is answered).
#include <cerrno>

#include "dokan.h"
#include "dokan_errno.h"

namespace {
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = static_cast<NTSTATUS>(0xC00000A3);
constexpr NTSTATUS STATUS_NOT_SAME_DEVICE = static_cast<NTSTATUS>(0xC00000D4);
constexpr NTSTATUS STATUS_TOO_MANY_OPENED_FILES = static_cast<NTSTATUS>(0xC000011F);
constexpr NTSTATUS STATUS_PIPE_BROKEN = static_cast<NTSTATUS>(0xC000014B);
constexpr NTSTATUS STATUS_DEVICE_BUSY = static_cast<NTSTATUS>(0x80000011);
}  // namespace

NTSTATUS DokanNtStatusFromWin32(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return STATUS_SUCCESS;
    case ERROR_INVALID_FUNCTION: return STATUS_INVALID_DEVICE_REQUEST;
    case ERROR_FILE_NOT_FOUND: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND: return STATUS_OBJECT_PATH_NOT_FOUND;
    case ERROR_TOO_MANY_OPEN_FILES: return STATUS_TOO_MANY_OPENED_FILES;
    case ERROR_ACCESS_DENIED: return STATUS_ACCESS_DENIED;
    case ERROR_INVALID_HANDLE: return STATUS_INVALID_HANDLE;
    case ERROR_NOT_ENOUGH_MEMORY: return STATUS_INSUFFICIENT_RESOURCES;
    case ERROR_OUTOFMEMORY: return STATUS_NO_MEMORY;
    case ERROR_NOT_SAME_DEVICE: return STATUS_NOT_SAME_DEVICE;
    case ERROR_WRITE_PROTECT: return STATUS_MEDIA_WRITE_PROTECTED;
    case ERROR_NOT_READY: return STATUS_DEVICE_NOT_READY;
    case ERROR_SHARING_VIOLATION: return STATUS_SHARING_VIOLATION;
    case ERROR_LOCK_VIOLATION: return STATUS_FILE_LOCK_CONFLICT;
    case ERROR_HANDLE_EOF: return STATUS_END_OF_FILE;
    case ERROR_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case ERROR_FILE_EXISTS: return STATUS_OBJECT_NAME_COLLISION;
    case ERROR_CANNOT_MAKE: return STATUS_CANNOT_DELETE;
    case ERROR_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    case ERROR_BROKEN_PIPE: return STATUS_PIPE_BROKEN;
    case ERROR_OPEN_FAILED: return STATUS_UNSUCCESSFUL;
    case ERROR_BUFFER_OVERFLOW: return STATUS_NAME_TOO_LONG;
    case ERROR_DISK_FULL: return STATUS_DISK_FULL;
    case ERROR_FILE_TOO_LARGE: return STATUS_FILE_TOO_LARGE;
    case ERROR_CALL_NOT_IMPLEMENTED: return STATUS_NOT_IMPLEMENTED;
    case ERROR_INSUFFICIENT_BUFFER: return STATUS_BUFFER_TOO_SMALL;
    case ERROR_INVALID_NAME: return STATUS_OBJECT_NAME_INVALID;
    case ERROR_DIR_NOT_EMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case ERROR_BAD_PATHNAME: return STATUS_OBJECT_PATH_SYNTAX_BAD;
    case ERROR_BUSY: return STATUS_DEVICE_BUSY;
    case ERROR_ALREADY_EXISTS: return STATUS_OBJECT_NAME_COLLISION;
    case ERROR_FILENAME_EXCED_RANGE: return STATUS_NAME_TOO_LONG;
    case ERROR_DIRECTORY: return STATUS_NOT_A_DIRECTORY;
    case ERROR_NO_UNICODE_TRANSLATION: return STATUS_NO_UNICODE_TRANSLATION;
    case ERROR_NOT_FOUND: return STATUS_NOT_FOUND;
    case ERROR_RESOURCE_LOCKED: return STATUS_RESOURCE_LOCKED;
    default: return STATUS_UNSUCCESSFUL;
  }
}

namespace dokan {

int ErrnoFromNtStatus(NTSTATUS status) {
  if (status >= 0) return 0;
  switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_NO_SUCH_FILE:
    case STATUS_NOT_FOUND:
      return ENOENT;
    case STATUS_ACCESS_DENIED:
    case STATUS_CANNOT_DELETE:
      return EACCES;
    case STATUS_OBJECT_NAME_COLLISION: return EEXIST;
    case STATUS_NOT_A_DIRECTORY: return ENOTDIR;
    case STATUS_FILE_IS_A_DIRECTORY: return EISDIR;
    case STATUS_DIRECTORY_NOT_EMPTY: return ENOTEMPTY;
    case STATUS_DISK_FULL: return ENOSPC;
    case STATUS_FILE_TOO_LARGE: return EFBIG;
    case STATUS_SHARING_VIOLATION:
    case STATUS_FILE_LOCK_CONFLICT:
    case STATUS_LOCK_NOT_GRANTED:
    case STATUS_RESOURCE_LOCKED:
      return EBUSY;
    case STATUS_OBJECT_NAME_INVALID:
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
    case STATUS_INVALID_PARAMETER:
    case STATUS_NO_UNICODE_TRANSLATION:
      return EINVAL;
    case STATUS_NAME_TOO_LONG: return ENAMETOOLONG;
    case STATUS_INVALID_HANDLE:
    case STATUS_FILE_CLOSED:
      return EBADF;
    case STATUS_NO_MEMORY:
    case STATUS_INSUFFICIENT_RESOURCES:
      return ENOMEM;
    case STATUS_MEDIA_WRITE_PROTECTED: return EROFS;
    case STATUS_NOT_SUPPORTED:
    case STATUS_NOT_IMPLEMENTED:
      return EOPNOTSUPP;
    case STATUS_DELETE_PENDING: return ENOENT;
    default: return EIO;  // includes STATUS_UNSUCCESSFUL and failed transfers
  }
}

}  // namespace dokan

void DokanMapKernelToUserCreateFileFlags(ACCESS_MASK desiredAccess, ULONG fileAttributes,
                                         ULONG createOptions, ULONG createDisposition,
                                         ACCESS_MASK* outDesiredAccess,
                                         DWORD* outFileAttributesAndFlags,
                                         DWORD* outCreationDisposition) {
  if (outDesiredAccess) {
    ACCESS_MASK access = desiredAccess;
    // Fold complete specific-right groups back into the generic rights.
    if ((access & FILE_GENERIC_READ) == FILE_GENERIC_READ) access |= GENERIC_READ;
    if ((access & FILE_GENERIC_WRITE) == FILE_GENERIC_WRITE) access |= GENERIC_WRITE;
    if ((access & FILE_GENERIC_EXECUTE) == FILE_GENERIC_EXECUTE) access |= GENERIC_EXECUTE;
    if ((access & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) access |= GENERIC_ALL;
    *outDesiredAccess = access;
  }
  if (outFileAttributesAndFlags) {
    DWORD flags = fileAttributes;
    if (createOptions & FILE_OPEN_FOR_BACKUP_INTENT) flags |= FILE_FLAG_BACKUP_SEMANTICS;
    if (createOptions & FILE_WRITE_THROUGH) flags |= FILE_FLAG_WRITE_THROUGH;
    if (createOptions & FILE_NO_INTERMEDIATE_BUFFERING) flags |= FILE_FLAG_NO_BUFFERING;
    if (createOptions & FILE_RANDOM_ACCESS) flags |= FILE_FLAG_RANDOM_ACCESS;
    if (createOptions & FILE_SEQUENTIAL_ONLY) flags |= FILE_FLAG_SEQUENTIAL_SCAN;
    if (createOptions & FILE_DELETE_ON_CLOSE) flags |= FILE_FLAG_DELETE_ON_CLOSE;
    if (createOptions & FILE_OPEN_REPARSE_POINT) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    if (!(createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)))
      flags |= FILE_FLAG_OVERLAPPED;
    *outFileAttributesAndFlags = flags;
  }
  if (outCreationDisposition) {
    switch (createDisposition) {
      case FILE_CREATE: *outCreationDisposition = CREATE_NEW; break;
      case FILE_OPEN: *outCreationDisposition = OPEN_EXISTING; break;
      case FILE_OPEN_IF: *outCreationDisposition = OPEN_ALWAYS; break;
      case FILE_OVERWRITE: *outCreationDisposition = TRUNCATE_EXISTING; break;
      case FILE_SUPERSEDE:
      case FILE_OVERWRITE_IF: *outCreationDisposition = CREATE_ALWAYS; break;
      default: *outCreationDisposition = 0; break;
    }
  }
}
