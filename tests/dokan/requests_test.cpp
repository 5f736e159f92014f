// The callback sequences each POSIX request becomes, against recording
// callbacks (no file system behind them).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dokan.h"
#include "dokan_requests.h"
#include "unicode.h"

namespace {

struct Record {
  std::string call;
  std::string name;
  ACCESS_MASK access = 0;
  ULONG disposition = 0, options = 0;
  DOKAN_FILE_INFO info{};
  LONGLONG offset = 0;
  BOOL replace = FALSE;
};

std::vector<Record> gCalls;
NTSTATUS gCreateResult = STATUS_SUCCESS;
NTSTATUS gDeleteResult = STATUS_SUCCESS;
NTSTATUS gCleanupResult = STATUS_SUCCESS;
bool gCreateIsDirectory = false;

std::string U8(LPCWSTR s) { return win32::ToUtf8(s); }

void Add(const char* call, LPCWSTR name, PDOKAN_FILE_INFO info) {
  Record r;
  r.call = call;
  r.name = name ? U8(name) : "";
  r.info = *info;
  gCalls.push_back(r);
}

NTSTATUS Create(LPCWSTR name, PDOKAN_IO_SECURITY_CONTEXT, ACCESS_MASK access, ULONG, ULONG,
                ULONG disposition, ULONG options, PDOKAN_FILE_INFO info) {
  Add("ZwCreateFile", name, info);
  gCalls.back().access = access;
  gCalls.back().disposition = disposition;
  gCalls.back().options = options;
  if (gCreateResult == STATUS_SUCCESS) {
    info->Context = 77;
    if (gCreateIsDirectory) info->IsDirectory = 1;
  }
  return gCreateResult;
}
NTSTATUS Cleanup(LPCWSTR name, PDOKAN_FILE_INFO info) {
  Add("Cleanup", name, info);
  info->Context = 0;
  return gCleanupResult;
}
void CloseFile(LPCWSTR name, PDOKAN_FILE_INFO info) { Add("CloseFile", name, info); }
NTSTATUS Read(LPCWSTR name, LPVOID, DWORD len, LPDWORD got, LONGLONG off, PDOKAN_FILE_INFO info) {
  Add("ReadFile", name, info);
  gCalls.back().offset = off;
  *got = len / 2;
  return STATUS_SUCCESS;
}
NTSTATUS Write(LPCWSTR name, LPCVOID, DWORD len, LPDWORD written, LONGLONG off,
               PDOKAN_FILE_INFO info) {
  Add("WriteFile", name, info);
  gCalls.back().offset = off;
  *written = len;
  return STATUS_SUCCESS;
}
NTSTATUS Flush(LPCWSTR name, PDOKAN_FILE_INFO info) {
  Add("FlushFileBuffers", name, info);
  return STATUS_DISK_FULL;
}
NTSTATUS Info(LPCWSTR name, LPBY_HANDLE_FILE_INFORMATION out, PDOKAN_FILE_INFO info) {
  Add("GetFileInformation", name, info);
  *out = {};
  out->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  // 2001-09-09 01:46:40 UTC
  uint64_t t = (1000000000ULL * 10000000ULL) + 116444736000000000ULL;
  out->ftLastWriteTime.dwLowDateTime = static_cast<DWORD>(t);
  out->ftLastWriteTime.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return STATUS_SUCCESS;
}
NTSTATUS Find(LPCWSTR name, PFillFindData fill, PDOKAN_FILE_INFO info) {
  Add("FindFiles", name, info);
  WIN32_FIND_DATAW d{};
  std::u16string n = u"entry";
  n.copy(d.cFileName, n.size());
  d.nFileSizeLow = 9;
  fill(&d, info);
  return STATUS_SUCCESS;
}
NTSTATUS DelFile(LPCWSTR name, PDOKAN_FILE_INFO info) {
  Add("DeleteFile", name, info);
  return gDeleteResult;
}
NTSTATUS DelDir(LPCWSTR name, PDOKAN_FILE_INFO info) {
  Add("DeleteDirectory", name, info);
  return gDeleteResult;
}
NTSTATUS Move(LPCWSTR name, LPCWSTR to, BOOL replace, PDOKAN_FILE_INFO info) {
  Add("MoveFile", name, info);
  gCalls.back().replace = replace;
  gCalls.back().name += "->" + U8(to);
  info->Context = 0;  // the file system cleans the source open up itself
  return STATUS_SUCCESS;
}
NTSTATUS EndOfFile(LPCWSTR name, LONGLONG off, PDOKAN_FILE_INFO info) {
  Add("SetEndOfFile", name, info);
  gCalls.back().offset = off;
  return STATUS_SUCCESS;
}

DOKAN_OPERATIONS Ops() {
  DOKAN_OPERATIONS o{};
  o.ZwCreateFile = Create;
  o.Cleanup = Cleanup;
  o.CloseFile = CloseFile;
  o.ReadFile = Read;
  o.WriteFile = Write;
  o.FlushFileBuffers = Flush;
  o.GetFileInformation = Info;
  o.FindFiles = Find;
  o.DeleteFile = DelFile;
  o.DeleteDirectory = DelDir;
  o.MoveFile = Move;
  o.SetEndOfFile = EndOfFile;
  return o;
}

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls.clear();
    gCreateResult = STATUS_SUCCESS;
    gDeleteResult = STATUS_SUCCESS;
    gCleanupResult = STATUS_SUCCESS;
    gCreateIsDirectory = false;
  }
  std::vector<std::string> sequence() {
    std::vector<std::string> out;
    for (auto& c : gCalls) out.push_back(c.call);
    return out;
  }
  DOKAN_OPERATIONS ops = Ops();
  DOKAN_OPTIONS options{};
  dokan::Requests requests{&ops, &options};
};

using Seq = std::vector<std::string>;

TEST_F(Requests, UnlinkIsOpenDeleteCleanupWithDeleteOnClose) {
  EXPECT_EQ(requests.unlink("/dir/f", 42), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "DeleteFile", "Cleanup", "CloseFile"}));
  EXPECT_EQ(gCalls[0].name, "\\dir\\f");
  EXPECT_TRUE(gCalls[0].access & DELETE);
  EXPECT_EQ(gCalls[0].disposition, FILE_OPEN);
  EXPECT_TRUE(gCalls[0].options & FILE_NON_DIRECTORY_FILE);
  EXPECT_EQ(gCalls[0].info.ProcessId, 42u);
  EXPECT_EQ(gCalls[2].info.DeleteOnClose, 1);
  EXPECT_EQ(gCalls[2].info.Context, 77u);
}

TEST_F(Requests, RefusedDeleteLeavesDeleteOnCloseClear) {
  gDeleteResult = STATUS_ACCESS_DENIED;
  EXPECT_EQ(requests.unlink("/f", 1), -EACCES);
  EXPECT_EQ(gCalls[2].call, "Cleanup");
  EXPECT_EQ(gCalls[2].info.DeleteOnClose, 0);
  gCalls.clear();
  gDeleteResult = STATUS_SUCCESS;
  gCleanupResult = STATUS_ACCESS_DENIED;  // the deferred delete failed
  EXPECT_EQ(requests.unlink("/f", 1), -EACCES);
}

TEST_F(Requests, RmdirAndMkdir) {
  EXPECT_EQ(requests.rmdir("/d", 1), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "DeleteDirectory", "Cleanup", "CloseFile"}));
  EXPECT_TRUE(gCalls[0].options & FILE_DIRECTORY_FILE);
  EXPECT_EQ(gCalls[0].info.IsDirectory, 1);
  EXPECT_EQ(gCalls[2].info.DeleteOnClose, 1);
  gCalls.clear();
  EXPECT_EQ(requests.mkdir("/d", 1), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "Cleanup", "CloseFile"}));
  EXPECT_EQ(gCalls[0].disposition, FILE_CREATE);
  EXPECT_EQ(gCalls[0].info.IsDirectory, 1);
  gCalls.clear();
  gCreateResult = STATUS_OBJECT_NAME_COLLISION;
  EXPECT_EQ(requests.mkdir("/d", 1), -EEXIST);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile"}));  // nothing to clean up after a failed create
}

TEST_F(Requests, RenameOpensMovesAndCleansUp) {
  EXPECT_EQ(requests.rename("/a", "/b/c", false, 5), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "MoveFile", "Cleanup", "CloseFile"}));
  EXPECT_EQ(gCalls[1].name, "\\a->\\b\\c");
  EXPECT_TRUE(gCalls[1].replace);
  EXPECT_EQ(gCalls[2].info.Context, 0u);  // MoveFile already released the open
  gCalls.clear();
  EXPECT_EQ(requests.rename("/a", "/b", true, 5), 0);
  EXPECT_FALSE(gCalls[1].replace);
}

TEST_F(Requests, OpenDispositionsFollowTheFlags) {
  struct Case {
    int flags;
    bool create;
    ULONG disposition;
  } cases[] = {{O_RDONLY, false, FILE_OPEN},
               {O_WRONLY | O_TRUNC, false, FILE_OVERWRITE},
               {O_RDWR | O_CREAT, true, FILE_OPEN_IF},
               {O_WRONLY | O_CREAT | O_EXCL, true, FILE_CREATE},
               {O_WRONLY | O_CREAT | O_TRUNC, true, FILE_OVERWRITE_IF}};
  for (const Case& c : cases) {
    gCalls.clear();
    dokan::OpenFile* of = nullptr;
    ASSERT_EQ(requests.open("/f", c.flags, c.create, 1, &of), 0);
    EXPECT_EQ(gCalls[0].disposition, c.disposition) << c.flags;
    EXPECT_EQ(static_cast<bool>(gCalls[0].access & FILE_WRITE_DATA), (c.flags & O_ACCMODE) != O_RDONLY);
    EXPECT_EQ(requests.openCount(), 1u);
    requests.release(of, 1);
    EXPECT_EQ(requests.openCount(), 0u);
  }
}

TEST_F(Requests, ReadsAndWritesAreSynchronousAndAppendsKeepTheKernelsOffset) {
  dokan::OpenFile* of = nullptr;
  ASSERT_EQ(requests.open("/f", O_WRONLY | O_APPEND, false, 3, &of), 0);
  char buf[100];
  EXPECT_EQ(requests.read(of, buf, 100, 10, 3), 50);
  EXPECT_EQ(requests.write(of, buf, 7, 20, 3), 7);
  EXPECT_EQ(gCalls[1].info.SynchronousIo, 1);
  EXPECT_EQ(gCalls[1].offset, 10);
  EXPECT_EQ(gCalls[2].info.SynchronousIo, 1);
  // The kernel has put the append at the end already: its offset stands.
  EXPECT_EQ(gCalls[2].info.WriteToEndOfFile, 0);
  EXPECT_EQ(gCalls[2].offset, 20);
  EXPECT_EQ(gCalls[2].info.Context, 77u);
  // close(2) of a write descriptor flushes and reports the failure.
  EXPECT_EQ(requests.flush(of, 3), -ENOSPC);
  EXPECT_EQ(requests.fsync(of, 3), -ENOSPC);
  requests.release(of, 3);
  EXPECT_EQ(gCalls.back().call, "CloseFile");
  EXPECT_EQ(gCalls[gCalls.size() - 2].info.DeleteOnClose, 0);
}

TEST_F(Requests, ReadOnlyCloseDoesNotFlush) {
  dokan::OpenFile* of = nullptr;
  ASSERT_EQ(requests.open("/f", O_RDONLY, false, 3, &of), 0);
  EXPECT_EQ(requests.flush(of, 3), 0);
  requests.release(of, 0);  // the kernel's release carries no process
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "Cleanup", "CloseFile"}));
  EXPECT_EQ(gCalls[1].info.ProcessId, 3u);  // the opener's
}

TEST_F(Requests, StatWithoutOpenAndListingWithOffsets) {
  struct stat st;
  EXPECT_EQ(requests.getattr("/", &st, nullptr, 1), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "GetFileInformation", "Cleanup", "CloseFile"}));
  EXPECT_EQ(gCalls[0].name, "\\");
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  gCalls.clear();
  gCreateIsDirectory = true;
  dokan::OpenFile* dir = nullptr;
  ASSERT_EQ(requests.opendir("/d", 1, &dir), 0);
  std::vector<std::string> names;
  auto sink = [&](const std::string& n, const struct stat& s, int64_t next) {
    names.push_back(n + ":" + std::to_string(s.st_size) + "@" + std::to_string(next));
    return names.size() < 2;  // the kernel's buffer is full after two
  };
  EXPECT_EQ(requests.readdir(dir, 1, 0, sink), 0);
  EXPECT_EQ(requests.readdir(dir, 1, 2, sink), 0);  // continues without a new FindFiles
  EXPECT_EQ(names, (Seq{".:0@1", "..:0@2", "entry:9@3"}));
  int finds = 0;
  for (auto& c : gCalls) finds += c.call == "FindFiles";
  EXPECT_EQ(finds, 1);
  requests.releasedir(dir, 1);
}

TEST_F(Requests, TruncateWithoutOpenUsesAWriteOpen) {
  // The write open is flushed as close(2) would; the flush's failure (this
  // driver's flush always answers "disk full") is truncate's error, and the
  // refused growth is undone: the old size (0 here) is set and committed
  // again, so the file stays as it was.
  EXPECT_EQ(requests.truncate("/f", 12, nullptr, 1), -ENOSPC);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "GetFileInformation", "SetEndOfFile",
                             "FlushFileBuffers", "SetEndOfFile", "FlushFileBuffers", "Cleanup",
                             "CloseFile"}));
  EXPECT_TRUE(gCalls[0].access & FILE_WRITE_DATA);
  EXPECT_EQ(gCalls[2].offset, 12);
  EXPECT_EQ(gCalls[4].offset, 0);
}

TEST_F(Requests, BadUtf8NamesAreRefused) {
  EXPECT_EQ(requests.unlink("/bad\xff", 1), -EINVAL);
  EXPECT_TRUE(gCalls.empty());
}

// Every request that takes a name refuses, before any callback, a name the
// Windows side would read differently ("\\" is a separator there) and a
// name longer than 255 bytes; 255 bytes pass.
TEST_F(Requests, NamesTheWindowsSideCannotCarryAreRefused) {
  const std::string name255(255, 'n');
  const std::string name256(256, 'n');
  for (const auto& [path, expected] :
       std::vector<std::pair<std::string, int>>{{"/d\\t", -EINVAL},
                                                {"/a\\b/c", -EINVAL},
                                                {"/\\\\?\\x", -EINVAL},
                                                {"/d/" + name256, -ENAMETOOLONG},
                                                {"/" + name256 + "/x", -ENAMETOOLONG}}) {
    SCOPED_TRACE(path);
    struct stat st {};
    dokan::OpenFile* of = nullptr;
    const struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    EXPECT_EQ(requests.getattr(path, &st, nullptr, 1), expected);
    EXPECT_EQ(requests.open(path, O_RDWR, false, 1, &of), expected);
    EXPECT_EQ(requests.open(path, O_WRONLY | O_CREAT | O_TRUNC, true, 1, &of), expected);
    EXPECT_EQ(requests.opendir(path, 1, &of), expected);
    EXPECT_EQ(requests.mkdir(path, 1), expected);
    EXPECT_EQ(requests.rmdir(path, 1), expected);
    EXPECT_EQ(requests.unlink(path, 1), expected);
    EXPECT_EQ(requests.rename(path, "/ok", false, 1), expected);
    EXPECT_EQ(requests.rename("/ok", path, false, 1), expected);
    EXPECT_EQ(requests.truncate(path, 0, nullptr, 1), expected);
    EXPECT_EQ(requests.utimens(path, times, nullptr, 1), expected);
    EXPECT_TRUE(gCalls.empty()) << gCalls.front().call << " " << gCalls.front().name;
    gCalls.clear();
  }
  EXPECT_EQ(requests.unlink("/d/" + name255, 1), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "DeleteFile", "Cleanup", "CloseFile"}));
}

// libfuse keeps an unlinked open file under a hidden name by a rename: that
// rename is the unlink; the hidden name is served through the open while it
// lasts and forgotten at libfuse's final unlink, without reaching Windows.
TEST_F(Requests, HiddenNameOfADeletedOpenFileIsLocal) {
  const std::string hidden = "/d/.fuse_hidden0000000200000001";
  dokan::OpenFile* of = nullptr;
  ASSERT_EQ(requests.open("/d/f", O_RDWR, false, 1, &of), 0);
  gCalls.clear();
  ASSERT_EQ(requests.rename("/d/f", hidden, false, 1), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "DeleteFile", "Cleanup", "CloseFile"}));
  EXPECT_TRUE(gCalls[0].access & DELETE);
  EXPECT_EQ(gCalls[0].name, "\\d\\f");
  EXPECT_TRUE(gCalls[2].info.DeleteOnClose);
  gCalls.clear();

  struct stat st {};
  const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  EXPECT_EQ(requests.getattr(hidden, &st, nullptr, 1), 0);
  EXPECT_EQ(requests.truncate(hidden, 3, nullptr, 1), 0);
  EXPECT_EQ(sequence(), (Seq{"GetFileInformation", "SetEndOfFile"}));
  EXPECT_EQ(gCalls[0].name, "\\d\\f");
  EXPECT_EQ(gCalls[0].info.Context, 77u);  // the open's, not a new one
  EXPECT_EQ(requests.rename(hidden, "/d/g", false, 1), -ENOENT);
  requests.release(of, 1);
  gCalls.clear();
  EXPECT_EQ(requests.getattr(hidden, &st, nullptr, 1), -ENOENT);
  EXPECT_EQ(requests.utimens(hidden, times, nullptr, 1), -ENOENT);
  EXPECT_EQ(requests.unlink(hidden, 1), 0);
  EXPECT_TRUE(gCalls.empty());

  // A file that is not open is moved as asked.
  EXPECT_EQ(requests.rename("/d/h", "/d/.fuse_hidden0000000300000002", false, 1), 0);
  EXPECT_EQ(sequence(), (Seq{"ZwCreateFile", "MoveFile", "Cleanup", "CloseFile"}));
}

TEST_F(Requests, LeftoverOpensAreClosedAtTheEnd) {
  {
    DOKAN_OPTIONS o{};
    dokan::Requests r(&ops, &o);
    dokan::OpenFile* of = nullptr;
    ASSERT_EQ(r.open("/f", O_RDONLY, false, 1, &of), 0);
    gCalls.clear();
  }
  EXPECT_EQ(sequence(), (Seq{"CloseFile"}));
}

}  // namespace
