// Root layout, path kinds, the error mapping, entry conversion and the
// command file's parsing: the pure parts of the namespace.
#include <gtest/gtest.h>

#include <string>

#include "cloud/root_layout.h"
#include "cloud/system_commands.h"
#include "webapi/json.h"
#include "webapi/service_status.h"

namespace tarvik {
namespace {

struct KindCase {
  const char* drivePath;
  PathKind kind;
  const char* servicePath;
};

TEST(RootLayoutTest, EnglishKindsAndServicePaths) {
  buildRootLayout("u1", "en");
  const KindCase cases[] = {
      {"/", KIND_DRIVE_ROOT, ""},
      {"/Home", 0, "/u1"},
      {"/Home/a", 1, "/u1/a"},
      {"/Home/a/b", 2, "/u1/a/b"},
      {"/Shared folders", 3, ""},
      {"/Shared folders/x", 4, "/x"},
      {"/Shared folders/x/y", 5, "/x/y"},
      {"/Trash", 6, "/!u1"},
      {"/Trash/a.txt", 7, "/!u1/a.txt"},
      {"/Trash/a/b", 8, "/!u1/a/b"},
      {"/__system__", 9, "/__system__"},
      {"/__system__/__cmd__", 10, "/__system__/__cmd__"},
      {"/__system__/x/y", 11, "/__system__/x/y"},
  };
  for (const KindCase& c : cases) {
    std::string service = "unchanged";
    EXPECT_EQ(pathKind(c.drivePath, &service), c.kind) << c.drivePath;
    EXPECT_EQ(service, c.servicePath) << c.drivePath;
  }
}

TEST(RootLayoutTest, NamesThatOnlyBeginWithAnAreaNameAreOutside) {
  buildRootLayout("u1", "en");
  for (const char* p : {"/Homework", "/Home2/a", "/Trashcan", "/Shared folders2", "/__system__x",
                        "/other", "", "Home", "/home"}) {
    std::string service = "unchanged";
    EXPECT_EQ(pathKind(p, &service), KIND_NONE) << p;
    EXPECT_EQ(service, "unchanged") << p;
  }
  EXPECT_EQ(pathKind("/Home", nullptr), 0);  // the out parameter is optional
}

TEST(RootLayoutTest, JapaneseNamesOnlyForExactlyJa) {
  const RootLayout& ja = buildRootLayout("u2", "ja");
  EXPECT_EQ(ja.areas[AREA_HOME].localName, "/ホーム");
  EXPECT_EQ(ja.areas[AREA_SHARED].localName, "/共有されているフォルダ");
  EXPECT_EQ(ja.areas[AREA_TRASH].localName, "/ごみ箱");
  EXPECT_EQ(ja.areas[AREA_SYSTEM].localName, "/__system__");
  std::string service;
  EXPECT_EQ(pathKind("/ごみ箱/a", &service), 7);
  EXPECT_EQ(service, "/!u2/a");
  EXPECT_EQ(pathKind("/Home/a", &service), KIND_NONE);

  for (const char* lang : {"en", "JA", "ja_JP", ""}) {
    const RootLayout& l = buildRootLayout("u2", lang);
    EXPECT_EQ(l.areas[AREA_HOME].localName, "/Home") << lang;
    EXPECT_EQ(l.areas[AREA_SHARED].localName, "/Shared folders") << lang;
    EXPECT_EQ(l.areas[AREA_TRASH].localName, "/Trash") << lang;
  }
}

TEST(RootLayoutTest, FourTestsOverAllKinds) {
  for (PathKind k : {0, 3, 6, 9, 99}) EXPECT_TRUE(isAreaRoot(k)) << k;
  for (PathKind k : {-1, 1, 2, 4, 5, 7, 8, 10, 11}) EXPECT_FALSE(isAreaRoot(k)) << k;
  for (PathKind k : {0, 3, 4, 6, 7, 8, 9, 99}) EXPECT_TRUE(isProtected(k)) << k;
  for (PathKind k : {-1, 1, 2, 5, 10, 11}) EXPECT_FALSE(isProtected(k)) << k;
  for (PathKind k : {6, 7, 8}) EXPECT_TRUE(isInTrash(k)) << k;
  for (PathKind k : {-1, 0, 5, 9, 99}) EXPECT_FALSE(isInTrash(k)) << k;
  for (PathKind k : {9, 10, 11}) EXPECT_TRUE(isSystem(k)) << k;
  for (PathKind k : {-1, 8, 12, 99}) EXPECT_FALSE(isSystem(k)) << k;
}

TEST(RootLayoutTest, RootRecordCarriesInitTime) {
  setRootRecordTime(1234567);
  StatRecord r = rootRecord();
  EXPECT_EQ(r.type, ENTRY_DIRECTORY);
  EXPECT_EQ(r.size, 0);
  EXPECT_EQ(r.atime, -1);
  EXPECT_EQ(r.mtime, 1234567);
  EXPECT_EQ(r.ctime, 0);
}

TEST(MapServiceErrorTest, KnownCodes) {
  EXPECT_EQ(mapServiceError(150), -13);
  EXPECT_EQ(mapServiceError(175), -13);
  EXPECT_EQ(mapServiceError(199), -13);
  EXPECT_EQ(mapServiceError(8), -22);
  EXPECT_EQ(mapServiceError(50), -2);
  EXPECT_EQ(mapServiceError(51), -17);
  EXPECT_EQ(mapServiceError(66), -20050412);
  EXPECT_EQ(mapServiceError(77), -28);
}

TEST(MapServiceErrorTest, UnknownCodesFailWithOneStatus) {
  for (int code : {0, 1, 149, 200, 999, 1001, 5000, -5}) {
    int status = mapServiceError(code);
    EXPECT_LT(status, 0) << code;
    EXPECT_EQ(status, UNMAPPED_SERVICE_STATUS) << code;
  }
  EXPECT_EQ(UNMAPPED_SERVICE_STATUS, -720031);
}

TEST(EntryToStatRecordTest, FolderFileAndTimes) {
  JsonPtr folder = json::parse(R"({"kind":3,"size":0,"mtime":1500,"ctime":1000})");
  StatRecord f = entryToStatRecord(folder, true);
  EXPECT_EQ(f.type, ENTRY_DIRECTORY);
  EXPECT_EQ(f.mtime, 1500000);
  EXPECT_EQ(f.ctime, 1000000);
  EXPECT_EQ(f.atime, -1);

  JsonPtr file = json::parse(R"({"kind":1,"size":12345678901.9,"mtime":1700000000123,"ctime":5})");
  StatRecord r = entryToStatRecord(file, false);
  EXPECT_EQ(r.type, ENTRY_FILE);
  EXPECT_EQ(r.size, 12345678901);  // fraction dropped, beyond 32 bits
  EXPECT_EQ(r.mtime, 1700000000123000);
  EXPECT_EQ(r.ctime, -1);  // listing entries carry no ctime

  for (const char* kind : {"0", "2", "4", "\"3\"", "null"}) {
    JsonPtr e = json::parse(std::string("{\"kind\":") + kind + "}");
    EXPECT_EQ(entryToStatRecord(e, true).type, ENTRY_FILE) << kind;
  }
}

TEST(EntryToStatRecordTest, MissingOrAbsurdFieldsGiveZeroNotGarbage) {
  JsonPtr e = json::parse(R"({"size":"12","mtime":1e300})");
  StatRecord r = entryToStatRecord(e, true);
  EXPECT_EQ(r.type, ENTRY_FILE);
  EXPECT_EQ(r.size, 0);
  EXPECT_EQ(r.mtime, 0);
  EXPECT_EQ(r.ctime, 0);
}

TEST(SystemCommandTest, CommandNameIsTheFirstTabFieldBeforeNul) {
  auto name = [](const std::string& s) { return systemCommandName(s.data(), s.size()); };
  EXPECT_EQ(name("emptyTrash"), "emptyTrash");
  EXPECT_EQ(name("emptyTrash\tanything more"), "emptyTrash");
  EXPECT_EQ(name(std::string("emptyTrash\0junk", 15)), "emptyTrash");
  EXPECT_EQ(name("emptyTrash\n"), "emptyTrash\n");
  EXPECT_EQ(name("\xEF\xBB\xBF"), "\xEF\xBB\xBF");
  EXPECT_EQ(name(" emptyTrash"), " emptyTrash");
  EXPECT_EQ(name(""), "");
  EXPECT_EQ(systemCommandName(nullptr, 4), "");
}

}  // namespace
}  // namespace tarvik
