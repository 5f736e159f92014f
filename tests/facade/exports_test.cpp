// Exports that need no service: session values, version text, and the
// export list of the shared library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "core/library_state.h"
#include "tarvik.h"

namespace {

TEST(Exports, SessionInfoIsEmptyBeforeSignInAndBoundedAfter) {
  char js[TARVIK_JSESSIONID_SIZE + 8];
  char ar[TARVIK_ARRAYID_SIZE + 8];
  std::memset(js, 'x', sizeof js);
  std::memset(ar, 'x', sizeof ar);
  ASSERT_EQ(tarvik_getSessionInfo(js, ar), 0);
  EXPECT_STREQ(js, "");
  EXPECT_STREQ(ar, "");

  tarvik::state().jsessionid = std::string(500, 'J');
  tarvik::state().arrayid = std::string(80, 'A');
  std::memset(js, 'x', sizeof js);
  std::memset(ar, 'x', sizeof ar);
  ASSERT_EQ(tarvik_getSessionInfo(js, ar), 0);
  EXPECT_EQ(std::strlen(js), TARVIK_JSESSIONID_SIZE - 1u);
  EXPECT_EQ(std::strlen(ar), TARVIK_ARRAYID_SIZE - 1u);
  EXPECT_EQ(js[TARVIK_JSESSIONID_SIZE], 'x') << "nothing beyond the documented size is written";
  EXPECT_EQ(ar[TARVIK_ARRAYID_SIZE], 'x');
  tarvik::state().jsessionid = "abc";
  tarvik::state().arrayid = "def";
  ASSERT_EQ(tarvik_getSessionInfo(js, ar), 0);
  EXPECT_STREQ(js, "abc");
  EXPECT_STREQ(ar, "def");
  tarvik::state().jsessionid.clear();
  tarvik::state().arrayid.clear();
}

TEST(Exports, ProxySettingsAreCopiedAndEmptyHostDisables) {
  ASSERT_EQ(tarvik_setProxy("proxy.example", 3128, 5, "u", "p"), 0);
  EXPECT_EQ(tarvik::state().proxyHost, "proxy.example");
  EXPECT_EQ(tarvik::state().proxyPort, 3128);
  EXPECT_EQ(tarvik::state().proxyType, 5);
  EXPECT_EQ(tarvik::state().proxyUser, "u");
  EXPECT_EQ(tarvik::state().proxyPassword, "p");
  ASSERT_EQ(tarvik_setProxy("", 0, 0, nullptr, nullptr), 0);
  EXPECT_TRUE(tarvik::state().proxyHost.empty());
  EXPECT_TRUE(tarvik::state().proxyUser.empty());
}

TEST(Exports, VersionTextFromFileOnceThenKept) {
  char tmpl[] = "/tmp/tarvik-ver-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  EXPECT_STREQ(tarvik_getVersionString(), "UNKNOWN") << "no VERSION file";
  std::ofstream("VERSION") << "3.1.4\n";
  const char* v = tarvik_getVersionString();
  EXPECT_STREQ(v, "3.1.4");
  std::ofstream("VERSION") << "9.9.9";
  EXPECT_EQ(tarvik_getVersionString(), v) << "the same buffer every time";
  EXPECT_STREQ(tarvik_getVersionString(), "3.1.4") << "read only once";
  unlink("VERSION");
  ASSERT_EQ(chdir(cwd), 0);
  rmdir(dir.c_str());
}

TEST(Exports, SharedLibraryExportsExactlyTheSeventeenFunctions) {
  const char* lib = TARVIK_SHARED_LIBRARY;
  const std::string cmd = std::string("nm -D --defined-only ") + lib + " | awk '{print $3}' | grep -v '^$' | sort";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  pclose(p);
  const std::string expected =
      "tarvik_clearCache\ntarvik_decryptBytes\ntarvik_encryptBytes\ntarvik_getAnnouncement\n"
      "tarvik_getCacheUsage\ntarvik_getPKIInfo\ntarvik_getPendingUploads\ntarvik_getSessionInfo\ntarvik_getVersionString\n"
      "tarvik_init\ntarvik_markReadCurrentAnnouncement\ntarvik_mount\ntarvik_mountForSession\n"
      "tarvik_setCertificate\ntarvik_setProxy\ntarvik_setRandomBytes\ntarvik_unmount\n";
  EXPECT_EQ(out, expected);

  void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  EXPECT_NE(dlsym(h, "tarvik_getVersionString"), nullptr);
  EXPECT_EQ(dlsym(h, "_ZN6tarvik5stateEv"), nullptr) << "internal symbols stay hidden";
  dlclose(h);
}

}  // namespace
