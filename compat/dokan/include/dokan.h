// The Dokan-style user-mode file-system API, implemented over libfuse3.
//
// The adapter (tarvik/drive) is written against these names as it would be on
// Windows: DokanMain runs a mount until it is removed, and every request from
// the kernel arrives as the sequence of callbacks Windows would send for it.
// Paths are UTF-16 with "\" separators, rooted at "\".
#pragma once

#include <cstdint>
#include <string>

#include "windows_types.h"

typedef unsigned char UCHAR;
typedef uint16_t USHORT;
typedef ULONG* PULONG;
typedef ULONGLONG* PULONGLONG;

// --- Access rights -------------------------------------------------------
constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_LIST_DIRECTORY = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_ADD_FILE = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_ADD_SUBDIRECTORY = 0x0004;
constexpr ACCESS_MASK FILE_READ_EA = 0x0008;
constexpr ACCESS_MASK FILE_WRITE_EA = 0x0010;
constexpr ACCESS_MASK FILE_EXECUTE = 0x0020;
constexpr ACCESS_MASK FILE_TRAVERSE = 0x0020;
constexpr ACCESS_MASK FILE_DELETE_CHILD = 0x0040;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr ACCESS_MASK ACCESS_SYSTEM_SECURITY = 0x01000000;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK FILE_GENERIC_READ =
    STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
constexpr ACCESS_MASK FILE_GENERIC_WRITE = STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA |
                                           FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
                                           FILE_APPEND_DATA | SYNCHRONIZE;
constexpr ACCESS_MASK FILE_GENERIC_EXECUTE =
    STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
constexpr ACCESS_MASK FILE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

// --- Share access ----------------------------------------------------------
constexpr ULONG FILE_SHARE_READ = 0x1;
constexpr ULONG FILE_SHARE_WRITE = 0x2;
constexpr ULONG FILE_SHARE_DELETE = 0x4;

// --- Creation dispositions: Win32 (user mode) and kernel -------------------
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_OVERWRITE_IF = 5;

// --- Kernel create options -------------------------------------------------
constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_WRITE_THROUGH = 0x00000002;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_NO_INTERMEDIATE_BUFFERING = 0x00000008;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;
constexpr ULONG FILE_RANDOM_ACCESS = 0x00000800;
constexpr ULONG FILE_DELETE_ON_CLOSE = 0x00001000;
constexpr ULONG FILE_OPEN_FOR_BACKUP_INTENT = 0x00004000;
constexpr ULONG FILE_OPEN_REPARSE_POINT = 0x00200000;

// --- Win32 flags and attributes --------------------------------------------
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x40;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_ATTRIBUTE_COMPRESSED = 0x800;
constexpr DWORD FILE_ATTRIBUTE_OFFLINE = 0x1000;
constexpr DWORD FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
constexpr DWORD FILE_ATTRIBUTE_ENCRYPTED = 0x4000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_FLAG_POSIX_SEMANTICS = 0x01000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;

// --- Volume flags ------------------------------------------------------------
constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x1;
constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x2;
constexpr DWORD FILE_UNICODE_ON_DISK = 0x4;
constexpr DWORD FILE_SUPPORTS_REMOTE_STORAGE = 0x100;

constexpr DWORD MAX_PATH = 260;

// --- Dokan options and results -----------------------------------------------
constexpr ULONG DOKAN_OPTION_DEBUG = 1;
constexpr ULONG DOKAN_OPTION_STDERR = 2;
constexpr ULONG DOKAN_OPTION_ALT_STREAM = 4;
constexpr ULONG DOKAN_OPTION_WRITE_PROTECT = 8;
constexpr ULONG DOKAN_OPTION_NETWORK = 16;
constexpr ULONG DOKAN_OPTION_REMOVABLE = 32;

constexpr int DOKAN_SUCCESS = 0;
constexpr int DOKAN_ERROR = -1;
constexpr int DOKAN_DRIVE_LETTER_ERROR = -2;
constexpr int DOKAN_DRIVER_INSTALL_ERROR = -3;
constexpr int DOKAN_START_ERROR = -4;
constexpr int DOKAN_MOUNT_ERROR = -5;
constexpr int DOKAN_MOUNT_POINT_ERROR = -6;
constexpr int DOKAN_VERSION_ERROR = -7;

struct DOKAN_OPTIONS {
  USHORT Version;
  USHORT ThreadCount;
  ULONG Options;
  ULONG64 GlobalContext;
  LPCWSTR MountPoint;
  LPCWSTR UNCName;
  ULONG Timeout;  // milliseconds
  ULONG AllocationUnitSize;
  ULONG SectorSize;
};
typedef DOKAN_OPTIONS* PDOKAN_OPTIONS;

// Per-request information; Context is the per-open value the file system
// keeps between ZwCreateFile and CloseFile.
struct DOKAN_FILE_INFO {
  ULONG64 Context;
  ULONG64 DokanContext;
  PDOKAN_OPTIONS DokanOptions;
  ULONG ProcessId;
  UCHAR IsDirectory;
  UCHAR DeleteOnClose;
  UCHAR PagingIo;
  UCHAR SynchronousIo;
  UCHAR Nocache;
  UCHAR WriteToEndOfFile;
  // Linux only: set by ZwCreateFile of a file whose content is known to be
  // unchanged since its last open, so the kernel keeps the pages it cached
  // of it then (FUSE keep_cache). 0: the kernel drops them at this open.
  UCHAR KeepCache;
};
typedef DOKAN_FILE_INFO* PDOKAN_FILE_INFO;

struct DOKAN_IO_SECURITY_CONTEXT {
  ACCESS_MASK DesiredAccess;
};
typedef DOKAN_IO_SECURITY_CONTEXT* PDOKAN_IO_SECURITY_CONTEXT;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAW* PWIN32_FIND_DATAW;

struct WIN32_FIND_STREAM_DATA {
  LARGE_INTEGER StreamSize;
  WCHAR cStreamName[MAX_PATH + 36];
};
typedef WIN32_FIND_STREAM_DATA* PWIN32_FIND_STREAM_DATA;

typedef int (*PFillFindData)(PWIN32_FIND_DATAW, PDOKAN_FILE_INFO);
typedef int (*PFillFindStreamData)(PWIN32_FIND_STREAM_DATA, PDOKAN_FILE_INFO);

// The 25 callbacks in Dokan's order. Cleanup returns a status here (the
// result of the deferred delete is needed to answer unlink and rmdir); the
// layer ignores it on a plain close.
struct DOKAN_OPERATIONS {
  NTSTATUS (*ZwCreateFile)(LPCWSTR FileName, PDOKAN_IO_SECURITY_CONTEXT SecurityContext,
                           ACCESS_MASK DesiredAccess, ULONG FileAttributes, ULONG ShareAccess,
                           ULONG CreateDisposition, ULONG CreateOptions, PDOKAN_FILE_INFO);
  NTSTATUS (*Cleanup)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  void (*CloseFile)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS (*ReadFile)(LPCWSTR FileName, LPVOID Buffer, DWORD BufferLength, LPDWORD ReadLength,
                       LONGLONG Offset, PDOKAN_FILE_INFO);
  NTSTATUS (*WriteFile)(LPCWSTR FileName, LPCVOID Buffer, DWORD NumberOfBytesToWrite,
                        LPDWORD NumberOfBytesWritten, LONGLONG Offset, PDOKAN_FILE_INFO);
  NTSTATUS (*FlushFileBuffers)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS (*GetFileInformation)(LPCWSTR FileName, LPBY_HANDLE_FILE_INFORMATION Buffer,
                                 PDOKAN_FILE_INFO);
  NTSTATUS (*FindFiles)(LPCWSTR PathName, PFillFindData FillFindData, PDOKAN_FILE_INFO);
  NTSTATUS (*FindFilesWithPattern)(LPCWSTR PathName, LPCWSTR SearchPattern,
                                   PFillFindData FillFindData, PDOKAN_FILE_INFO);
  NTSTATUS (*SetFileAttributes)(LPCWSTR FileName, DWORD FileAttributes, PDOKAN_FILE_INFO);
  NTSTATUS (*SetFileTime)(LPCWSTR FileName, const FILETIME* CreationTime,
                          const FILETIME* LastAccessTime, const FILETIME* LastWriteTime,
                          PDOKAN_FILE_INFO);
  NTSTATUS (*DeleteFile)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS (*DeleteDirectory)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS (*MoveFile)(LPCWSTR FileName, LPCWSTR NewFileName, BOOL ReplaceIfExisting,
                       PDOKAN_FILE_INFO);
  NTSTATUS (*SetEndOfFile)(LPCWSTR FileName, LONGLONG ByteOffset, PDOKAN_FILE_INFO);
  NTSTATUS (*SetAllocationSize)(LPCWSTR FileName, LONGLONG AllocSize, PDOKAN_FILE_INFO);
  NTSTATUS (*LockFile)(LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO);
  NTSTATUS (*UnlockFile)(LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length,
                         PDOKAN_FILE_INFO);
  NTSTATUS (*GetDiskFreeSpace)(PULONGLONG FreeBytesAvailable, PULONGLONG TotalNumberOfBytes,
                               PULONGLONG TotalNumberOfFreeBytes, PDOKAN_FILE_INFO);
  NTSTATUS (*GetVolumeInformation)(LPWSTR VolumeNameBuffer, DWORD VolumeNameSize,
                                   LPDWORD VolumeSerialNumber, LPDWORD MaximumComponentLength,
                                   LPDWORD FileSystemFlags, LPWSTR FileSystemNameBuffer,
                                   DWORD FileSystemNameSize, PDOKAN_FILE_INFO);
  NTSTATUS (*Mounted)(PDOKAN_FILE_INFO);
  NTSTATUS (*Unmounted)(PDOKAN_FILE_INFO);
  NTSTATUS (*GetFileSecurity)(LPCWSTR FileName, PSECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG BufferLength,
                              PULONG LengthNeeded, PDOKAN_FILE_INFO);
  NTSTATUS (*SetFileSecurity)(LPCWSTR FileName, PSECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG BufferLength,
                              PDOKAN_FILE_INFO);
  NTSTATUS (*FindStreams)(LPCWSTR FileName, PFillFindStreamData FillFindStreamData,
                          PDOKAN_FILE_INFO);
};
typedef DOKAN_OPERATIONS* PDOKAN_OPERATIONS;

// Mounts and serves the drive until it is removed (DokanRemoveMountPoint or
// an outside unmount); the Unmounted callback runs once at the end.
// Returns DOKAN_SUCCESS or one of the negative DOKAN_* results.
int DokanMain(PDOKAN_OPTIONS options, PDOKAN_OPERATIONS operations);

// Unmounts the drive served for `mountPoint`. TRUE when it was mounted and
// the unmount was started.
BOOL DokanRemoveMountPoint(LPCWSTR mountPoint);

// Turns the kernel's create arguments into the Win32 ones CreateFile takes.
void DokanMapKernelToUserCreateFileFlags(ACCESS_MASK desiredAccess, ULONG fileAttributes,
                                         ULONG createOptions, ULONG createDisposition,
                                         ACCESS_MASK* outDesiredAccess,
                                         DWORD* outFileAttributesAndFlags,
                                         DWORD* outCreationDisposition);

// NTSTATUS for a Win32 error code (STATUS_UNSUCCESSFUL for unknown codes).
NTSTATUS DokanNtStatusFromWin32(DWORD error);

// Wildcard match of a file name against an expression with "*", "?" and the
// DOS wildcards "<", ">" and "\"" (NUL-terminated UTF-16 strings).
bool DokanIsNameInExpression(LPCWSTR expression, LPCWSTR name, bool ignoreCase);
