// The Dokan layer's translations, name matching and mount refusal.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <string>

#include "dokan.h"
#include "dokan_errno.h"
#include "mount_points.h"

TEST(DokanStatus, Win32ToNtStatus) {
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_SUCCESS), STATUS_SUCCESS);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_FILE_NOT_FOUND), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_ACCESS_DENIED), STATUS_ACCESS_DENIED);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_ALREADY_EXISTS), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_DIRECTORY), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_INVALID_NAME), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_DISK_FULL), STATUS_DISK_FULL);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_SHARING_VIOLATION), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_DIR_NOT_EMPTY), STATUS_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_INVALID_FUNCTION), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(DokanNtStatusFromWin32(99999), STATUS_UNSUCCESSFUL);
}

TEST(DokanStatus, NtStatusToErrno) {
  using dokan::ErrnoFromNtStatus;
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_SUCCESS), 0);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_BUFFER_OVERFLOW), EIO);  // a warning is still a failure
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_OBJECT_NAME_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_OBJECT_PATH_NOT_FOUND), ENOENT);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_ACCESS_DENIED), EACCES);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_OBJECT_NAME_COLLISION), EEXIST);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_NOT_A_DIRECTORY), ENOTDIR);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_DIRECTORY_NOT_EMPTY), ENOTEMPTY);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_DISK_FULL), ENOSPC);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_SHARING_VIOLATION), EBUSY);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_INVALID_HANDLE), EBADF);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_NAME_TOO_LONG), ENAMETOOLONG);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_UNSUCCESSFUL), EIO);
  EXPECT_EQ(ErrnoFromNtStatus(STATUS_INVALID_DEVICE_REQUEST), EIO);
}

TEST(DokanCreateFlags, KernelToUser) {
  ACCESS_MASK access;
  DWORD flags, disposition;
  DokanMapKernelToUserCreateFileFlags(FILE_GENERIC_READ, FILE_ATTRIBUTE_NORMAL,
                                      FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN, &access, &flags,
                                      &disposition);
  EXPECT_TRUE(access & GENERIC_READ);
  EXPECT_FALSE(access & GENERIC_WRITE);
  EXPECT_EQ(flags, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(disposition, OPEN_EXISTING);
  DokanMapKernelToUserCreateFileFlags(FILE_WRITE_DATA | DELETE, 0,
                                      FILE_DELETE_ON_CLOSE | FILE_OPEN_FOR_BACKUP_INTENT |
                                          FILE_WRITE_THROUGH,
                                      FILE_OVERWRITE_IF, &access, &flags, &disposition);
  EXPECT_EQ(access, FILE_WRITE_DATA | DELETE);  // incomplete group stays specific
  EXPECT_EQ(flags, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_BACKUP_SEMANTICS |
                       FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OVERLAPPED);
  EXPECT_EQ(disposition, CREATE_ALWAYS);
  const std::pair<ULONG, DWORD> dispositions[] = {{FILE_SUPERSEDE, CREATE_ALWAYS},
                                                  {FILE_CREATE, CREATE_NEW},
                                                  {FILE_OPEN_IF, OPEN_ALWAYS},
                                                  {FILE_OVERWRITE, TRUNCATE_EXISTING}};
  for (auto [kernel, user] : dispositions) {
    DokanMapKernelToUserCreateFileFlags(0, 0, FILE_SYNCHRONOUS_IO_ALERT, kernel, nullptr, nullptr,
                                        &disposition);
    EXPECT_EQ(disposition, user) << kernel;
  }
  DokanMapKernelToUserCreateFileFlags(FILE_ALL_ACCESS, 0, 0, FILE_OPEN, &access, nullptr, nullptr);
  EXPECT_TRUE(access & GENERIC_ALL);
}

TEST(DokanNames, Expressions) {
  EXPECT_TRUE(DokanIsNameInExpression(u"*", u"anything.txt", false));
  EXPECT_TRUE(DokanIsNameInExpression(u"*.txt", u"a.txt", false));
  EXPECT_FALSE(DokanIsNameInExpression(u"*.txt", u"a.txt.bak", false));
  EXPECT_TRUE(DokanIsNameInExpression(u"*.TXT", u"a.txt", true));
  EXPECT_FALSE(DokanIsNameInExpression(u"*.TXT", u"a.txt", false));
  EXPECT_TRUE(DokanIsNameInExpression(u"a?c", u"abc", false));
  EXPECT_FALSE(DokanIsNameInExpression(u"a?c", u"ac", false));
  EXPECT_TRUE(DokanIsNameInExpression(u"<.doc", u"report.v2.doc", false));  // DOS star
  EXPECT_FALSE(DokanIsNameInExpression(u"<", u"a.b", false));
  EXPECT_TRUE(DokanIsNameInExpression(u"ab>>", u"ab", false));  // DOS question mark at the end
  EXPECT_TRUE(DokanIsNameInExpression(u"a\"*", u"a", false));   // DOS dot at the end
  EXPECT_TRUE(DokanIsNameInExpression(u"a\"b", u"a.b", false));
  EXPECT_FALSE(DokanIsNameInExpression(u"", u"a", false));
  EXPECT_FALSE(DokanIsNameInExpression(nullptr, u"a", false));
  std::u16string longName(2000, u'x');
  EXPECT_TRUE(DokanIsNameInExpression(u"*x*x*x*x*", longName.c_str(), false));
  EXPECT_FALSE(DokanIsNameInExpression(u"*x*x*x*y", longName.c_str(), false));
}

namespace {
NTSTATUS RefuseCreate(LPCWSTR, PDOKAN_IO_SECURITY_CONTEXT, ACCESS_MASK, ULONG, ULONG, ULONG, ULONG,
                      PDOKAN_FILE_INFO) {
  return STATUS_ACCESS_DENIED;
}
NTSTATUS NoCleanup(LPCWSTR, PDOKAN_FILE_INFO) { return STATUS_SUCCESS; }
void NoClose(LPCWSTR, PDOKAN_FILE_INFO) {}
}  // namespace

// A directory that already is a mount point is refused at once; the drive is
// never mounted on top of what is there.
TEST(DokanMountPoints, AnotherFileSystemsMountPointIsRefused) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "FUSE is not available here";
  char dir[] = "/tmp/tarvik-taken-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  if (mount("tarvik-test", dir, "tmpfs", 0, "size=1m") != 0) {
    rmdir(dir);
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  const std::string marker = std::string(dir) + "/kept";
  FILE* f = fopen(marker.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);

  std::u16string mountPoint(dir, dir + std::char_traits<char>::length(dir));
  DOKAN_OPTIONS options{};
  options.ThreadCount = 1;
  options.MountPoint = reinterpret_cast<LPCWSTR>(mountPoint.c_str());
  DOKAN_OPERATIONS ops{};
  ops.ZwCreateFile = RefuseCreate;
  ops.Cleanup = NoCleanup;
  ops.CloseFile = NoClose;
  auto result = std::async(std::launch::async, [&] { return DokanMain(&options, &ops); });
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Mounted on top: take that mount away so the call returns and fail.
    (void)system((std::string("fusermount3 -u -z ") + dir).c_str());
    result.wait();
    ADD_FAILURE() << "DokanMain mounted on top of an existing mount point";
  } else {
    EXPECT_EQ(result.get(), DOKAN_MOUNT_POINT_ERROR);
  }
  EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "the file system already there must stay visible";
  EXPECT_EQ(umount(dir), 0);
  rmdir(dir);
}
