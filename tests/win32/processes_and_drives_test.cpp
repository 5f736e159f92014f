// Drive letters, mount directories and process image names under their
// Win32 names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "mount_points.h"
#include "process_image.h"
#include "process_image_testing.h"

TEST(MountPoints, DriveLettersAndDirectories) {
  const char* home = getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(dokan::MountDirectoryFor("x:"), std::string(home) + "/Ambermoor/X");
  EXPECT_EQ(dokan::MountDirectoryFor("M:\\"), std::string(home) + "/Ambermoor/M");
  EXPECT_EQ(dokan::MountDirectoryFor("/tmp/drive/"), "/tmp/drive");
  EXPECT_EQ(dokan::MountDirectoryFor("XY"), "");
  EXPECT_EQ(dokan::MountDirectoryFor("1:"), "");
  EXPECT_EQ(dokan::MountDirectoryFor("relative/dir"), "");
  EXPECT_TRUE(dokan::IsMountPoint("/proc"));
  EXPECT_FALSE(dokan::IsMountPoint("/proc/self"));
  DWORD drives = GetLogicalDrives();
  EXPECT_EQ(drives & 0x7u, 0x7u);
  char dir[] = "/tmp/tarvik-mp-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string nested = std::string(dir) + "/a/b";
  EXPECT_TRUE(dokan::EnsureMountDirectory(nested));
  EXPECT_TRUE(dokan::EnsureMountDirectory(nested));  // already there
  EXPECT_FALSE(dokan::EnsureMountDirectory("relative"));
  std::string cmd = std::string("rm -r ") + dir;
  EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(ProcessImage, ReadsProcExe) {
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, getpid());
  ASSERT_NE(h, nullptr);
  WCHAR name[260];
  DWORD n = K32GetProcessImageFileNameW(h, name, 260);
  ASSERT_GT(n, 0u);
  std::u16string image(name, n);
  EXPECT_EQ(image[0], u'\\');
  EXPECT_NE(image.find(u"win32_processes_and_drives_test"), std::u16string::npos);
  // A short buffer gets a cut, terminated name.
  WCHAR tiny[4];
  EXPECT_EQ(K32GetProcessImageFileNameW(h, tiny, 4), 3u);
  EXPECT_EQ(tiny[3], 0);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0), nullptr);
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0x7ffffff0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(dokan::RunningProcessImages().empty());
}

TEST(ProcessImage, TestOverride) {
  dokan::SetProcessImageForTest(4242424, "\\opt\\x\\EXCEL.EXE");
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 4242424);
  ASSERT_NE(h, nullptr);
  WCHAR name[260];
  DWORD n = K32GetProcessImageFileNameW(h, name, 260);
  EXPECT_EQ(std::u16string(name, n), u"\\opt\\x\\EXCEL.EXE");
  CloseHandle(h);
  dokan::SetProcessImageForTest(4242424, "");
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 4242424), nullptr);
}
