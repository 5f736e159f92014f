// Path conversions at the Dokan boundary and the process classes.
#include <gtest/gtest.h>

#include "drive/path_convert.h"
#include "drive/process_class.h"

using namespace tarvik;

TEST(AdapterPaths, FromWindows) {
  std::string out;
  EXPECT_EQ(fromWindowsPath(u"\\a\\b.txt", out), 0);
  EXPECT_EQ(out, "/a/b.txt");
  EXPECT_EQ(fromWindowsPath(u"\\\\?\\UNC\\server\\share", out), 0);
  EXPECT_EQ(out, "//server/share");
  EXPECT_EQ(fromWindowsPath(u"\\\\?\\C:\\x", out), 0);
  EXPECT_EQ(out, "C:/x");
  EXPECT_EQ(fromWindowsPath(u"\\\u65e5\u672c\\\U0001F600", out), 0);
  EXPECT_EQ(out, "/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80");
}

TEST(AdapterPaths, FromWindowsFailures) {
  std::string out;
  std::u16string bad = u"\\ok\\";
  bad.push_back(static_cast<char16_t>(0xD800));
  bad += u"x";
  EXPECT_EQ(fromWindowsPath(bad, out), -22);
  EXPECT_EQ(out, "/ok/");  // the converted prefix
  bad = u"\\";
  bad.push_back(static_cast<char16_t>(0xDC00));
  EXPECT_EQ(fromWindowsPath(bad, out), -22);
  std::u16string longName(8192, u'a');
  EXPECT_EQ(fromWindowsPath(longName, out), 0);
  EXPECT_EQ(out.size(), 8192u);
  longName.push_back(u'b');
  EXPECT_EQ(fromWindowsPath(longName, out), -38);
  EXPECT_EQ(out.size(), 8192u);
  // A multi-byte character that does not fit is not split.
  std::u16string edge(8191, u'a');
  edge += u"\u65e5";
  EXPECT_EQ(fromWindowsPath(edge, out), -38);
  EXPECT_EQ(out.size(), 8191u);
}

TEST(AdapterPaths, ToWindows) {
  EXPECT_EQ(toWindowsPath("/a/b"), u"\\a\\b");
  EXPECT_EQ(toWindowsPath("X:"), u"X:");
  std::string longDrive = "C:/" + std::string(300, 'd');
  EXPECT_EQ(toWindowsPath(longDrive), u"\\\\?\\C:\\" + std::u16string(300, u'd'));
  std::string longUnc = "//server/" + std::string(300, 's');
  EXPECT_EQ(toWindowsPath(longUnc), u"\\\\?\\UNC\\server\\" + std::u16string(300, u's'));
  std::string shortUnc = "//server/share";
  EXPECT_EQ(toWindowsPath(shortUnc), u"\\\\server\\share");
  std::string longPlain = "/" + std::string(300, 'p');
  EXPECT_EQ(toWindowsPath(longPlain), u"\\" + std::u16string(300, u'p'));
}

TEST(AdapterProcessClass, Names) {
  for (const char* n : {"explorer.exe", "EXPLORER.EXE", "nautilus", "nemo", "caja", "Thunar",
                        "dolphin", "pcmanfm", "pcmanfm-qt"})
    EXPECT_EQ(classOfImageName(n), ProcessClass::Explorer) << n;
  for (const char* n : {"EXCEL.EXE", "powerpnt.exe", "PPCNVCOM.EXE", "WINWORD.EXE", "MSPUB.EXE",
                        "INFOPATH.EXE", "VISIO.EXE"})
    EXPECT_EQ(classOfImageName(n), ProcessClass::Office) << n;
  for (const char* n : {"cp", "explorer", "nautilus.bin", "", "WINWORD"})
    EXPECT_EQ(classOfImageName(n), ProcessClass::Other) << n;
  EXPECT_EQ(classifyProcess(0), ProcessClass::Other);          // no such process
  EXPECT_EQ(classifyProcess(getpid()), ProcessClass::Other);   // the test program
}
