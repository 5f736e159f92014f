// The Dokan adapter (see dokan_adapter.h).
//
// Runs on Dokan's worker threads. Per-open state lives in the OpenContext
// behind the file information's Context; requests for one open may overlap,
// the kernel orders writes. The office save tracker is shared and has its
// own mutex; the readdir fillers keep their state in thread-local variables
// because the frame's filler is a plain function.
#include "drive/dokan_adapter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "drive/dokan_trace.h"
#include "drive/move_file.h"
#include "drive/office_save_tracker.h"
#include "drive/path_convert.h"
#include "drive/process_class.h"
#include "log/log.h"
#include "unicode.h"

namespace tarvik {

namespace {

constexpr DWORD kVolumeSerial = 0x20050412;
constexpr DWORD kMaxComponentLength = 256;
constexpr DWORD kFileSystemFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                                   FILE_UNICODE_ON_DISK | FILE_SUPPORTS_REMOTE_STORAGE;
constexpr int64_t kEpochDifferenceMicros = 11644473600000000LL;  // 1601 -> 1970
constexpr int32_t kExplorerChunkFloor = 0x8000;  // smaller chunks are not a copy's
// Self-relative security descriptor with no owner, group or lists: every file
// shows the same security, as the folder "block" of the working directory has
// none on Linux.
constexpr unsigned char kSecurityDescriptor[20] = {1, 0, 0, 0x80};

std::string Utf8(LPCWSTR name) {
  std::string out;
  if (name) fromWindowsPath(name, out);  // errors keep the converted prefix
  return out;
}

// The drive path of a name that a request acts on. A name that does not
// convert fails the request: its converted prefix names another file.
bool DrivePath(LPCWSTR name, std::string& out, NTSTATUS* failure) {
  out.clear();
  const int r = name ? fromWindowsPath(name, out) : 0;
  if (r == 0) return true;
  DOKAN_TRACE(">bad path: %d\n", r);
  *failure = r == -38 ? DokanNtStatusFromWin32(ERROR_FILENAME_EXCED_RANGE)
                      : DokanNtStatusFromWin32(ERROR_INVALID_NAME);
  return false;
}

OpenContext* Ctx(PDOKAN_FILE_INFO info) {
  return reinterpret_cast<OpenContext*>(static_cast<uintptr_t>(info->Context));
}

void SetCtx(PDOKAN_FILE_INFO info, OpenContext* ctx) {
  info->Context = reinterpret_cast<uintptr_t>(ctx);
}

NTSTATUS NtStatusVariant(int status, const char* format) {
  int code = -status;
  NTSTATUS s = DokanNtStatusFromWin32(static_cast<DWORD>(statusToWin32(code)));
  DOKAN_TRACE(format, code, static_cast<unsigned>(s));
  return s;
}

bool IsExplorer(PDOKAN_FILE_INFO info) {
  return classifyProcess(info->ProcessId) == ProcessClass::Explorer;
}
bool IsOffice(PDOKAN_FILE_INFO info) {
  return classifyProcess(info->ProcessId) == ProcessClass::Office;
}

std::unique_ptr<DecasHandle> NewHandle(const std::string& path, OpenFlags flags, uint32_t state,
                                       uint32_t pid) {
  auto h = std::make_unique<DecasHandle>();
  h->setPath(path);
  h->openFlags = flags;
  h->state = state;
  h->processId = pid;
  return h;
}

// --- trace dumps -------------------------------------------------------------

void DumpAttributes(DWORD attributes) {
  static const struct {
    DWORD bit;
    const char* name;
  } kNames[] = {{FILE_ATTRIBUTE_READONLY, "FILE_ATTRIBUTE_READONLY"},
                {FILE_ATTRIBUTE_HIDDEN, "FILE_ATTRIBUTE_HIDDEN"},
                {FILE_ATTRIBUTE_SYSTEM, "FILE_ATTRIBUTE_SYSTEM"},
                {FILE_ATTRIBUTE_DIRECTORY, "FILE_ATTRIBUTE_DIRECTORY"},
                {FILE_ATTRIBUTE_ARCHIVE, "FILE_ATTRIBUTE_ARCHIVE"},
                {FILE_ATTRIBUTE_DEVICE, "FILE_ATTRIBUTE_DEVICE"},
                {FILE_ATTRIBUTE_NORMAL, "FILE_ATTRIBUTE_NORMAL"},
                {FILE_ATTRIBUTE_TEMPORARY, "FILE_ATTRIBUTE_TEMPORARY"},
                {FILE_ATTRIBUTE_SPARSE_FILE, "FILE_ATTRIBUTE_SPARSE_FILE"},
                {FILE_ATTRIBUTE_REPARSE_POINT, "FILE_ATTRIBUTE_REPARSE_POINT"},
                {FILE_ATTRIBUTE_COMPRESSED, "FILE_ATTRIBUTE_COMPRESSED"},
                {FILE_ATTRIBUTE_OFFLINE, "FILE_ATTRIBUTE_OFFLINE"},
                {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, "FILE_ATTRIBUTE_NOT_CONTENT_INDEXED"},
                {FILE_ATTRIBUTE_ENCRYPTED, "FILE_ATTRIBUTE_ENCRYPTED"},
                {FILE_FLAG_WRITE_THROUGH, "FILE_FLAG_WRITE_THROUGH"},
                {FILE_FLAG_OVERLAPPED, "FILE_FLAG_OVERLAPPED"},
                {FILE_FLAG_NO_BUFFERING, "FILE_FLAG_NO_BUFFERING"},
                {FILE_FLAG_RANDOM_ACCESS, "FILE_FLAG_RANDOM_ACCESS"},
                {FILE_FLAG_SEQUENTIAL_SCAN, "FILE_FLAG_SEQUENTIAL_SCAN"},
                {FILE_FLAG_DELETE_ON_CLOSE, "FILE_FLAG_DELETE_ON_CLOSE"},
                {FILE_FLAG_BACKUP_SEMANTICS, "FILE_FLAG_BACKUP_SEMANTICS"},
                {FILE_FLAG_POSIX_SEMANTICS, "FILE_FLAG_POSIX_SEMANTICS"},
                {FILE_FLAG_OPEN_REPARSE_POINT, "FILE_FLAG_OPEN_REPARSE_POINT"}};
  for (const auto& n : kNames)
    if (attributes & n.bit) DOKAN_TRACE("\t%s\n", n.name);
}

void DumpCreate(ACCESS_MASK access, DWORD flags, DWORD disposition, ULONG share) {
  switch (disposition) {
    case CREATE_NEW: DOKAN_TRACE("\tCREATE_NEW\n"); break;
    case CREATE_ALWAYS: DOKAN_TRACE("\tCREATE_ALWAYS\n"); break;
    case OPEN_EXISTING: DOKAN_TRACE("\tOPEN_EXISTING\n"); break;
    case OPEN_ALWAYS: DOKAN_TRACE("\tOPEN_ALWAYS\n"); break;
    case TRUNCATE_EXISTING: DOKAN_TRACE("\tTRUNCATE_EXISTING\n"); break;
    default: break;
  }
  if (share & FILE_SHARE_READ) DOKAN_TRACE("\tFILE_SHARE_READ\n");
  if (share & FILE_SHARE_WRITE) DOKAN_TRACE("\tFILE_SHARE_WRITE\n");
  if (share & FILE_SHARE_DELETE) DOKAN_TRACE("\tFILE_SHARE_DELETE\n");
  DOKAN_TRACE("\tAccessMode = 0x%x\n", access);
  static const struct {
    ACCESS_MASK bit;
    const char* name;
  } kRights[] = {{GENERIC_READ, "GENERIC_READ"},
                 {GENERIC_WRITE, "GENERIC_WRITE"},
                 {GENERIC_EXECUTE, "GENERIC_EXECUTE"},
                 {GENERIC_ALL, "GENERIC_ALL"},
                 {DELETE, "DELETE"},
                 {FILE_READ_DATA, "FILE_READ_DATA"},
                 {FILE_READ_ATTRIBUTES, "FILE_READ_ATTRIBUTES"},
                 {FILE_READ_EA, "FILE_READ_EA"},
                 {READ_CONTROL, "READ_CONTROL"},
                 {FILE_WRITE_DATA, "FILE_WRITE_DATA"},
                 {FILE_WRITE_ATTRIBUTES, "FILE_WRITE_ATTRIBUTES"},
                 {FILE_WRITE_EA, "FILE_WRITE_EA"},
                 {FILE_APPEND_DATA, "FILE_APPEND_DATA"},
                 {WRITE_DAC, "WRITE_DAC"},
                 {WRITE_OWNER, "WRITE_OWNER"},
                 {SYNCHRONIZE, "SYNCHRONIZE"},
                 {FILE_EXECUTE, "FILE_EXECUTE"},
                 {STANDARD_RIGHTS_READ, "STANDARD_RIGHTS_READ"},
                 {STANDARD_RIGHTS_WRITE, "STANDARD_RIGHTS_WRITE"},
                 {STANDARD_RIGHTS_EXECUTE, "STANDARD_RIGHTS_EXECUTE"}};
  for (const auto& r : kRights)
    if (access & r.bit) DOKAN_TRACE("\t%s\n", r.name);
  DOKAN_TRACE("\tFlagsAndAttributes = 0x%x\n", flags);
  DumpAttributes(flags);
}

void DumpTime(const char* label, const FILETIME& ft) {
  int64_t v = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  time_t secs = static_cast<time_t>(v / 10000000 - kEpochDifferenceMicros / 1000000);
  struct tm tm;
  if (v == 0 || !localtime_r(&secs, &tm)) {
    DOKAN_TRACE("%sLogFileTime Error\n", label);
    return;
  }
  DOKAN_TRACE("%s%d/%02d/%02d %02d:%02d:%02d\n", label, tm.tm_year + 1900, tm.tm_mon + 1,
              tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// --- readdir fillers ------------------------------------------------------------

struct FindState {
  PFillFindData fill = nullptr;
  PDOKAN_FILE_INFO info = nullptr;
  LPCWSTR pattern = nullptr;
};
thread_local FindState tFind;       // the find-files state of this thread
thread_local bool tDirectoryEmpty;  // the directory-empty flag of this thread

int FindFilesFiller(const char* name, const StatRecord* st, int, int, DecasHandle*) {
  WIN32_FIND_DATAW data{};
  std::u16string wide;
  if (!win32::Utf8ToUtf16(name, wide) || wide.empty()) return 0;  // not representable
  // A name cut to fit would be another name: it could not be found under
  // it, and several long names would show as one.
  if (wide.size() >= MAX_PATH) {
    TLOG_WARN("FindFiles: name too long to list: ", name);
    return 0;
  }
  wide.copy(data.cFileName, wide.size());
  data.dwFileAttributes =
      (st->type & ENTRY_DIRECTORY) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  data.ftCreationTime = fileTimeOf(st->ctime);
  data.ftLastAccessTime = fileTimeOf(st->atime);
  data.ftLastWriteTime = fileTimeOf(st->mtime);
  data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st->size) >> 32);
  data.nFileSizeLow = static_cast<DWORD>(st->size & 0xFFFFFFFF);
  if (tFind.pattern && !DokanIsNameInExpression(tFind.pattern, data.cFileName, true)) return 0;
  if (tFind.fill) tFind.fill(&data, tFind.info);
  return 0;
}

int DirectoryEmptyFiller(const char* name, const StatRecord*, int, int, DecasHandle*) {
  if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) tDirectoryEmpty = false;
  return 0;
}

// Lists a directory through the open's handle or a temporary one.
int ListDirectory(const std::string& path, PDOKAN_FILE_INFO info, DirFiller filler) {
  OpenContext* ctx = Ctx(info);
  if (ctx && ctx->handle) return decas_readdir(path.c_str(), filler, 0, 0, ctx->handle.get());
  auto h = NewHandle(path, 0, HANDLE_DIRECTORY, info->ProcessId);
  int r = decas_opendir(path.c_str(), h.get());
  if (r < 0) return r;
  r = decas_readdir(path.c_str(), filler, 0, 0, h.get());
  int c = decas_closedir(path.c_str(), h.get());
  return r < 0 ? r : (c < 0 ? c : r);
}

// --- the callbacks ------------------------------------------------------------------

NTSTATUS ZwCreateFile(LPCWSTR FileName, PDOKAN_IO_SECURITY_CONTEXT, ACCESS_MASK DesiredAccess,
                      ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                      ULONG CreateOptions, PDOKAN_FILE_INFO info) {
  std::string path;
  NTSTATUS bad = STATUS_SUCCESS;
  const bool converted = DrivePath(FileName, path, &bad);
  DOKAN_TRACE("#ZwCreateFile: %s\n", path.c_str());
  if (!converted) return bad;
  ACCESS_MASK access = 0;
  DWORD flagsAndAttributes = 0, disposition = 0;
  DokanMapKernelToUserCreateFileFlags(DesiredAccess, FileAttributes, CreateOptions,
                                      CreateDisposition, &access, &flagsAndAttributes,
                                      &disposition);
  if (log::isEnabled()) DumpCreate(access, flagsAndAttributes, disposition, ShareAccess);

  StatRecord st{};
  int r = decas_stat(path.c_str(), &st);
  // stat answers "no such entry" for the system folder but marks it type 8:
  // it opens without a context all the same.
  if (st.type == ENTRY_SYSTEM) {
    DOKAN_TRACE(">open for system entry\n");
    return STATUS_SUCCESS;
  }
  OpenFlags flags = computeOpenFlags(access, flagsAndAttributes, disposition, ShareAccess);

  if (r >= 0 && (st.type & ENTRY_DIRECTORY)) {
    DOKAN_TRACE(">open directory\n");
    auto ctx = std::make_unique<OpenContext>();
    ctx->handle = NewHandle(path, flags, HANDLE_DIRECTORY, info->ProcessId);
    r = decas_opendir(path.c_str(), ctx->handle.get());
    if (r < 0) return ntStatusOf(r);
    int check = 0;
    if ((flags & OPEN_SHARE_DELETE) && (flags & OPEN_DELETE_ON_CLOSE)) {
      DOKAN_TRACE(">can directory be delete\n");
      check = decas_access(path.c_str(), ACCESS_DELETE);
    } else if (flags & OPEN_CREATE) {
      DOKAN_TRACE(">can create\n");
      check = decas_access(path.c_str(), ACCESS_CREATE);
    }
    if (check < 0) {
      // The directory was opened: close it before the open is released.
      decas_closedir(path.c_str(), ctx->handle.get());
      return ntStatusOf(check);
    }
    SetCtx(info, ctx.release());
    info->IsDirectory = 1;
    DOKAN_TRACE(">Context = %lld\n", static_cast<long long>(info->Context));
    return STATUS_SUCCESS;
  }

  if (r == -DECAS_ENOENT) {
    if (!(flags & OPEN_CREATE)) {
      DOKAN_TRACE(">open for non-existent entry\n");
      return DokanNtStatusFromWin32(ERROR_FILE_NOT_FOUND);
    }
    if (info->IsDirectory) {
      r = decas_mkdir(path.c_str());
      return r < 0 ? ntStatusOf(r) : STATUS_SUCCESS;
    }
  } else if (r < 0) {
    return ntStatusOf(r);
  }

  if (info->IsDirectory) {
    DOKAN_TRACE(">IsDir\n");
    info->IsDirectory = 0;
    return STATUS_NOT_A_DIRECTORY;
  }
  if ((flags & OPEN_DELETE_ACCESS) && (flags & OPEN_SHARE_DELETE) &&
      (flags & OPEN_DELETE_ON_CLOSE)) {
    DOKAN_TRACE(">can file be deleted\n");
    int check = decas_access(path.c_str(), ACCESS_DELETE);
    if (check < 0) return ntStatusOf(check);
  }
  auto ctx = std::make_unique<OpenContext>();
  ctx->handle = NewHandle(path, flags, 0, info->ProcessId);
  if ((flags & OPEN_SHARE_LOCK) && IsExplorer(info)) {
    DOKAN_TRACE(">Share Lock by Explorer\n");
    ctx->handle->openFlags &= ~OPEN_SHARE_LOCK;
  }
  info->Context = 0;
  r = decas_open(path.c_str(), ctx->handle.get());
  if (r < 0) return ntStatusOf(r);
  info->KeepCache = (ctx->handle->state & HANDLE_KEEP_CACHE) ? 1 : 0;
  SetCtx(info, ctx.release());
  DOKAN_TRACE(">Context = %lld\n", static_cast<long long>(info->Context));
  return STATUS_SUCCESS;
}

NTSTATUS Cleanup(LPCWSTR FileName, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#Cleanup: %s@%lld\n", name.c_str(), static_cast<long long>(info->Context));
  OpenContext* ctx = Ctx(info);
  if (!ctx) {
    DOKAN_TRACE(">invalid handle\n");
    return STATUS_SUCCESS;
  }
  std::unique_ptr<OpenContext> owned(ctx);  // the open is released on every path
  if (!ctx->handle) {
    DOKAN_TRACE(">Close invalid handle\n");
    info->Context = 0;
    return STATUS_SUCCESS;
  }
  const bool explorer = IsExplorer(info);
  DecasHandle* h = ctx->handle.get();
  const std::string path = h->path();
  int r = 0;
  if (h->state & HANDLE_DIRECTORY) {
    DOKAN_TRACE(">Close directory\n");
    r = decas_closedir(path.c_str(), h);
    if (r >= 0) {
      info->Context = 0;
      if (info->DeleteOnClose) r = decas_rmdir(path.c_str(), explorer);
    }
    if (r >= 0) return STATUS_SUCCESS;
    info->Context = 0;
    return NtStatusVariant(r, "###To NTSTATUS PV : %d => 0x%x\n");
  }

  DOKAN_TRACE(">Close file\n");
  // Every writer commits at its close, also after a failed write: what was
  // written before the failure stays.
  if (h->openFlags & OPEN_WRITE) {
    if (decas_flush(path.c_str(), h) != 0) ctx->failed = 1;
  }
  if (IsOffice(info)) {
    if (h->state & HANDLE_CONTENT_UPLOADED) officeSaveTracker().markUploaded(info->ProcessId);
    finishOfficeReplacement(info->ProcessId);
  }
  const uint32_t state = h->state;
  r = decas_close(path.c_str(), h);
  info->Context = 0;
  // A name deleted while the file was open may since name another file.
  const bool nameRemoved = h->state & HANDLE_NAME_REMOVED;
  // A file this open created and that never received a byte (its first
  // write failed, a copy that could not start) is removed again; once data
  // was written or reached the service, the file stays whatever failed.
  const bool emptyFailedCreate = ctx->failed && (state & HANDLE_NEW) && !ctx->wroteData &&
                                 !(state & HANDLE_CONTENT_UPLOADED);
  if (r >= 0 && !nameRemoved && (info->DeleteOnClose || emptyFailedCreate)) {
    StatRecord st{};
    r = decas_stat(path.c_str(), &st);
    if (r < 0) return NtStatusVariant(r, "###To NTSTATUS V : %d => 0x%x\n");
    r = decas_remove(path.c_str(), explorer && st.size > 0);
  }
  if (r >= 0) return STATUS_SUCCESS;
  return NtStatusVariant(r, "###To NTSTATUS PV : %d => 0x%x\n");
}

void CloseFile(LPCWSTR FileName, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#CloseFile: %s@%lld\n", name.c_str(), static_cast<long long>(info->Context));
  // An open that never saw Cleanup (the drive went away under it): close its
  // handle if the frame still has it, then release the open.
  if (OpenContext* ctx = Ctx(info)) {
    if (ctx->handle && !(ctx->handle->state & HANDLE_DIRECTORY))
      decas_close(ctx->handle->path().c_str(), ctx->handle.get());
    delete ctx;
    info->Context = 0;
  }
}

NTSTATUS ReadFile(LPCWSTR FileName, LPVOID Buffer, DWORD BufferLength, LPDWORD ReadLength,
                  LONGLONG Offset, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#ReadFile: %s(len = %ld, offset = %lld)\n", name.c_str(),
              static_cast<long>(BufferLength), static_cast<long long>(Offset));
  OpenContext* ctx = Ctx(info);
  std::unique_ptr<DecasHandle> temporary;
  DecasHandle* h = ctx ? ctx->handle.get() : nullptr;
  if (!h) {
    temporary = NewHandle(name, OPEN_READ, 0, info->ProcessId);
    int r = decas_open(name.c_str(), temporary.get());
    if (r < 0) return ntStatusOf(r);
    h = temporary.get();
  }
  if (info->SynchronousIo) DOKAN_TRACE(">Synchronous Read\n");
  int r = decas_read(h->path().c_str(), static_cast<char*>(Buffer), BufferLength, Offset,
                     info->SynchronousIo, h);
  if (temporary) decas_close(h->path().c_str(), h);
  if (r < 0) return ntStatusOf(r);
  *ReadLength = static_cast<DWORD>(r);
  DOKAN_TRACE(">ReadFile: res = %ld, offset = %lld\n", static_cast<long>(r),
              static_cast<long long>(Offset));
  return STATUS_SUCCESS;
}

// Writes all of a request. The kernel's writes all come as synchronous
// ones, one request at a time; a synchronous write would upload the block it
// leaves on the writer's thread, so the writer would wait for the service at
// every block boundary. They go as overlapped writes instead: a finished
// block is queued for upload (a writer waits only while more than a few of
// its file's uploads are pending) and the close commits as before. An
// overlapped write stops at the end of a block; the rest of the request
// follows in further calls. A byte count or a status.
int WriteWhole(const char* path, const char* buf, DWORD len, LONGLONG offset, DecasHandle* h) {
  int64_t done = 0;
  do {
    const int r = decas_write(path, buf + done, static_cast<size_t>(len - done), offset + done,
                              false, h);
    // What was written before a failure counts: the caller learns of the
    // failure when it writes the rest.
    if (r < 0) return done > 0 ? static_cast<int>(done) : r;
    if (r == 0 && len != 0) break;
    done += r;
  } while (done < static_cast<int64_t>(len));
  return static_cast<int>(done);
}

NTSTATUS WriteFile(LPCWSTR FileName, LPCVOID Buffer, DWORD NumberOfBytesToWrite,
                   LPDWORD NumberOfBytesWritten, LONGLONG Offset, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#WriteFile: %s(len = %ld, offset = %lld)\n", name.c_str(),
              static_cast<long>(NumberOfBytesToWrite), static_cast<long long>(Offset));
  *NumberOfBytesWritten = 0;
  OpenContext* ctx = Ctx(info);
  std::unique_ptr<OpenContext> temporary;
  if (!ctx || !ctx->handle) {
    temporary = std::make_unique<OpenContext>();
    temporary->handle = NewHandle(name, OPEN_WRITE, 0, info->ProcessId);
    int r = decas_open(name.c_str(), temporary->handle.get());
    if (r < 0) return ntStatusOf(r);
    ctx = temporary.get();
  }
  DecasHandle* h = ctx->handle.get();
  const std::string pathText = h->path();
  const char* path = pathText.c_str();
  int r = 0;
  if (info->WriteToEndOfFile) {
    StatRecord st{};
    r = decas_fstat(path, &st, h);
    if (r >= 0) Offset = st.size;
    DOKAN_TRACE(">Write to EOF\n");
  }
  if (info->SynchronousIo) DOKAN_TRACE(">Synchronous Write\n");
  if (r >= 0) {
    r = WriteWhole(path, static_cast<const char*>(Buffer), NumberOfBytesToWrite, Offset, h);
  }
  if (r < 0) {
    // The failure reaches the application (and its next flush); a file this
    // open created and never wrote to is removed at cleanup.
    ctx->failed = 1;
    DOKAN_TRACE(">WriteFile: error = %ld\n", static_cast<long>(r));
    if (temporary) decas_close(path, h);
    return ntStatusOf(r);
  }
  const int32_t last = ctx->lastWriteLength;
  if (info->SynchronousIo && last > kExplorerChunkFloor && Offset >= last && Offset % last == 0 &&
      NumberOfBytesToWrite != static_cast<DWORD>(last) && NumberOfBytesToWrite != 0 &&
      IsExplorer(info)) {
    // The short chunk at the end of a file manager's copy: upload now.
    DOKAN_TRACE(">Last Write by Explorer\n");
    if (decas_flush(path, h) != 0) ctx->failed = 1;
    finishOfficeReplacement(info->ProcessId);
  }
  *NumberOfBytesWritten = static_cast<DWORD>(r);
  if (r > 0) ctx->wroteData = 1;
  if (temporary) {
    int c = decas_close(path, h);
    if (c < 0) return ntStatusOf(c);
  } else {
    ctx->writtenEnd = std::max<int64_t>(ctx->writtenEnd, Offset + r);
    if (NumberOfBytesToWrite != 0) ctx->lastWriteLength = static_cast<int32_t>(NumberOfBytesToWrite);
  }
  DOKAN_TRACE(">WriteFile: res = %ld, offset = %lld\n", static_cast<long>(r),
              static_cast<long long>(Offset));
  return STATUS_SUCCESS;
}

NTSTATUS FlushFileBuffers(LPCWSTR FileName, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#FlushFileBuffers: %s\n", name.c_str());
  OpenContext* ctx = Ctx(info);
  if (!ctx || !ctx->handle) {
    DOKAN_TRACE(">invalid handle\n");
    return STATUS_INVALID_HANDLE;
  }
  int r = decas_flush(ctx->handle->path().c_str(), ctx->handle.get());
  if (r < 0) return ntStatusOf(r);
  finishOfficeReplacement(info->ProcessId);
  return STATUS_SUCCESS;
}

NTSTATUS GetFileInformation(LPCWSTR FileName, LPBY_HANDLE_FILE_INFORMATION out,
                            PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#GetFileInformation: %s@%lld\n", name.c_str(),
              static_cast<long long>(info->Context));
  StatRecord st{};
  OpenContext* ctx = Ctx(info);
  int r;
  if (ctx && ctx->handle) {
    r = decas_fstat(ctx->handle->path().c_str(), &st, ctx->handle.get());
  } else {
    DOKAN_TRACE(">invalid handle\n");
    r = decas_stat(name.c_str(), &st);
  }
  if (r < 0) return ntStatusOf(r);
  *out = {};
  out->dwFileAttributes =
      (st.type & ENTRY_DIRECTORY) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  out->ftCreationTime = fileTimeOf(st.ctime);
  out->ftLastAccessTime = fileTimeOf(st.atime);
  out->ftLastWriteTime = fileTimeOf(st.mtime);
  out->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.size) >> 32);
  out->nFileSizeLow = static_cast<DWORD>(st.size & 0xFFFFFFFF);
  out->nNumberOfLinks = 1;
  if (log::isEnabled()) {
    DOKAN_TRACE("attr = 0x%x\n", out->dwFileAttributes);
    DumpAttributes(out->dwFileAttributes);
    DumpTime("ctime = ", out->ftCreationTime);
    DumpTime("mtime = ", out->ftLastWriteTime);
    DumpTime("atime = ", out->ftLastAccessTime);
    DOKAN_TRACE("vsn = %d, fsh = %d, fsl = %d, fih = %d, fil = %d, nol = %d\n",
                out->dwVolumeSerialNumber, out->nFileSizeHigh, out->nFileSizeLow,
                out->nFileIndexHigh, out->nFileIndexLow, out->nNumberOfLinks);
  }
  return STATUS_SUCCESS;
}

NTSTATUS FindFiles(LPCWSTR PathName, PFillFindData FillFindData, PDOKAN_FILE_INFO info) {
  std::string path = Utf8(PathName);
  DOKAN_TRACE("#FindFiles: %s@%lld\n", path.c_str(), static_cast<long long>(info->Context));
  tFind = FindState{FillFindData, info, nullptr};
  int r = ListDirectory(path, info, FindFilesFiller);
  tFind = FindState{};
  return r < 0 ? ntStatusOf(r) : STATUS_SUCCESS;
}

NTSTATUS SetFileAttributes(LPCWSTR FileName, DWORD FileAttributes, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#SetFileAttributes: %s(0x%x)\n", Utf8(FileName).c_str(), FileAttributes);
  if (log::isEnabled()) DumpAttributes(FileAttributes);
  return STATUS_SUCCESS;
}

NTSTATUS SetFileTime(LPCWSTR FileName, const FILETIME* CreationTime,
                     const FILETIME* LastAccessTime, const FILETIME* LastWriteTime,
                     PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#SetFileTime: %s\n", Utf8(FileName).c_str());
  if (log::isEnabled()) {
    FILETIME none{};
    DumpTime("ctime = ", CreationTime ? *CreationTime : none);
    DumpTime("mtime = ", LastWriteTime ? *LastWriteTime : none);
    DumpTime("atime = ", LastAccessTime ? *LastAccessTime : none);
  }
  return STATUS_SUCCESS;
}

NTSTATUS DeleteFile(LPCWSTR FileName, PDOKAN_FILE_INFO) {
  std::string path = Utf8(FileName);
  DOKAN_TRACE("#DeleteFile: %s\n", path.c_str());
  int r = decas_access(path.c_str(), ACCESS_DELETE);
  return r < 0 ? ntStatusOf(r) : STATUS_SUCCESS;
}

NTSTATUS DeleteDirectory(LPCWSTR FileName, PDOKAN_FILE_INFO info) {
  std::string path = Utf8(FileName);
  DOKAN_TRACE("#DeleteDirectory: %s\n", path.c_str());
  int r = decas_access(path.c_str(), ACCESS_DELETE_DIRECTORY);
  if (r < 0) return ntStatusOf(r);
  tDirectoryEmpty = true;
  r = ListDirectory(path, info, DirectoryEmptyFiller);
  if (r < 0) return ntStatusOf(r);
  return tDirectoryEmpty ? STATUS_SUCCESS : STATUS_DIRECTORY_NOT_EMPTY;
}

NTSTATUS MoveFile(LPCWSTR FileName, LPCWSTR NewFileName, BOOL ReplaceIfExisting,
                  PDOKAN_FILE_INFO info) {
  std::string oldPath = Utf8(FileName), newPath;
  NTSTATUS bad = STATUS_SUCCESS;
  const bool converted = DrivePath(NewFileName, newPath, &bad);
  DOKAN_TRACE("#MoveFile: %s -> %s (%s)\n", oldPath.c_str(), newPath.c_str(),
              ReplaceIfExisting ? "TRUE" : "FALSE");
  const bool sourceIsDirectory = info->IsDirectory != 0;
  Cleanup(FileName, info);
  if (!converted) return bad;
  int r = moveEntry(oldPath, newPath, ReplaceIfExisting != FALSE, sourceIsDirectory,
                    info->ProcessId);
  return r < 0 ? ntStatusOf(r) : STATUS_SUCCESS;
}

NTSTATUS SetEndOfFile(LPCWSTR FileName, LONGLONG ByteOffset, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#SetEndOfFile: %s(pos = %lld)\n", name.c_str(), static_cast<long long>(ByteOffset));
  OpenContext* ctx = Ctx(info);
  if (!ctx || !ctx->handle) {
    fprintf(stderr, ">invalid handle\n");
    return STATUS_INVALID_HANDLE;
  }
  int r = decas_ftruncate(ctx->handle->path().c_str(), ByteOffset, ctx->handle.get());
  if (r < 0) return ntStatusOf(r);
  ctx->writtenEnd = ByteOffset;
  return STATUS_SUCCESS;
}

NTSTATUS SetAllocationSize(LPCWSTR FileName, LONGLONG AllocSize, PDOKAN_FILE_INFO info) {
  std::string name = Utf8(FileName);
  DOKAN_TRACE("#SetAllocationSize: %s(size = %lld)\n", name.c_str(),
              static_cast<long long>(AllocSize));
  OpenContext* ctx = Ctx(info);
  if (!ctx || !ctx->handle) {
    fprintf(stderr, ">invalid handle\n");
    return STATUS_INVALID_HANDLE;
  }
  StatRecord st{};
  int r = decas_fstat(ctx->handle->path().c_str(), &st, ctx->handle.get());
  if (r < 0) return ntStatusOf(r);
  if (AllocSize >= st.size) return STATUS_SUCCESS;
  r = decas_ftruncate(ctx->handle->path().c_str(), AllocSize, ctx->handle.get());
  if (r < 0) return ntStatusOf(r);
  ctx->writtenEnd = AllocSize;
  return STATUS_SUCCESS;
}

NTSTATUS LockFile(LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#LockFile: %s(pos = %lld, len = %lld)\n", Utf8(FileName).c_str(),
              static_cast<long long>(ByteOffset), static_cast<long long>(Length));
  return STATUS_SUCCESS;
}

NTSTATUS UnlockFile(LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#UnlockFile: %s(pos = %lld, len = %lld)\n", Utf8(FileName).c_str(),
              static_cast<long long>(ByteOffset), static_cast<long long>(Length));
  return STATUS_SUCCESS;
}

NTSTATUS GetDiskFreeSpace(PULONGLONG FreeBytesAvailable, PULONGLONG TotalNumberOfBytes,
                          PULONGLONG TotalNumberOfFreeBytes, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#GetDistFreeSpace\n");
  int64_t capacity = 0, free = 0;
  int r = decas_statfs(&capacity, &free);
  if (r < 0) return ntStatusOf(r);
  if (FreeBytesAvailable) *FreeBytesAvailable = static_cast<ULONGLONG>(free);
  if (TotalNumberOfBytes) *TotalNumberOfBytes = static_cast<ULONGLONG>(capacity);
  if (TotalNumberOfFreeBytes) *TotalNumberOfFreeBytes = static_cast<ULONGLONG>(free);
  DOKAN_TRACE(">fba = %lld, tb = %lld, tfb = %lld\n", static_cast<long long>(free),
              static_cast<long long>(capacity), static_cast<long long>(free));
  return STATUS_SUCCESS;
}

void CopyName(LPWSTR buffer, DWORD size, std::u16string_view text) {
  if (!buffer || size == 0) return;
  size_t n = std::min<size_t>(text.size(), size - 1);
  text.copy(buffer, n);
  buffer[n] = 0;
}

NTSTATUS GetVolumeInformation(LPWSTR VolumeNameBuffer, DWORD VolumeNameSize,
                              LPDWORD VolumeSerialNumber, LPDWORD MaximumComponentLength,
                              LPDWORD FileSystemFlags, LPWSTR FileSystemNameBuffer,
                              DWORD FileSystemNameSize, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#GetVolumeInformation\n");
  CopyName(VolumeNameBuffer, VolumeNameSize, u"tarvik");
  if (VolumeSerialNumber) *VolumeSerialNumber = kVolumeSerial;
  if (MaximumComponentLength) *MaximumComponentLength = kMaxComponentLength;
  if (FileSystemFlags) *FileSystemFlags = kFileSystemFlags;
  CopyName(FileSystemNameBuffer, FileSystemNameSize, u"Dokan");
  return STATUS_SUCCESS;
}

NTSTATUS Mounted(PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#Mounted\n");
  return STATUS_SUCCESS;
}

NTSTATUS Unmounted(PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#Unmounted\n");
  int r = decas_exitEntry(0);
  return r < 0 ? ntStatusOf(r) : STATUS_SUCCESS;
}

NTSTATUS GetFileSecurity(LPCWSTR FileName, PSECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor,
                         ULONG BufferLength, PULONG LengthNeeded, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#GetFileSecurity: %s\n", Utf8(FileName).c_str());
  struct stat st;
  if (::stat("block", &st) != 0 || !S_ISDIR(st.st_mode)) {
    DWORD error = ERROR_FILE_NOT_FOUND;
    NTSTATUS s = DokanNtStatusFromWin32(error);
    DOKAN_TRACE("  GetUserObjectSecurity failed: %d -> %d\n", static_cast<int>(error),
                static_cast<int>(s));
    return s;
  }
  if (LengthNeeded) *LengthNeeded = sizeof kSecurityDescriptor;
  if (BufferLength < sizeof kSecurityDescriptor || !descriptor) {
    DOKAN_TRACE("  GetUserObjectSecurity failed: ERROR_INSUFFICIENT_BUFFER\n");
    return STATUS_BUFFER_OVERFLOW;
  }
  memcpy(descriptor, kSecurityDescriptor, sizeof kSecurityDescriptor);
  return STATUS_SUCCESS;
}

NTSTATUS SetFileSecurity(LPCWSTR FileName, PSECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG,
                         PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#SetFileSecurity: %s\n", Utf8(FileName).c_str());
  return STATUS_SUCCESS;
}

NTSTATUS FindStreams(LPCWSTR FileName, PFillFindStreamData, PDOKAN_FILE_INFO) {
  DOKAN_TRACE("#FindStreams: %s\n", Utf8(FileName).c_str());
  return STATUS_SUCCESS;
}

}  // namespace

OpenFlags computeOpenFlags(ACCESS_MASK access, DWORD flagsAndAttributes, DWORD disposition,
                           ULONG shareAccess) {
  OpenFlags f = 0;
  if (access & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) f |= OPEN_READ;
  if (access & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)) f |= OPEN_WRITE;
  if (access & DELETE) f |= OPEN_DELETE_ACCESS;
  if (!(shareAccess & FILE_SHARE_WRITE)) f |= OPEN_SHARE_LOCK;
  if (shareAccess & FILE_SHARE_DELETE) f |= OPEN_SHARE_DELETE;
  switch (disposition) {
    case CREATE_NEW: f |= OPEN_CREATE | OPEN_TRUNCATE | OPEN_EXCLUSIVE; break;
    case CREATE_ALWAYS: f |= OPEN_CREATE | OPEN_TRUNCATE; break;
    case OPEN_ALWAYS: f |= OPEN_CREATE; break;
    case TRUNCATE_EXISTING: f |= OPEN_TRUNCATE; break;
    default: break;
  }
  if (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) f |= OPEN_DELETE_ON_CLOSE;
  if (flagsAndAttributes & FILE_FLAG_OVERLAPPED) f |= OPEN_OVERLAPPED;
  DOKAN_TRACE("\tflags = 0x%x\n", f);
  return f;
}

NTSTATUS ntStatusOf(int status) { return NtStatusVariant(status, "###To NTSTATUS: %d -> 0x%x\n"); }

FILETIME fileTimeOf(int64_t micros) {
  FILETIME ft{};
  if (micros < 0) return ft;
  uint64_t v = static_cast<uint64_t>(micros + kEpochDifferenceMicros) * 10;
  ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

void fillDokanOperations(DOKAN_OPERATIONS* ops) {
  *ops = DOKAN_OPERATIONS{};
  ops->ZwCreateFile = ZwCreateFile;
  ops->Cleanup = Cleanup;
  ops->CloseFile = CloseFile;
  ops->ReadFile = ReadFile;
  ops->WriteFile = WriteFile;
  ops->FlushFileBuffers = FlushFileBuffers;
  ops->GetFileInformation = GetFileInformation;
  ops->FindFiles = FindFiles;
  ops->FindFilesWithPattern = nullptr;
  ops->SetFileAttributes = SetFileAttributes;
  ops->SetFileTime = SetFileTime;
  ops->DeleteFile = DeleteFile;
  ops->DeleteDirectory = DeleteDirectory;
  ops->MoveFile = MoveFile;
  ops->SetEndOfFile = SetEndOfFile;
  ops->SetAllocationSize = SetAllocationSize;
  ops->LockFile = LockFile;
  ops->UnlockFile = UnlockFile;
  ops->GetDiskFreeSpace = GetDiskFreeSpace;
  ops->GetVolumeInformation = GetVolumeInformation;
  ops->Mounted = Mounted;
  ops->Unmounted = Unmounted;
  ops->GetFileSecurity = GetFileSecurity;
  ops->SetFileSecurity = SetFileSecurity;
  ops->FindStreams = FindStreams;
}

}  // namespace tarvik
