// The Dokan adapter's rules, driven in-process with the callback sequences
// Windows (or the FUSE layer) sends, over the in-memory table.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "dokan_test_driver.h"
#include "drive/decas_frame.h"
#include "drive/dokan_adapter.h"
#include "drive/office_save_tracker.h"
#include "memory_table.h"
#include "process_image_testing.h"
#include "log_capture.h"

using namespace tarvik;
using tarvik_test::LogCapture;

namespace {

constexpr uint32_t kExplorer = 900001;
constexpr uint32_t kOffice = 900002;
constexpr uint32_t kOther = 900003;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Adapter : public ::testing::Test {
 protected:
  void SetUp() override {
    dokan::SetProcessImageForTest(kExplorer, "\\usr\\bin\\nautilus");
    dokan::SetProcessImageForTest(kOffice, "\\Program Files\\Office\\WINWORD.EXE");
    dokan::SetProcessImageForTest(kOther, "\\usr\\bin\\cp");
    memtable::state().reset();
    decas_setTableFiller(memtable::fill);
    ASSERT_EQ(decas_main("/mnt/adapter", 16, false, false), 0);
    ASSERT_TRUE(driver.waitMounted());
  }
  void TearDown() override {
    decas_exit();
    for (uint32_t pid : {kExplorer, kOffice, kOther}) officeSaveTracker().drop(pid);
  }

  const DOKAN_OPERATIONS& ops() { return driver.ops(); }
  dokan::Requests& posix() { return driver.requests(); }

  NTSTATUS create(DOKAN_FILE_INFO& fi, const std::u16string& name, ACCESS_MASK access,
                  ULONG disposition, ULONG options, uint32_t pid, ULONG share = kShareAll) {
    fi = {};
    fi.ProcessId = pid;
    fi.IsDirectory = (options & FILE_DIRECTORY_FILE) ? 1 : 0;
    DOKAN_IO_SECURITY_CONTEXT sc{access};
    return ops().ZwCreateFile(name.c_str(), &sc, access, FILE_ATTRIBUTE_NORMAL, share, disposition,
                              options | FILE_SYNCHRONOUS_IO_NONALERT, &fi);
  }
  NTSTATUS write(DOKAN_FILE_INFO& fi, const std::u16string& name, const std::string& data,
                 int64_t offset) {
    fi.SynchronousIo = 1;
    DWORD written = 0;
    return ops().WriteFile(name.c_str(), data.data(), static_cast<DWORD>(data.size()), &written,
                           offset, &fi);
  }
  void cleanupAndClose(DOKAN_FILE_INFO& fi, const std::u16string& name) {
    ops().Cleanup(name.c_str(), &fi);
    ops().CloseFile(name.c_str(), &fi);
  }
  // MoveFile as Windows sends it: open of the source, MoveFile, Cleanup, CloseFile.
  NTSTATUS move(const std::u16string& from, const std::u16string& to, bool replace, uint32_t pid) {
    DOKAN_FILE_INFO fi;
    NTSTATUS s = create(fi, from, DELETE | SYNCHRONIZE, FILE_OPEN, 0, pid);
    if (s < 0) return s;
    s = ops().MoveFile(from.c_str(), to.c_str(), replace ? TRUE : FALSE, &fi);
    cleanupAndClose(fi, from);
    return s;
  }
  // A whole write-open: create, write, cleanup.
  void writeFile(const std::u16string& name, const std::string& data, uint32_t pid) {
    DOKAN_FILE_INFO fi;
    ASSERT_EQ(create(fi, name, FILE_GENERIC_WRITE, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE, pid), 0);
    if (!data.empty()) {
      ASSERT_EQ(write(fi, name, data, 0), 0);
    }
    cleanupAndClose(fi, name);
  }

  dokan::TestDriver driver;
};

TEST_F(Adapter, SystemFolderOpensWithoutContext) {
  DOKAN_FILE_INFO fi;
  EXPECT_EQ(create(fi, u"\\__system__", FILE_GENERIC_READ, FILE_OPEN, 0, kOther), STATUS_SUCCESS);
  EXPECT_EQ(fi.Context, 0u);
  EXPECT_EQ(memtable::state().count("open"), 0);
  EXPECT_EQ(memtable::state().count("opendir"), 0);
  cleanupAndClose(fi, u"\\__system__");
}

TEST_F(Adapter, MissingPathWithoutCreate) {
  DOKAN_FILE_INFO fi;
  EXPECT_EQ(create(fi, u"\\nope", FILE_GENERIC_READ, FILE_OPEN, 0, kOther),
            DokanNtStatusFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(fi.Context, 0u);
  EXPECT_EQ(memtable::state().count("open"), 0);
}

TEST_F(Adapter, FileOpenedAsDirectory) {
  memtable::state().put("/f.txt", "x");
  DOKAN_FILE_INFO fi;
  EXPECT_EQ(create(fi, u"\\f.txt", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, kOther),
            STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(fi.IsDirectory, 0);
  EXPECT_EQ(fi.Context, 0u);
}

TEST_F(Adapter, CreateDirectoryKeepsNoContext) {
  DOKAN_FILE_INFO fi;
  EXPECT_EQ(create(fi, u"\\newdir", FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, kOther), 0);
  EXPECT_EQ(fi.Context, 0u);
  EXPECT_TRUE(memtable::state().exists("/newdir"));
  cleanupAndClose(fi, u"\\newdir");
}

TEST_F(Adapter, OpenFlagsFollowTheCreateArguments) {
  EXPECT_EQ(computeOpenFlags(GENERIC_READ, 0, OPEN_EXISTING, kShareAll),
            OPEN_READ | OPEN_SHARE_DELETE);
  EXPECT_EQ(computeOpenFlags(FILE_WRITE_DATA, 0, CREATE_NEW, FILE_SHARE_READ | FILE_SHARE_WRITE),
            OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE | OPEN_EXCLUSIVE);
  EXPECT_EQ(computeOpenFlags(GENERIC_ALL, 0, CREATE_ALWAYS, FILE_SHARE_READ),
            OPEN_READ | OPEN_WRITE | OPEN_SHARE_LOCK | OPEN_CREATE | OPEN_TRUNCATE);
  EXPECT_EQ(computeOpenFlags(DELETE, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, OPEN_ALWAYS,
                             FILE_SHARE_WRITE | FILE_SHARE_DELETE),
            OPEN_DELETE_ACCESS | OPEN_SHARE_DELETE | OPEN_CREATE | OPEN_DELETE_ON_CLOSE |
                OPEN_OVERLAPPED);
  EXPECT_EQ(computeOpenFlags(0, 0, TRUNCATE_EXISTING, FILE_SHARE_WRITE), OPEN_TRUNCATE);
}

TEST_F(Adapter, ExplorerExclusiveOpenDoesNotLock) {
  memtable::state().put("/doc", "x");
  DOKAN_FILE_INFO fi;
  ASSERT_EQ(create(fi, u"\\doc", FILE_GENERIC_READ, FILE_OPEN, 0, kExplorer, FILE_SHARE_READ), 0);
  cleanupAndClose(fi, u"\\doc");
  ASSERT_EQ(create(fi, u"\\doc", FILE_GENERIC_READ, FILE_OPEN, 0, kOther, FILE_SHARE_READ), 0);
  cleanupAndClose(fi, u"\\doc");
  auto opens = memtable::state().callsOf("open");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_FALSE(std::stoul(opens[0].b) & OPEN_SHARE_LOCK);
  EXPECT_TRUE(std::stoul(opens[1].b) & OPEN_SHARE_LOCK);
}

TEST_F(Adapter, ExplorerDeletesGoToTheTrash) {
  memtable::state().put("/full", "data");
  memtable::state().put("/empty", "");
  memtable::state().put("/other", "data");
  memtable::state().mkdirs("/folder");
  EXPECT_EQ(posix().unlink("/full", kExplorer), 0);
  EXPECT_EQ(posix().unlink("/empty", kExplorer), 0);
  EXPECT_EQ(posix().unlink("/other", kOther), 0);
  EXPECT_EQ(posix().rmdir("/folder", kExplorer), 0);
  auto removes = memtable::state().callsOf("remove");
  ASSERT_EQ(removes.size(), 3u);
  EXPECT_EQ(removes[0].a, "/full");
  EXPECT_TRUE(removes[0].flag);   // non-empty file by the file manager: trash
  EXPECT_FALSE(removes[1].flag);  // empty file: permanent
  EXPECT_FALSE(removes[2].flag);  // another program: permanent
  auto rmdirs = memtable::state().callsOf("rmdir");
  ASSERT_EQ(rmdirs.size(), 1u);
  EXPECT_TRUE(rmdirs[0].flag);
  EXPECT_FALSE(memtable::state().exists("/full"));
  EXPECT_FALSE(memtable::state().exists("/folder"));
  EXPECT_EQ(memtable::state().count("access"), 4);  // DeleteFile and DeleteDirectory checks
}

TEST_F(Adapter, FailedDeleteReachesTheCaller) {
  memtable::state().put("/locked", "x");
  memtable::state().fail("access", -DECAS_STATUS_RESOURCE_LOCKED);
  EXPECT_EQ(posix().unlink("/locked", kOther), -EBUSY);
  EXPECT_TRUE(memtable::state().exists("/locked"));
  memtable::state().fail("access", 0);
  memtable::state().fail("remove", -13);
  EXPECT_EQ(posix().unlink("/locked", kOther), -EACCES);
  EXPECT_TRUE(memtable::state().exists("/locked"));
}

TEST_F(Adapter, DeleteDirectoryOnNonEmptyFolder) {
  memtable::state().mkdirs("/d");
  memtable::state().put("/d/x", "1");
  DOKAN_FILE_INFO fi;
  ASSERT_EQ(create(fi, u"\\d", DELETE, FILE_OPEN, FILE_DIRECTORY_FILE, kOther), 0);
  EXPECT_EQ(ops().DeleteDirectory(u"\\d", &fi), STATUS_DIRECTORY_NOT_EMPTY);
  cleanupAndClose(fi, u"\\d");
  memtable::state().mkdirs("/e");
  ASSERT_EQ(create(fi, u"\\e", DELETE, FILE_OPEN, FILE_DIRECTORY_FILE, kOther), 0);
  EXPECT_EQ(ops().DeleteDirectory(u"\\e", &fi), STATUS_SUCCESS);
  cleanupAndClose(fi, u"\\e");
  // Without an open of its own, DeleteDirectory lists through a temporary one.
  DOKAN_FILE_INFO none{};
  EXPECT_EQ(ops().DeleteDirectory(u"\\d", &none), STATUS_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(posix().rmdir("/d", kOther), -ENOTEMPTY);
}

TEST_F(Adapter, ExplorerLastChunkFlushesAtOnce) {
  const std::string chunk(1 << 20, 'c');
  for (uint32_t pid : {kExplorer, kOther}) {
    memtable::state().reset();
    DOKAN_FILE_INFO fi;
    ASSERT_EQ(create(fi, u"\\copy", FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, pid), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(write(fi, u"\\copy", chunk, int64_t(i) << 20), 0);
    EXPECT_EQ(memtable::state().count("flush"), 0);
    ASSERT_EQ(write(fi, u"\\copy", std::string(200000, 'e'), 3 << 20), 0);
    EXPECT_EQ(memtable::state().count("flush"), pid == kExplorer ? 1 : 0) << pid;
    cleanupAndClose(fi, u"\\copy");
    EXPECT_EQ(memtable::state().content("/copy").size(), (3u << 20) + 200000u);
  }
}

// Kernel writes come as synchronous ones, but go to the content layer as
// overlapped writes (which leave the upload of a finished block to the
// workers and stop at the end of a block): the adapter writes the rest of
// the request in further calls, so the caller always sees all of it written.
TEST_F(Adapter, SynchronousWritesGoOverlappedAndWhole) {
  memtable::state().overlappedWritePiece = 1000;
  DOKAN_FILE_INFO fi;
  ASSERT_EQ(create(fi, u"\\big", FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, kOther), 0);
  std::string data(2500, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  fi.SynchronousIo = 1;
  DWORD written = 0;
  ASSERT_EQ(ops().WriteFile(u"\\big", data.data(), 2500, &written, 100, &fi), 0);
  EXPECT_EQ(written, 2500u);
  const auto calls = memtable::state().callsOf("write");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].b, "100:2500");
  EXPECT_EQ(calls[1].b, "1100:1500");
  EXPECT_EQ(calls[2].b, "2100:500");
  for (const auto& c : calls) EXPECT_FALSE(c.flag);
  cleanupAndClose(fi, u"\\big");
  EXPECT_EQ(memtable::state().content("/big"), std::string(100, '\0') + data);
}

TEST_F(Adapter, FailedWriteKeepsWhatWasWrittenAndOnlyAnEmptyNewFileGoes) {
  // A new file whose only write failed holds nothing: it is removed again.
  memtable::state().fail("write", -28);
  DOKAN_FILE_INFO fi;
  ASSERT_EQ(create(fi, u"\\new", FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, kOther), 0);
  fi.SynchronousIo = 1;
  DWORD written = 77;
  EXPECT_EQ(ops().WriteFile(u"\\new", "abc", 3, &written, 0, &fi), STATUS_DISK_FULL);
  EXPECT_EQ(written, 0u);
  cleanupAndClose(fi, u"\\new");
  EXPECT_FALSE(memtable::state().exists("/new"));

  // Once data was written, a failed write costs nothing of it: later writes
  // are attempted, and the file stays with every byte that was written.
  memtable::state().fail("write", 0);
  ASSERT_EQ(create(fi, u"\\kept", FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, kOther), 0);
  fi.SynchronousIo = 1;
  ASSERT_EQ(ops().WriteFile(u"\\kept", "abc", 3, &written, 0, &fi), STATUS_SUCCESS);
  memtable::state().fail("write", -28);
  EXPECT_EQ(ops().WriteFile(u"\\kept", "xyz", 3, &written, 3, &fi), STATUS_DISK_FULL);
  memtable::state().fail("write", 0);
  ASSERT_EQ(ops().WriteFile(u"\\kept", "def", 3, &written, 3, &fi), STATUS_SUCCESS);
  const int flushes = memtable::state().count("flush");
  cleanupAndClose(fi, u"\\kept");
  EXPECT_EQ(memtable::state().count("flush"), flushes + 1);  // the close commits
  ASSERT_TRUE(memtable::state().exists("/kept"));
  EXPECT_EQ(memtable::state().content("/kept"), "abcdef");
}

TEST_F(Adapter, WriteToEndOfFileAppends) {
  memtable::state().put("/log", "12345");
  DOKAN_FILE_INFO fi;
  ASSERT_EQ(create(fi, u"\\log", FILE_GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, kOther), 0);
  fi.WriteToEndOfFile = 1;
  ASSERT_EQ(write(fi, u"\\log", "ab", 0), 0);
  cleanupAndClose(fi, u"\\log");
  EXPECT_EQ(memtable::state().content("/log"), "12345ab");
}

TEST_F(Adapter, ReadAndWriteWithoutOpenUseTemporaryHandles) {
  memtable::state().put("/t", "hello");
  DOKAN_FILE_INFO fi{};
  fi.ProcessId = kOther;
  char buf[8] = {};
  DWORD got = 0;
  EXPECT_EQ(ops().ReadFile(u"\\t", buf, sizeof buf, &got, 1, &fi), 0);
  EXPECT_EQ(std::string(buf, got), "ello");
  DWORD written = 0;
  EXPECT_EQ(ops().WriteFile(u"\\t", "J", 1, &written, 0, &fi), 0);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(memtable::state().content("/t"), "Jello");
  EXPECT_EQ(memtable::state().count("open"), 2);
  EXPECT_EQ(memtable::state().count("close"), 2);
  EXPECT_EQ(decas_openFileCount(), 0u);
}

TEST_F(Adapter, RequestsWithoutHandleAreInvalid) {
  DOKAN_FILE_INFO fi{};
  EXPECT_EQ(ops().FlushFileBuffers(u"\\x", &fi), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ops().SetEndOfFile(u"\\x", 1, &fi), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ops().SetAllocationSize(u"\\x", 1, &fi), STATUS_INVALID_HANDLE);
}

TEST_F(Adapter, AllocationSizeOnlyShrinks) {
  memtable::state().put("/s", "123456");
  DOKAN_FILE_INFO fi;
  ASSERT_EQ(create(fi, u"\\s", FILE_GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, kOther), 0);
  EXPECT_EQ(ops().SetAllocationSize(u"\\s", 100, &fi), 0);
  EXPECT_EQ(memtable::state().content("/s"), "123456");
  EXPECT_EQ(ops().SetAllocationSize(u"\\s", 2, &fi), 0);
  EXPECT_EQ(memtable::state().content("/s"), "12");
  EXPECT_EQ(ops().SetEndOfFile(u"\\s", 4, &fi), 0);
  EXPECT_EQ(memtable::state().content("/s"), std::string("12\0\0", 4));
  cleanupAndClose(fi, u"\\s");
}

TEST_F(Adapter, MoveOntoExistingFilesAndFolders) {
  memtable::state().put("/a", "A");
  memtable::state().put("/b", "B");
  memtable::state().mkdirs("/dir");
  EXPECT_EQ(move(u"\\a", u"\\b", false, kOther), DokanNtStatusFromWin32(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(move(u"\\a", u"\\dir", true, kOther), ntStatusOf(-DECAS_EISDIR));
  EXPECT_EQ(memtable::state().content("/a"), "A");
  EXPECT_EQ(move(u"\\a", u"\\b", true, kOther), 0);
  EXPECT_EQ(memtable::state().content("/b"), "A");
  EXPECT_FALSE(memtable::state().exists("/a"));
  EXPECT_EQ(move(u"\\b", u"\\dir\\c", false, kOther), 0);
  EXPECT_EQ(memtable::state().content("/dir/c"), "A");
  // The source open was cleaned up by MoveFile; nothing stays open.
  EXPECT_EQ(decas_openFileCount(), 0u);
  EXPECT_EQ(memtable::state().openFiles.load(), 0);
}

// A move onto an existing file is one overwriting move, never a removal
// followed by a move: when the move fails (a general failure, as the
// service's maintenance answer gives), the target keeps its content and the
// source its own.
TEST_F(Adapter, MoveOntoAFileReplacesItInTheMoveItself) {
  memtable::State& s = memtable::state();
  s.put("/e.txt", "old");
  s.put("/e.tmp2", "new");
  s.fail("rename", -(DECAS_OS_ERROR_BASE + 31));
  EXPECT_EQ(posix().rename("/e.tmp2", "/e.txt", false, kOther), -EIO);
  EXPECT_EQ(s.content("/e.txt"), "old");
  EXPECT_EQ(s.content("/e.tmp2"), "new");
  s.fail("rename", 0);
  EXPECT_EQ(posix().rename("/e.tmp2", "/e.txt", false, kOther), 0);
  EXPECT_EQ(s.content("/e.txt"), "new");
  EXPECT_FALSE(s.exists("/e.tmp2"));
  EXPECT_EQ(s.count("remove"), 0);
  const auto renames = s.callsOf("rename");
  ASSERT_EQ(renames.size(), 2u);  // the failed move and the one that replaced
  EXPECT_TRUE(renames[1].flag);
}

TEST_F(Adapter, OfficeSaveKeepsTheDocument) {
  memtable::state().put("/doc.docx", "old");
  // 1. The document is moved away to a backup name.
  ASSERT_EQ(move(u"\\doc.docx", u"\\x1.tmp", false, kOffice), 0);
  auto entry = officeSaveTracker().find(kOffice);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->document_path, "/doc.docx");
  EXPECT_EQ(entry->backup_path, "/x1.tmp");
  // 2. The new content is written to another temporary file (uploaded at cleanup).
  writeFile(u"\\x2.tmp", "new", kOffice);
  // 3. The temporary file is moved onto the document.
  ASSERT_EQ(move(u"\\x2.tmp", u"\\doc.docx", false, kOffice), 0);
  EXPECT_EQ(memtable::state().content("/doc.docx"), "new");
  EXPECT_EQ(memtable::state().content("/x1.tmp"), "old");
  EXPECT_FALSE(memtable::state().exists("/x2.tmp"));
  EXPECT_FALSE(officeSaveTracker().find(kOffice));
  // The backup went back under the document's name first (its identity), was
  // copied to the backup name, and the new file replaced it by an overwrite.
  auto renames = memtable::state().callsOf("rename");
  ASSERT_EQ(renames.size(), 3u);
  EXPECT_EQ(renames[1].a, "/x1.tmp");
  EXPECT_EQ(renames[1].b, "/doc.docx");
  EXPECT_EQ(renames[2].a, "/x2.tmp");
  EXPECT_EQ(renames[2].b, "/doc.docx");
  EXPECT_TRUE(renames[2].flag);
  EXPECT_EQ(memtable::state().count("copy"), 1);
}

TEST_F(Adapter, OfficeReplacementWaitsForTheUpload) {
  memtable::state().put("/doc.docx", "old");
  ASSERT_EQ(move(u"\\doc.docx", u"\\x1.tmp", false, kOffice), 0);
  writeFile(u"\\x2.tmp", "", kOffice);  // nothing uploaded yet
  ASSERT_EQ(move(u"\\x2.tmp", u"\\doc.docx", false, kOffice), 0);
  EXPECT_EQ(memtable::state().content("/doc.docx"), "old");
  auto entry = officeSaveTracker().find(kOffice);
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->replaced);
  EXPECT_EQ(entry->temp_path, "/x2.tmp");
  // The program writes the temporary file; its cleanup uploads and replaces.
  writeFile(u"\\x2.tmp", "new", kOffice);
  EXPECT_EQ(memtable::state().content("/doc.docx"), "new");
  EXPECT_FALSE(memtable::state().exists("/x2.tmp"));
  EXPECT_FALSE(officeSaveTracker().find(kOffice));
}

TEST_F(Adapter, OtherProgramsMoveWithoutTracking) {
  memtable::state().put("/doc.docx", "old");
  ASSERT_EQ(move(u"\\doc.docx", u"\\x1.tmp", false, kOther), 0);
  EXPECT_FALSE(officeSaveTracker().find(kOther));
  EXPECT_EQ(memtable::state().content("/x1.tmp"), "old");
}

TEST_F(Adapter, StatusesBecomeNtStatus) {
  memtable::state().fail("stat", -DECAS_STATUS_RESOURCE_LOCKED);
  DOKAN_FILE_INFO fi;
  EXPECT_EQ(create(fi, u"\\x", FILE_GENERIC_READ, FILE_OPEN, 0, kOther), STATUS_SHARING_VIOLATION);
  memtable::state().fail("stat", -720032);
  EXPECT_EQ(create(fi, u"\\x", FILE_GENERIC_READ, FILE_OPEN, 0, kOther), STATUS_ACCESS_DENIED);
  memtable::state().fail("stat", -17);
  EXPECT_EQ(create(fi, u"\\x", FILE_GENERIC_READ, FILE_OPEN, 0, kOther), STATUS_OBJECT_NAME_COLLISION);
  memtable::state().fail("stat", -20);
  EXPECT_EQ(create(fi, u"\\x", FILE_GENERIC_READ, FILE_OPEN, 0, kOther), STATUS_NOT_A_DIRECTORY);
  memtable::state().fail("stat", -28);
  EXPECT_EQ(create(fi, u"\\x", FILE_GENERIC_READ, FILE_OPEN, 0, kOther), STATUS_DISK_FULL);
}

TEST_F(Adapter, DirectoryCheckFailureClosesTheDirectory) {
  memtable::state().mkdirs("/d");
  memtable::state().fail("access", -13);
  DOKAN_FILE_INFO fi;
  EXPECT_EQ(create(fi, u"\\d", FILE_LIST_DIRECTORY, FILE_OPEN_IF, FILE_DIRECTORY_FILE, kOther),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(fi.Context, 0u);
  EXPECT_EQ(memtable::state().count("opendir"), 1);
  EXPECT_EQ(memtable::state().count("closedir"), 1);
}

TEST_F(Adapter, VolumeInformation) {
  WCHAR volume[64], fsName[64];
  DWORD serial = 0, maxComponent = 0, flags = 0;
  DOKAN_FILE_INFO fi{};
  ASSERT_EQ(ops().GetVolumeInformation(volume, 64, &serial, &maxComponent, &flags, fsName, 64, &fi), 0);
  EXPECT_EQ(std::u16string(volume), u"tarvik");
  EXPECT_EQ(std::u16string(fsName), u"Dokan");
  EXPECT_EQ(serial, 0x20050412u);
  EXPECT_EQ(maxComponent, 256u);
  EXPECT_EQ(flags, 0x107u);
  // A short buffer gets a cut, terminated name.
  WCHAR tiny[4];
  ASSERT_EQ(ops().GetVolumeInformation(tiny, 4, nullptr, nullptr, nullptr, nullptr, 0, &fi), 0);
  EXPECT_EQ(std::u16string(tiny), u"tar");
}

TEST_F(Adapter, FileInformationAndListing) {
  memtable::state().put("/dir/a", "12345");
  memtable::state().mkdirs("/dir");
  memtable::state().mkdirs("/dir/sub");
  dokan::OpenFile* of = nullptr;
  ASSERT_EQ(posix().opendir("/dir", kOther, &of), 0);
  std::map<std::string, struct stat> seen;
  ASSERT_EQ(posix().readdir(of, kOther, 0, [&](const std::string& n, const struct stat& st, int64_t) {
    seen[n] = st;
    return true;
  }), 0);
  posix().releasedir(of, kOther);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_TRUE(S_ISDIR(seen["sub"].st_mode));
  EXPECT_EQ(seen["a"].st_size, 5);
  EXPECT_EQ(seen["a"].st_mtim.tv_sec, 1700000000);
  struct stat st;
  ASSERT_EQ(posix().getattr("/dir/a", &st, nullptr, kOther), 0);
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(fileTimeOf(0).dwHighDateTime, static_cast<DWORD>(116444736000000000ULL >> 32));
  EXPECT_EQ(fileTimeOf(-1).dwLowDateTime, 0u);
  EXPECT_EQ(fileTimeOf(-1).dwHighDateTime, 0u);
}

TEST_F(Adapter, DiskFreeSpace) {
  ULONGLONG available = 0, total = 0, totalFree = 0;
  DOKAN_FILE_INFO fi{};
  ASSERT_EQ(ops().GetDiskFreeSpace(&available, &total, &totalFree, &fi), 0);
  EXPECT_EQ(total, static_cast<ULONGLONG>(memtable::state().capacity));
  EXPECT_EQ(available, static_cast<ULONGLONG>(memtable::state().free));
  EXPECT_EQ(totalFree, available);
  memtable::state().fail("statfs", -22);
  EXPECT_EQ(ops().GetDiskFreeSpace(&available, &total, &totalFree, &fi), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(Adapter, TraceLinesOnlyWhileLogging) {
  {
    LogCapture log;
    DOKAN_FILE_INFO fi;
    create(fi, u"\\nope", FILE_GENERIC_READ, FILE_OPEN, 0, kOther);
    EXPECT_EQ(log.count("DOKAN||| #ZwCreateFile: /nope"), 1);
    EXPECT_EQ(log.count("DOKAN||| \tOPEN_EXISTING"), 1);
    EXPECT_EQ(log.count("DOKAN||| \tflags = 0x801"), 1);
    EXPECT_EQ(log.count("DOKAN||| >open for non-existent entry"), 1);
    EXPECT_EQ(log.count("\n"), log.count("\r\n"));
  }
  tarvik::log::start("/nonexistent-dir/x.log", false);
  DOKAN_FILE_INFO fi;
  create(fi, u"\\nope", FILE_GENERIC_READ, FILE_OPEN, 0, kOther);  // must not crash or write
}

std::vector<std::u16string> gFound;
int CollectName(PWIN32_FIND_DATAW data, PDOKAN_FILE_INFO) {
  std::u16string name(data->cFileName);
  if (name != u"." && name != u"..") gFound.push_back(name);
  return 0;
}

// Names and paths that do not fit the Windows side are refused or left out,
// never cut: a cut name or path names another file.
TEST_F(Adapter, OverlongNamesAndPathsAreNeverCut) {
  // A path of exactly the longest convertible length, and a longer one
  // that begins with it.
  std::string longest;
  for (int i = 0; i < 32; ++i) {
    longest += "/" + std::string(255, static_cast<char>('a' + i % 26));
    if (i < 31) memtable::state().mkdirs(longest);
  }
  ASSERT_EQ(longest.size(), 8192u);
  memtable::state().put(longest, "keep");
  memtable::state().put("/src", "moved");
  EXPECT_EQ(posix().unlink(longest + "/y", kOther), -ENAMETOOLONG);
  EXPECT_EQ(posix().rename("/src", longest + "/y", false, kOther), -ENAMETOOLONG);
  EXPECT_EQ(memtable::state().content(longest), "keep");
  EXPECT_TRUE(memtable::state().exists("/src"));

  // Listing: a name that does not fit the find data is left out.
  memtable::state().mkdirs("/dir");
  memtable::state().put("/dir/" + std::string(300, 'L'), "x");
  memtable::state().put("/dir/" + std::string(200, 'S'), "y");
  gFound.clear();
  DOKAN_FILE_INFO fi{};
  fi.ProcessId = kOther;
  ASSERT_EQ(ops().FindFiles(u"\\dir", CollectName, &fi), 0);
  EXPECT_EQ(gFound, std::vector<std::u16string>{std::u16string(200, u'S')});
}

TEST_F(Adapter, UnmountWithOpenFilesClosesThem) {
  dokan::OpenFile* files[3];
  for (int i = 0; i < 3; ++i) {
    std::string p = "/o" + std::to_string(i);
    memtable::state().put(p, "x");
    ASSERT_EQ(posix().open(p, i == 1 ? O_RDWR : O_RDONLY, false, kOther, &files[i]), 0);
  }
  EXPECT_EQ(memtable::state().openFiles.load(), 3);
  EXPECT_EQ(decas_exit(), 0);
  EXPECT_EQ(memtable::state().openFiles.load(), 0);
  EXPECT_EQ(memtable::state().count("close"), 3);
  EXPECT_EQ(memtable::state().count("flush"), 1);
  EXPECT_EQ(memtable::state().count("exit"), 1);
}

}  // namespace
