// The shell layers against what they stand for: the registry against a
// store written by the toolkit's own settings class, drop lists, Base64 in
// the CryptoAPI layout, code-page conversion, Unicode text files, menus and
// the path mapping of drive letters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QSettings>
#include <QStringList>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crypt_string.h"
#include "fileapi.h"
#include "shellapi.h"
#include "stringapiset.h"
#include "unicode.h"
#include "winreg.h"
#include "winuser.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/shell-layers-XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

std::u16string toU16(const QString& s) { return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), s.size()); }

LSTATUS readString(HKEY key, const char16_t* name, std::u16string* out, DWORD* type = nullptr) {
  DWORD size = 0, t = 0;
  LSTATUS rc = RegQueryValueExW(key, name, nullptr, &t, nullptr, &size);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<BYTE> buf(size);
  rc = RegQueryValueExW(key, name, nullptr, &t, buf.data(), &size);
  if (type) *type = t;
  out->assign(reinterpret_cast<const char16_t*>(buf.data()), size / 2);
  if (!out->empty() && out->back() == u'\0') out->pop_back();
  return rc;
}

TEST(Registry, ReadsWhatTheToolkitsSettingsStoreWrites) {
  TempDir dir;
  setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1);
  // Values chosen to meet every escape of the toolkit's INI writer.
  const std::vector<std::pair<QString, QString>> strings = {
      {"language", "ja"},
      {"baseURL", "https://127.0.0.1:8443/"},
      {"userId", QString::fromUtf8("山田 太郎")},
      {"corpId", "a \"quoted\", value; with = signs"},
      {"spaces", "  leading and trailing  "},
      {"at", "@starts with at"},
      {"slashes", "back\\slash and /"},
      {"controls", QString("tab\there\nline\r") + QChar(1) + "1"},
      {"hexAfterEscape", QString::fromUtf8("é1fa")},
      {"empty", ""},
      {QString::fromUtf8("キー with %"), "odd key"},
  };
  {
    QSettings s("Kindrel", "Ambermoor");
    for (const auto& [k, v] : strings) s.setValue(k, v);
    s.setValue("port", 8000);
    s.setValue("flag", true);
    s.setValue("list", QStringList{"one", "two"});
    s.setValue("bytes", QByteArray("\x01\x02z", 3));
    s.setValue("group/inner", "not a top-level value");
    s.sync();
    ASSERT_EQ(s.status(), QSettings::NoError);
    ASSERT_EQ(s.fileName().toStdString(), win32::RegistryStorePath("Kindrel", "Ambermoor"));
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Kindrel\\Ambermoor", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (const auto& [k, v] : strings) {
    std::u16string got;
    DWORD type = 0;
    ASSERT_EQ(readString(key, toU16(k).c_str(), &got, &type), ERROR_SUCCESS) << k.toStdString();
    EXPECT_EQ(type, REG_SZ);
    EXPECT_TRUE(got == toU16(v)) << k.toStdString() << ": " << win32::ToUtf8(got);
  }
  std::u16string got;
  DWORD type = 0;
  EXPECT_EQ(readString(key, u"port", &got), ERROR_SUCCESS);
  EXPECT_TRUE(got == u"8000");
  EXPECT_EQ(readString(key, u"flag", &got), ERROR_SUCCESS);
  EXPECT_TRUE(got == u"true");
  EXPECT_EQ(readString(key, u"list", &got, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_TRUE(got == std::u16string(u"one\0two\0", 8));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"bytes", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(RegQueryValueExW(key, u"inner", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // A buffer one byte short: ERROR_MORE_DATA with the size needed, nothing cut.
  BYTE small[5];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"language", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // Only the application key itself exists; writes are not offered.
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Kindrel\\Other", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Kindrel\\..\\x", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Kindrel\\Ambermoor", 0, 0xF003F, &key), ERROR_ACCESS_DENIED);
  unsetenv("XDG_CONFIG_HOME");
}

TEST(DropFiles, CountLengthsAndCutCopies) {
  HDROP drop = win32::CreateDropFiles({u"E:\\Home\\a.txt", u"/tmp/ü", u""});
  ASSERT_NE(drop, nullptr);
  EXPECT_EQ(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0), 2u);  // an empty path ends the list
  EXPECT_EQ(DragQueryFileW(drop, 0, nullptr, 0), 13u);
  WCHAR buf[6];
  EXPECT_EQ(DragQueryFileW(drop, 0, buf, 6), 5u);
  EXPECT_TRUE(std::u16string(buf) == u"E:\\Ho");
  WCHAR whole[7];
  EXPECT_EQ(DragQueryFileW(drop, 1, whole, 7), 6u);
  EXPECT_TRUE(std::u16string(whole) == u"/tmp/ü");
  EXPECT_EQ(DragQueryFileW(drop, 2, buf, 6), 0u);
  EXPECT_EQ(DragQueryFileW(nullptr, 0xFFFFFFFF, nullptr, 0), 0u);
  DragFinish(drop);
}

TEST(Base64, CryptoApiLayoutWithLineBreaks) {
  auto encode = [](const std::string& s, DWORD flags = CRYPT_STRING_BASE64) {
    DWORD n = 0;
    EXPECT_TRUE(CryptBinaryToStringW(reinterpret_cast<const BYTE*>(s.data()), static_cast<DWORD>(s.size()), flags,
                                     nullptr, &n));
    std::u16string out(n, u'\0');
    EXPECT_TRUE(CryptBinaryToStringW(reinterpret_cast<const BYTE*>(s.data()), static_cast<DWORD>(s.size()), flags,
                                     out.data(), &n));
    EXPECT_EQ(n + 1, out.size());  // the length written, without the NUL
    out.resize(n);
    return win32::ToUtf8(out);
  };
  EXPECT_EQ(encode("/demo/a.txt"), "L2RlbW8vYS50eHQ=\r\n");
  EXPECT_EQ(encode("Ma"), "TWE=\r\n");
  EXPECT_EQ(encode(""), "");
  // 48 bytes fill one line of 64 characters exactly; one more starts a second.
  std::string one = encode(std::string(48, 'x'));
  EXPECT_EQ(one.size(), 64u + 2);
  EXPECT_EQ(one.substr(64), "\r\n");
  std::string two = encode(std::string(49, 'x'));
  EXPECT_EQ(two.size(), 64u + 2 + 4 + 2);
  EXPECT_EQ(two.substr(64, 2), "\r\n");
  EXPECT_EQ(encode("Ma", CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF), "TWE=");
  WCHAR tiny[4];
  DWORD n = 4;
  EXPECT_FALSE(CryptBinaryToStringW(reinterpret_cast<const BYTE*>("Ma"), 2, CRYPT_STRING_BASE64, tiny, &n));
  EXPECT_EQ(n, 7u);
}

TEST(WideCharToMultiByte, Utf8AndTheLocalesCodePage) {
  char out[32];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ごみ箱", -1, out, sizeof out, nullptr, nullptr), 10);
  EXPECT_STREQ(out, "ごみ箱");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ごみ箱", 3, nullptr, 0, nullptr, nullptr), 9);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ごみ箱", -1, out, 4, nullptr, nullptr), 0);  // too small: nothing
  const char16_t lone[] = {u'a', 0xD800, 0};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, sizeof out, nullptr, nullptr), 0);
  // The C locale holds ASCII only: others become the default character.
  std::setlocale(LC_ALL, "C");
  BOOL usedDefault = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"aé", -1, out, sizeof out, nullptr, &usedDefault), 3);
  EXPECT_STREQ(out, "a?");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"", -1, out, sizeof out, nullptr, nullptr), 1);
  EXPECT_EQ(out[0], '\0');
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(Files, UnicodeTextFilesTempNamesAndMoves) {
  TempDir dir;
  std::u16string base = win32::ToUtf16(dir.path) + u"\\";  // "\" separates here too
  std::string native = dir.path + "/page.html";

  FILE* f = _wfopen((base + u"page.html").c_str(), u"w,ccs=UTF-8");
  ASSERT_NE(f, nullptr);
  EXPECT_GE(fputws(u"ごみ箱 <b>", f), 0);
  fclose(f);
  EXPECT_EQ(slurp(native), "\xEF\xBB\xBFごみ箱 <b>");
  struct stat st;
  ASSERT_EQ(stat(native.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Appending to a file with text adds no second mark; "x" refuses an existing file.
  f = _wfopen((base + u"page.html").c_str(), u"a,ccs=UTF-8");
  ASSERT_NE(f, nullptr);
  fputws(u"!", f);
  fclose(f);
  EXPECT_EQ(slurp(native), "\xEF\xBB\xBFごみ箱 <b>!");
  EXPECT_EQ(_wfopen((base + u"page.html").c_str(), u"ax,ccs=UTF-8"), nullptr);
  EXPECT_EQ(_wfopen((base + u"page.html").c_str(), u"w,ccs=UTF-16LE"), nullptr);

  WCHAR name[MAX_PATH];
  UINT n = GetTempFileNameW(base.c_str(), u"ackXYZ", 0, name);
  ASSERT_NE(n, 0u);
  std::string made = win32::NativePath(name);
  EXPECT_EQ(made.rfind(dir.path + "/ack", 0), 0u) << made;
  EXPECT_EQ(made.substr(made.size() - 4), ".tmp");
  ASSERT_EQ(stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  WCHAR other[MAX_PATH];
  ASSERT_NE(GetTempFileNameW(base.c_str(), u"ack", 0, other), 0u);
  EXPECT_NE(std::u16string(name), std::u16string(other));

  // MoveFileW never replaces what is there.
  EXPECT_FALSE(MoveFileW(name, other));
  EXPECT_TRUE(std::filesystem::exists(made));
  EXPECT_TRUE(DeleteFileW(other));
  EXPECT_TRUE(MoveFileW(name, other));
  EXPECT_FALSE(std::filesystem::exists(made));

  setenv("TMPDIR", dir.path.c_str(), 1);
  WCHAR tmp[MAX_PATH];
  DWORD len = GetTempPathW(MAX_PATH, tmp);
  EXPECT_TRUE(std::u16string(tmp, len) == win32::ToUtf16(dir.path + "/"));
  EXPECT_GT(GetTempPathW(2, tmp), 2u);  // the size needed
}

TEST(Paths, DriveLettersNameTheirDirectories) {
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(win32::NativePath(u"E:\\Home\\a b.txt"), "/home/u/Ambermoor/E/Home/a b.txt");
  EXPECT_EQ(win32::NativePath(u"e:"), "/home/u/Ambermoor/E");
  EXPECT_EQ(win32::NativePath(u"/mnt/drive\\__system__\\__cmd__"), "/mnt/drive/__system__/__cmd__");
  EXPECT_EQ(win32::NativePath(u"relative"), "");
  EXPECT_TRUE(win32::WindowsPath("/home/u/Ambermoor/E/Home/a.txt") == u"E:\\Home\\a.txt");
  EXPECT_TRUE(win32::WindowsPath("/home/u/Ambermoor/E") == u"E:\\");
  EXPECT_TRUE(win32::WindowsPath("/home/u/Ambermoor/Elsewhere/a") == u"/home/u/Ambermoor/Elsewhere/a");
  EXPECT_TRUE(win32::WindowsPath("/tmp/x") == u"/tmp/x");
}

TEST(Menus, InsertByPositionAndCommandAndTheMessageBoxHandler) {
  HMENU m = CreatePopupMenu();
  EXPECT_TRUE(InsertMenuW(m, 0, MF_BYPOSITION | MF_STRING, 10, u"b"));
  EXPECT_TRUE(InsertMenuW(m, 0, MF_BYPOSITION | MF_STRING, 11, u"a"));
  EXPECT_TRUE(InsertMenuW(m, 99, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr));
  EXPECT_TRUE(InsertMenuW(m, 10, MF_BYCOMMAND | MF_STRING, 12, u"before b"));
  EXPECT_FALSE(InsertMenuW(m, 77, MF_BYCOMMAND | MF_STRING, 13, u"no such command"));
  ASSERT_EQ(GetMenuItemCount(m), 4);
  EXPECT_EQ(GetMenuItemID(m, 0), 11u);
  EXPECT_EQ(GetMenuItemID(m, 1), 12u);
  EXPECT_EQ(GetMenuItemID(m, 2), 10u);
  EXPECT_EQ(GetMenuState(m, 3, MF_BYPOSITION) & MF_SEPARATOR, MF_SEPARATOR);
  WCHAR label[4];
  EXPECT_EQ(GetMenuStringW(m, 1, label, 4, MF_BYPOSITION), 3);
  EXPECT_TRUE(std::u16string(label) == u"bef");
  EXPECT_TRUE(DestroyMenu(m));

  std::u16string seen;
  win32::SetMessageBoxHandler([&](const std::u16string& text, const std::u16string& caption, UINT type) {
    seen = caption + u"|" + text;
    return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
  });
  EXPECT_EQ(MessageBoxW(nullptr, u"Sure?", u"Caution", MB_YESNO), IDYES);
  EXPECT_TRUE(seen == u"Caution|Sure?");
  win32::SetMessageBoxHandler(nullptr);
  // Without a window there is nothing to post to.
  EXPECT_FALSE(PostMessageW(nullptr, WM_KEYDOWN, VK_F5, 1));
}

}  // namespace
