// The name operations against a scripted service: what each slot refuses
// locally, what it sends, and how it turns answers and service errors into
// statuses and metadata-cache changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cache/file_context.h"
#include "cache/meta_cache.h"
#include "cache/open_contents.h"
#include "cache/stat_cache.h"
#include "core/clock.h"
#include "core/library_state.h"
#include "fake_service.h"
#include "cloud/namespace_ops.h"
#include "cloud/root_layout.h"
#include "cloud/system_commands.h"
#include "webapi/error_table.h"
#include "webapi/service_status.h"

namespace tarvik {
namespace {

using tarvik_test::FakeService;

std::mutex g_reportsMutex;
std::vector<int> g_reports;

void captureStatus(int32_t code, const char*) {
  std::lock_guard<std::mutex> lock(g_reportsMutex);
  g_reports.push_back(code);
}

std::vector<int> reports() {
  std::lock_guard<std::mutex> lock(g_reportsMutex);
  return g_reports;
}

struct Listed {
  std::string name;
  StatRecord record;
};
std::vector<Listed> g_listed;
int collect(const char* name, const StatRecord* st, int, int, DecasHandle*) {
  g_listed.push_back({name, *st});
  return 0;
}

std::vector<std::string> listedNames() {
  std::vector<std::string> out;
  for (const auto& l : g_listed) out.push_back(l.name);
  return out;
}

class NamespaceOpsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { service_ = new FakeService(); }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override {
    service_->reset();
    LibraryState& st = state();
    st.apiBase = service_->apiBase();
    st.language = "en";
    st.statusCallback = captureStatus;
    st.noLocking = false;
    std::atomic_store(&st.errorTable, ErrorMessageTable::withBuiltins());
    {
      std::lock_guard<std::mutex> lock(g_reportsMutex);
      g_reports.clear();
    }
    g_listed.clear();
    buildRootLayout("u1", "en");
    setRootRecordTime(1000000);
    ASSERT_EQ(metaCacheInit(), 0);
    statCacheClear();
    clearOpenContents();
  }
  void TearDown() override { setStatCacheClockForTesting(nullptr); }
  FakeService& svc() { return *service_; }

  static FakeService* service_;
};
FakeService* NamespaceOpsTest::service_ = nullptr;

// access ------------------------------------------------------------------

TEST_F(NamespaceOpsTest, AccessDecidesProtectedPathsLocally) {
  EXPECT_EQ(cloud_access("/nowhere", 0), -2);
  EXPECT_EQ(cloud_access("/__system__/__cmd__", 0), -2);
  EXPECT_EQ(cloud_access("/Trash/a", ACCESS_DELETE), 0);
  EXPECT_EQ(cloud_access("/Trash/a", ACCESS_DELETE_DIRECTORY), 0);
  EXPECT_EQ(cloud_access("/Trash/a", ACCESS_CREATE), -13);
  EXPECT_EQ(cloud_access("/Shared folders/x", ACCESS_DELETE), -13);
  EXPECT_EQ(cloud_access("/Home", ACCESS_CREATE), -13);
  EXPECT_EQ(cloud_access("/Home", 0x1), 0);  // only 0xF6 bits count as changes
  EXPECT_EQ(cloud_access("/", 0x8), 0);
  EXPECT_TRUE(svc().calls().empty());
}

TEST_F(NamespaceOpsTest, AccessAsksTheServiceElsewhere) {
  svc().answerOnce("checkPermission", R"({"result":true})");
  EXPECT_EQ(cloud_access("/Home/a", ACCESS_DELETE), 0);
  auto call = svc().last("checkPermission");
  EXPECT_EQ(call.params["path"], "/u1/a");
  EXPECT_EQ(call.params["op"], "4");
  svc().answerOnce("checkPermission", R"({"result":false})");
  EXPECT_EQ(cloud_access("/Shared folders/x/y", ACCESS_CREATE), -13);
  EXPECT_EQ(svc().last("checkPermission").params["path"], "/x/y");
  svc().failOnce("checkPermission", 50);
  EXPECT_EQ(cloud_access("/Home/a", ACCESS_CREATE), -2);
}

// stat --------------------------------------------------------------------

TEST_F(NamespaceOpsTest, StatOfRootsAndSystemFolder) {
  for (const char* p : {"/", "/Home", "/Shared folders", "/Trash"}) {
    StatRecord r{};
    EXPECT_EQ(cloud_stat(p, &r), 0) << p;
    EXPECT_EQ(r.type, ENTRY_DIRECTORY);
    EXPECT_EQ(r.mtime, 1000000);
    EXPECT_EQ(r.ctime, 0);
  }
  StatRecord sys{};
  EXPECT_EQ(cloud_stat("/__system__", &sys), -2);
  EXPECT_EQ(sys.type, ENTRY_SYSTEM);
  StatRecord cmd{};
  EXPECT_EQ(cloud_stat("/__system__/__cmd__", &cmd), -2);
  EXPECT_EQ(cmd.type, ENTRY_NONE);
  EXPECT_EQ(cloud_stat("/Homework", &cmd), -2);
  EXPECT_TRUE(svc().calls().empty());
}

int64_t g_statClock = 0;
int64_t statClock() { return g_statClock; }

// Details of a path that is not open are fetched once per stat cache time
// (the kernel's attribute timeout): a repeated stat within it costs nothing.
TEST_F(NamespaceOpsTest, StatFetchesDetailsForPathsNotOpenOncePerCacheTime) {
  g_statClock = 1;
  setStatCacheClockForTesting(&statClock);
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":42,"mtime":2000,"ctime":1000}})");
  StatRecord r{};
  EXPECT_EQ(cloud_stat("/Home/a.txt", &r), 0);
  EXPECT_EQ(cloud_stat("/Home/a.txt", &r), 0);
  EXPECT_EQ(svc().calls().size(), 1u);
  g_statClock += kStatCacheMicroseconds;
  EXPECT_EQ(cloud_stat("/Home/a.txt", &r), 0);
  EXPECT_EQ(svc().calls().size(), 2u);
  EXPECT_EQ(svc().last("getResourceDetail").params["path"], "/u1/a.txt");
  EXPECT_EQ(svc().last("getResourceDetail").params["lite"], "true");
  EXPECT_EQ(r.type, ENTRY_FILE);
  EXPECT_EQ(r.size, 42);
  EXPECT_EQ(r.mtime, 2000000);
  EXPECT_EQ(r.ctime, 1000000);
  EXPECT_TRUE(meta_cache_testing::hasHolder("/u1"));  // stat leaves an empty holder
  EXPECT_EQ(meta_cache_testing::entryCount("/u1"), 0u);
}

TEST_F(NamespaceOpsTest, StatPrefersTheOpenFileAndRaisesFolderMtime) {
  svc().failOnce("getResourceDetail", 50);
  svc().answer("pretestUploadFile", R"({"result":"upload-token"})");
  DecasHandle creator;
  creator.openFlags = OPEN_WRITE | OPEN_CREATE;
  ASSERT_EQ(cloud_open("/Home/d/f", &creator), 0);
  StatRecord open{ENTRY_FILE, 777, -1, 9000000, 1};
  MetaCachePtr held = obtainMetaCache("/u1/d/f", nullptr);
  ASSERT_TRUE(held);
  held->setRecord(open);  // a write in progress
  const size_t calls = svc().calls().size();
  StatRecord r{};
  EXPECT_EQ(cloud_stat("/Home/d/f", &r), 0);
  EXPECT_EQ(r.size, 777);
  EXPECT_EQ(svc().calls().size(), calls);

  svc().answer("getResourceDetail", R"({"result":{"kind":3,"size":0,"mtime":5000,"ctime":1}})");
  EXPECT_EQ(cloud_stat("/Home/d", &r), 0);
  EXPECT_EQ(r.type, ENTRY_DIRECTORY);
  EXPECT_EQ(r.mtime, 9000000);  // the open child is newer than the folder
  cloud_close("/Home/d/f", &creator);
}

// A closed file's context lingers for a while; what it knew must not hide a
// change made on the service since.
TEST_F(NamespaceOpsTest, StatOfAClosedFileAsksTheServiceThoughItsContextLingers) {
  StatRecord old{ENTRY_FILE, 5, -1, 1000000, 1};
  MetaCachePtr lingering = obtainMetaCache("/u1/g", &old);
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":9,"mtime":3000,"ctime":1}})");
  StatRecord r{};
  EXPECT_EQ(cloud_stat("/Home/g", &r), 0);
  EXPECT_EQ(r.size, 9);
  EXPECT_EQ(svc().calls().size(), 1u);
}

TEST_F(NamespaceOpsTest, StatFailuresAreMappedNeverSuccess) {
  svc().failOnce("getResourceDetail", 50);
  StatRecord r{};
  EXPECT_EQ(cloud_stat("/Home/missing", &r), -2);
  svc().failOnce("getResourceDetail", 4242);
  EXPECT_EQ(cloud_stat("/Home/odd", &r), UNMAPPED_SERVICE_STATUS);
  svc().answerOnce("getResourceDetail", R"({"result":null})");
  EXPECT_EQ(cloud_stat("/Home/empty-answer", &r), UNMAPPED_SERVICE_STATUS);
}

// A lookup that finds nothing is how a new name is probed (cp, touch, an
// editor's save): it must not raise a message, while any other failure
// still reaches the user.
TEST_F(NamespaceOpsTest, MissingNameRaisesNoMessageOtherFailuresDo) {
  auto table = ErrorMessageTable::withBuiltins();
  table->insert(json::parse(R"j({"code":50, "ja":"x", "en":"The file or folder does not exist.({0})"})j"));
  table->insert(json::parse(R"j({"code":155, "ja":"y", "en":"No access.({0})"})j"));
  std::atomic_store(&state().errorTable, table);

  svc().fail("getResourceDetail", 50);
  StatRecord r{};
  EXPECT_EQ(cloud_stat("/Home/new.txt", &r), -2);
  DecasHandle reader;
  reader.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Home/new.txt", &reader), -2);
  DecasHandle creator;
  creator.openFlags = OPEN_WRITE | OPEN_CREATE;
  svc().answer("pretestUploadFile", R"({"result":"upload-token-2"})");
  EXPECT_EQ(cloud_open("/Home/new.txt", &creator), 0);
  EXPECT_TRUE(reports().empty()) << "a missing name is an answer, not an error";
  cloud_close("/Home/new.txt", &creator);

  svc().fail("getResourceDetail", 155);
  EXPECT_EQ(cloud_stat("/Home/secret", &r), -13);
  EXPECT_EQ(reports(), std::vector<int>{155});
}

// mkdir -------------------------------------------------------------------

TEST_F(NamespaceOpsTest, MkdirRefusesLayoutAndMapsServiceErrors) {
  EXPECT_EQ(cloud_mkdir("/Homework"), -13);
  EXPECT_EQ(cloud_mkdir("/Home"), -17);
  EXPECT_EQ(cloud_mkdir("/"), -17);
  EXPECT_EQ(cloud_mkdir("/Shared folders/x"), -13);
  EXPECT_EQ(cloud_mkdir("/Trash/x"), -13);
  EXPECT_EQ(cloud_mkdir("/__system__/x"), -13);
  EXPECT_TRUE(svc().calls().empty());
  EXPECT_EQ(cloud_mkdir("/Home/new"), 0);
  EXPECT_EQ(svc().last("makeDirectory").params["path"], "/u1/new");
  svc().failOnce("makeDirectory", 51);
  EXPECT_EQ(cloud_mkdir("/Shared folders/x/new"), -17);
  EXPECT_EQ(svc().last("makeDirectory").params["path"], "/x/new");
}

// remove / rmdir ----------------------------------------------------------

TEST_F(NamespaceOpsTest, RemoveChoosesTrashOrPermanent) {
  EXPECT_EQ(cloud_remove("/Home/a", true), 0);
  EXPECT_EQ(svc().last("moveToTrash").params["path"], "/u1/a");
  EXPECT_EQ(cloud_remove("/Home/b", false), 0);
  EXPECT_EQ(svc().last("removeResource").params["path"], "/u1/b");
  // Inside the trash every delete is permanent, whatever to_trash says.
  EXPECT_EQ(cloud_rmdir("/Trash/old", true), 0);
  EXPECT_EQ(svc().last("removeResource").params["path"], "/!u1/old");
  EXPECT_EQ((svc().methods()), (std::vector<std::string>{"moveToTrash", "removeResource",
                                                         "removeResource"}));
}

TEST_F(NamespaceOpsTest, RemoveRefusesProtectedAndAreaFolders) {
  EXPECT_EQ(cloud_remove("/nowhere/a", false), -2);
  EXPECT_EQ(cloud_remove("/Shared folders/x", false), -13);
  EXPECT_EQ(cloud_rmdir("/Home", true), -13);
  EXPECT_EQ(cloud_rmdir("/Trash", false), -13);  // the trash folder itself is never deleted
  EXPECT_EQ(cloud_remove("/__system__/__cmd__", false), -13);
  EXPECT_TRUE(svc().calls().empty());
}

TEST_F(NamespaceOpsTest, RemoveDropsTheCacheEntryOnlyOnSuccess) {
  StatRecord r{ENTRY_FILE, 1, -1, 1, 1};
  MetaCachePtr held = obtainMetaCache("/u1/a", &r);
  svc().failOnce("moveToTrash", 66);
  EXPECT_EQ(cloud_remove("/Home/a", true), -20050412);
  EXPECT_EQ(obtainMetaCache("/u1/a", nullptr), held);
  EXPECT_EQ(cloud_remove("/Home/a", true), 0);
  EXPECT_EQ(obtainMetaCache("/u1/a", nullptr), nullptr);
}

// rename ------------------------------------------------------------------

TEST_F(NamespaceOpsTest, RenameOutOfTrashAllowedIntoTrashRefused) {
  EXPECT_EQ(cloud_rename("/Trash/a", "/Home/a", false), 0);
  auto call = svc().last("moveResource");
  EXPECT_EQ(call.params["srcPath"], "/!u1/a");
  EXPECT_EQ(call.params["dstPath"], "/u1/a");
  EXPECT_EQ(call.params["overwrite"], "false");
  svc().reset();
  EXPECT_EQ(cloud_rename("/Home/a", "/Trash/a", false), -13);
  EXPECT_EQ(cloud_rename("/Trash/a", "/Trash/b", false), -13);
  EXPECT_EQ(cloud_rename("/Shared folders/x", "/Home/x", false), -13);
  EXPECT_EQ(cloud_rename("/Home/a", "/Shared folders/a", false), -13);
  EXPECT_EQ(cloud_rename("/__system__/__cmd__", "/Home/c", false), -13);
  // Area folders never move, and nothing replaces one.
  EXPECT_EQ(cloud_rename("/Home", "/Home/x", false), -13);
  EXPECT_EQ(cloud_rename("/Trash", "/Home/t", false), -13);
  EXPECT_EQ(cloud_rename("/Trash/a", "/Home", true), -13);
  EXPECT_EQ(cloud_rename("/Trash/a", "/Shared folders/a", true), -13);
  EXPECT_EQ(cloud_rename("/Homework/a", "/Home/a", false), -2);
  EXPECT_EQ(cloud_rename("/Home/a", "/elsewhere", false), -2);
  EXPECT_TRUE(svc().calls().empty());
}

// A dot name is refused only when the service refuses it.
TEST_F(NamespaceOpsTest, RenameToDotNameIsTheServicesToRefuse) {
  EXPECT_EQ(cloud_rename("/Home/a", "/Home/.a", false), 0);
  EXPECT_EQ(svc().last("moveResource").params["dstPath"], "/u1/.a");
  svc().failOnce("moveResource", 8);
  EXPECT_EQ(cloud_rename("/Home/a", "/Home/d/.hidden", true), -22);
  EXPECT_EQ(svc().last("moveResource").params["dstPath"], "/u1/d/.hidden");
  EXPECT_EQ(svc().last("moveResource").params["overwrite"], "true");
}

TEST_F(NamespaceOpsTest, RenameMovesTheSourceOutOfTheCache) {
  StatRecord r{ENTRY_FILE, 1, -1, 1, 1};
  MetaCachePtr held = obtainMetaCache("/u1/a", &r);
  svc().failOnce("moveResource", 51);
  EXPECT_EQ(cloud_rename("/Home/a", "/Home/b", false), -17);
  EXPECT_EQ(obtainMetaCache("/u1/a", nullptr), held);
  EXPECT_EQ(cloud_rename("/Home/a", "/Home/b", false), 0);
  EXPECT_EQ(obtainMetaCache("/u1/a", nullptr), nullptr);
}

// system commands through rename and write ---------------------------------

TEST_F(NamespaceOpsTest, RenameOntoOtherSystemNamesDoesNothing) {
  EXPECT_EQ(cloud_rename("/Home/a", "/__system__/whatever", false), 0);
  EXPECT_EQ(cloud_rename("/Home/a", "/__system__/__restore__x", false), 0);
  EXPECT_EQ(cloud_rename("/Home/a", "/__system__", false), 0);
  EXPECT_TRUE(svc().calls().empty());
}

TEST_F(NamespaceOpsTest, RemoveTargetDeletesPermanentlyFromAnyArea) {
  StatRecord r{ENTRY_FILE, 1, -1, 1, 1};
  MetaCachePtr held = obtainMetaCache("/u1/doc", &r);
  EXPECT_EQ(cloud_rename("/Home/doc", "/__system__/__remove__", false), 0);
  EXPECT_EQ((svc().methods()), (std::vector<std::string>{"removeResource"}));
  EXPECT_EQ(svc().last("removeResource").params["path"], "/u1/doc");
  EXPECT_EQ(obtainMetaCache("/u1/doc", nullptr), nullptr);
  svc().failOnce("removeResource", 155);
  EXPECT_EQ(cloud_rename("/Trash/x", "/__system__/__remove__", false), -13);
}

TEST_F(NamespaceOpsTest, RestoreMovesBackToOriginalPath) {
  svc().answer("getResourceDetail",
               R"({"result":{"kind":1,"size":3,"mtime":1,"originalPath":"/u1/docs/a.txt"}})");
  StatRecord r{ENTRY_FILE, 1, -1, 1, 1};
  MetaCachePtr held = obtainMetaCache("/!u1/a.txt", &r);
  EXPECT_EQ(cloud_rename("/Trash/a.txt", "/__system__/__restore__", false), 0);
  EXPECT_EQ((svc().methods()), (std::vector<std::string>{"getResourceDetail", "moveResource"}));
  auto move = svc().last("moveResource");
  EXPECT_EQ(move.params["srcPath"], "/!u1/a.txt");
  EXPECT_EQ(move.params["dstPath"], "/u1/docs/a.txt");
  EXPECT_EQ(move.params["overwrite"], "false");
  EXPECT_EQ(obtainMetaCache("/!u1/a.txt", nullptr), nullptr);
  EXPECT_TRUE(reports().empty());
}

TEST_F(NamespaceOpsTest, RestoreFailuresReachTheUser) {
  svc().answerOnce("getResourceDetail", R"({"result":{"kind":1,"size":3,"mtime":1}})");
  EXPECT_EQ(cloud_rename("/Trash/a", "/__system__/__restore__", false), -13);
  svc().answerOnce("getResourceDetail", R"({"result":{"kind":1,"originalPath":null}})");
  EXPECT_EQ(cloud_rename("/Trash/a", "/__system__/__restore__", false), -13);
  svc().answerOnce("getResourceDetail", R"({"result":{"kind":1,"originalPath":"/u1/a"}})");
  svc().failOnce("moveResource", 51);
  EXPECT_EQ(cloud_rename("/Trash/a", "/__system__/__restore__", false), -13);
  // A failed detail lookup was already reported by the request layer; the
  // move then ends without a second failure.
  svc().failOnce("getResourceDetail", 50);
  EXPECT_EQ(cloud_rename("/Trash/a", "/__system__/__restore__", false), 0);
  // Codes 51 and 50 have no message in the built-in table, so only the two
  // local errors reach the callback.
  EXPECT_EQ(reports(), (std::vector<int>{1005, 1005, 1004}));
}

TEST_F(NamespaceOpsTest, AreaFoldersNeverReachTheServiceAsCommandSources) {
  for (const char* from : {"/", "/Home", "/Trash", "/Shared folders", "/__system__",
                           "/__system__/__cmd__"}) {
    EXPECT_EQ(cloud_rename(from, "/__system__/__restore__", false), -13) << from;
    EXPECT_EQ(cloud_rename(from, "/__system__/__remove__", false), -13) << from;
  }
  EXPECT_TRUE(svc().calls().empty());
}

TEST_F(NamespaceOpsTest, CommandWritesEmptyTheTrashOnlyForTheExactCommand) {
  auto write = [](const std::string& s) { return systemCommandWrite(s.data(), s.size()); };
  EXPECT_EQ(write("\xEF\xBB\xBF"), 3);
  EXPECT_EQ(write("emptyTrash\n"), 11);
  EXPECT_EQ(write("emptytrash"), 10);
  EXPECT_EQ(write("other\temptyTrash"), 16);
  EXPECT_TRUE(svc().calls().empty());
  EXPECT_EQ(write("emptyTrash"), 10);
  EXPECT_EQ(write("emptyTrash\tmore text"), 20);
  EXPECT_EQ((svc().methods()), (std::vector<std::string>{"emptyTrash", "emptyTrash"}));
  svc().failOnce("emptyTrash", 150);
  EXPECT_EQ(write("emptyTrash"), 10);  // the write still reports all bytes
}

// statfs, copy ----------------------------------------------------------------

TEST_F(NamespaceOpsTest, StatfsReportsZeroFreeWhenOverQuota) {
  int64_t cap = -1, free = -1;
  svc().answerOnce("getLoginUserInfo", R"({"result":{"contractCapacity":100,"usage":120}})");
  EXPECT_EQ(cloud_statfs(&cap, &free), 0);
  EXPECT_EQ(cap, 100);
  EXPECT_EQ(free, 0);
  svc().answerOnce("getLoginUserInfo",
                   R"({"result":{"contractCapacity":10995116277760,"usage":1099511627776}})");
  EXPECT_EQ(cloud_statfs(&cap, &free), 0);
  EXPECT_EQ(cap, 10995116277760);
  EXPECT_EQ(free, 9895604649984);
}

TEST_F(NamespaceOpsTest, StatfsFailureReportsNoMadeUpSizes) {
  int64_t cap = -7, free = -7;
  svc().failOnce("getLoginUserInfo", 8);
  EXPECT_EQ(cloud_statfs(&cap, &free), -22);
  svc().failOnce("getLoginUserInfo", 1001);
  EXPECT_EQ(cloud_statfs(&cap, &free), UNMAPPED_SERVICE_STATUS);
  svc().answerOnce("getLoginUserInfo", R"({"result":{"usage":5}})");
  EXPECT_EQ(cloud_statfs(&cap, &free), UNMAPPED_SERVICE_STATUS);
  EXPECT_EQ(cap, -7);
  EXPECT_EQ(free, -7);
}

TEST_F(NamespaceOpsTest, CopyMapsPathsAndRefusesSystem) {
  EXPECT_EQ(cloud_copy("/Home/a", "/__system__/x"), -13);
  EXPECT_EQ(cloud_copy("/__system__/__cmd__", "/Home/x"), -13);
  EXPECT_EQ(cloud_copy("/Homework", "/Home/x"), -2);
  EXPECT_TRUE(svc().calls().empty());
  EXPECT_EQ(cloud_copy("/Home/a", "/Shared folders/p/a"), 0);
  EXPECT_EQ(svc().last("copyResource").params["srcPath"], "/u1/a");
  EXPECT_EQ(svc().last("copyResource").params["dstPath"], "/p/a");
  svc().failOnce("copyResource", 77);
  EXPECT_EQ(cloud_copy("/Home/a", "/Home/b"), -28);
}

// opendir, readdir, closedir ------------------------------------------------------

TEST_F(NamespaceOpsTest, DriveRootListsThreeAreasWithoutSystem) {
  DecasHandle h;
  EXPECT_EQ(cloud_readdir("/", collect, 0, 0, &h), 0);
  EXPECT_EQ(listedNames(), (std::vector<std::string>{"Home", "Shared folders", "Trash"}));
  g_listed.clear();
  buildRootLayout("u1", "ja");
  EXPECT_EQ(cloud_readdir("/", collect, 0, 0, &h), 0);
  EXPECT_EQ(listedNames(), (std::vector<std::string>{"ホーム", "共有されているフォルダ", "ごみ箱"}));
  EXPECT_TRUE(svc().calls().empty());
  EXPECT_EQ(cloud_readdir("/__system__", collect, 0, 0, &h), -2);
}

TEST_F(NamespaceOpsTest, DriveRootShowsNewestOpenChildOfHome) {
  StatRecord r{ENTRY_FILE, 1, -1, 5000000, 1};
  MetaCachePtr held = obtainMetaCache("/u1/f", &r);
  DecasHandle h;
  EXPECT_EQ(cloud_readdir("/", collect, 0, 0, &h), 0);
  ASSERT_EQ(g_listed.size(), 3u);
  EXPECT_EQ(g_listed[0].record.mtime, 5000000);
  EXPECT_EQ(g_listed[1].record.mtime, 1000000);
}

TEST_F(NamespaceOpsTest, ListingMergesOpenFilesAfterServiceEntries) {
  svc().answer("getEntries", R"({"result":[
      {"name":"zeta","kind":1,"size":1,"mtime":10},
      {"name":"sub","kind":3,"size":0,"mtime":20},
      {"name":"alpha","kind":1,"size":2,"mtime":30},
      {"name":"","kind":1},
      {"name":"bad/name","kind":1}]})");
  StatRecord writing{ENTRY_FILE, 4096, -1, 99000000, 1};
  StatRecord unsent{ENTRY_FILE, 5, -1, 1, 1};
  StatRecord child{ENTRY_FILE, 5, -1, 77000000, 1};
  MetaCachePtr a = obtainMetaCache("/u1/d/alpha", &writing);
  MetaCachePtr n = obtainMetaCache("/u1/d/new.txt", &unsent);
  MetaCachePtr c = obtainMetaCache("/u1/d/sub/inner", &child);
  DecasHandle h;
  EXPECT_EQ(cloud_readdir("/Home/d", collect, 0, 0, &h), 0);
  EXPECT_EQ(svc().last("getEntries").params["path"], "/u1/d");
  EXPECT_EQ(listedNames(), (std::vector<std::string>{"zeta", "sub", "alpha", "new.txt"}));
  EXPECT_EQ(g_listed[0].record.mtime, 10000);
  EXPECT_EQ(g_listed[0].record.ctime, -1);
  EXPECT_EQ(g_listed[1].record.type, ENTRY_DIRECTORY);
  EXPECT_EQ(g_listed[1].record.mtime, 77000000);  // raised by its open child
  EXPECT_EQ(g_listed[2].record.size, 4096);       // the open file's local state
  EXPECT_EQ(g_listed[3].record.size, 5);
}

TEST_F(NamespaceOpsTest, SharedRootListsFromSharedEntries) {
  svc().answer("getSharedEntries",
               R"({"result":[{"path":"/proj","kind":3,"mtime":1},{"path":"/doc.txt","kind":1,"size":9}]})");
  DecasHandle h;
  EXPECT_EQ(cloud_readdir("/Shared folders", collect, 0, 0, &h), 0);
  EXPECT_EQ(listedNames(), (std::vector<std::string>{"proj", "doc.txt"}));
  EXPECT_EQ(svc().methods(), (std::vector<std::string>{"getSharedEntries"}));
  svc().fail("getEntries", 155);
  EXPECT_EQ(cloud_readdir("/Shared folders/proj", collect, 0, 0, &h), -13);
  EXPECT_EQ(svc().last("getEntries").params["path"], "/proj");
}

TEST_F(NamespaceOpsTest, StoppingFillerEndsTheListing) {
  svc().answer("getEntries", R"({"result":[{"name":"a"},{"name":"b"}]})");
  static int seen;
  seen = 0;
  auto stopAtFirst = [](const char*, const StatRecord*, int, int, DecasHandle*) {
    ++seen;
    return 1;
  };
  DecasHandle h;
  EXPECT_EQ(cloud_readdir("/Home", stopAtFirst, 0, 0, &h), 0);
  EXPECT_EQ(seen, 1);
}

TEST_F(NamespaceOpsTest, OpendirChecksFoldersAndClosedirPurges) {
  DecasHandle root;
  EXPECT_EQ(cloud_opendir("/Home", &root), 0);
  EXPECT_FALSE(root.fileContext);
  EXPECT_EQ(cloud_opendir("/__system__", &root), -2);
  EXPECT_EQ(cloud_opendir("/Homework", &root), -2);

  svc().answerOnce("getResourceDetail", R"({"result":{"kind":1,"size":1,"mtime":1}})");
  DecasHandle file;
  EXPECT_EQ(cloud_opendir("/Home/f", &file), -20);
  EXPECT_FALSE(file.fileContext);

  StatRecord child{ENTRY_FILE, 1, -1, 8000000, 1};
  MetaCachePtr c = obtainMetaCache("/u1/d/x", &child);
  svc().answerOnce("getResourceDetail", R"({"result":{"kind":3,"mtime":1000,"ctime":1}})");
  DecasHandle dir;
  EXPECT_EQ(cloud_opendir("/Home/d", &dir), 0);
  ASSERT_TRUE(dir.fileContext);
  ASSERT_TRUE(dir.fileContext->meta);
  EXPECT_EQ(dir.fileContext->meta->mtime(), 8000000);
  EXPECT_EQ(obtainMetaCache("/u1/d", nullptr), dir.fileContext->meta);

  c.reset();
  EXPECT_EQ(meta_cache_testing::entryCount("/u1/d"), 1u);
  EXPECT_EQ(cloud_closedir("/Home/d", &dir), 0);
  EXPECT_FALSE(dir.fileContext);
  EXPECT_FALSE(meta_cache_testing::hasHolder("/u1/d"));  // the expired child was purged
  EXPECT_EQ(cloud_closedir("/Homework", &dir), -2);
}

// open, close -----------------------------------------------------------------

TEST_F(NamespaceOpsTest, OpenRefusalsByKind) {
  DecasHandle h;
  h.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Homework/a", &h), -2);
  h.openFlags = OPEN_WRITE | OPEN_CREATE;
  EXPECT_EQ(cloud_open("/Homework/a", &h), -13);
  EXPECT_EQ(cloud_open("/Trash/a", &h), -13);
  EXPECT_EQ(cloud_open("/Shared folders/x", &h), -13);
  EXPECT_EQ(cloud_open("/__system__/__restore__", &h), -2);
  h.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Home", &h), -21);
  EXPECT_TRUE(svc().calls().empty());
  EXPECT_FALSE(h.fileContext);
}

TEST_F(NamespaceOpsTest, CommandFileOpensWithoutTheService) {
  DecasHandle h;
  h.openFlags = OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE;
  EXPECT_EQ(cloud_open("/__system__/__cmd__", &h), 0);
  ASSERT_TRUE(h.fileContext);
  EXPECT_TRUE(h.fileContext->commandFile);
  EXPECT_EQ(cloud_close("/__system__/__cmd__", &h), 0);
  EXPECT_FALSE(h.fileContext);
  EXPECT_TRUE(svc().calls().empty());
}

TEST_F(NamespaceOpsTest, OpenOfMissingFile) {
  svc().fail("getResourceDetail", 50);
  DecasHandle reader;
  reader.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Home/new.txt", &reader), -2);

  DecasHandle creator;
  creator.openFlags = OPEN_WRITE | OPEN_CREATE | OPEN_SHARE_LOCK;
  svc().answer("pretestUploadFile", R"({"result":"upload-token-1"})");
  int64_t before = nowMicroseconds();
  EXPECT_EQ(cloud_open("/Home/new.txt", &creator), 0);
  ASSERT_TRUE(creator.fileContext);
  EXPECT_EQ(creator.fileContext->uploadToken(), "upload-token-1");
  EXPECT_TRUE(creator.state & HANDLE_NEW);
  StatRecord r = creator.fileContext->meta->record();
  EXPECT_EQ(r.type, ENTRY_FILE);
  EXPECT_EQ(r.size, 0);
  EXPECT_GE(r.ctime, before);  // created now; the commit of the empty file may move mtime on
  EXPECT_GE(r.mtime, r.ctime);
  // A new file is not locked and needs no download token.
  auto methods = svc().methods();
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "lockResource"), 0);
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "pretestDownloadFile"), 0);
  EXPECT_EQ(svc().last("pretestUploadFile").params["path"], "/u1/new.txt");

  svc().fail("getResourceDetail", 155);
  DecasHandle denied;
  denied.openFlags = OPEN_WRITE | OPEN_CREATE;
  EXPECT_EQ(cloud_open("/Home/other", &denied), -13);
}

TEST_F(NamespaceOpsTest, OpenOfExistingEntry) {
  svc().answer("getResourceDetail", R"({"result":{"kind":3,"mtime":1}})");
  DecasHandle h;
  h.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Home/folder", &h), -21);
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  h.openFlags = OPEN_WRITE | OPEN_CREATE | OPEN_EXCLUSIVE;
  EXPECT_EQ(cloud_open("/Home/f", &h), -17);
  svc().failOnce("pretestDownloadFile", 150);
  h.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Home/f", &h), -13);
  EXPECT_FALSE(h.fileContext);
}

TEST_F(NamespaceOpsTest, LockHeldElsewhereRefusesWritersNotReaders) {
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  svc().fail("lockResource", 66);
  DecasHandle writer;
  writer.openFlags = OPEN_READ | OPEN_WRITE | OPEN_SHARE_LOCK;
  writer.processId = 4321;
  EXPECT_EQ(cloud_open("/Home/f", &writer), -20050412);
  EXPECT_EQ(svc().last("lockResource").params["processId"], "4321");
  EXPECT_EQ(svc().last("lockResource").params["type"], "2");
  EXPECT_FALSE(writer.fileContext);

  DecasHandle reader;
  reader.openFlags = OPEN_READ | OPEN_SHARE_LOCK;
  EXPECT_EQ(cloud_open("/Home/f", &reader), -20050412);  // 66 refuses whoever asked for the lock
  DecasHandle sharing;
  sharing.openFlags = OPEN_READ;  // a reader that shares writing asks for no lock
  svc().reset();
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  EXPECT_EQ(cloud_open("/Home/f", &sharing), 0);
  EXPECT_EQ(svc().last("lockResource").method, "");

  // Another lock failure is ignored by a reader, fatal for a writer.
  svc().fail("lockResource", 155);
  EXPECT_EQ(cloud_open("/Home/f", &reader), 0);
  EXPECT_FALSE(reader.fileContext->lockHeld);
  EXPECT_EQ(cloud_open("/Home/f", &writer), -13);
}

TEST_F(NamespaceOpsTest, LockIsGivenBackAtCloseAndAfterAFailedOpen) {
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  svc().answer("lockResource", R"({"result":true})");
  DecasHandle h;
  h.openFlags = OPEN_READ | OPEN_WRITE | OPEN_SHARE_LOCK;
  EXPECT_EQ(cloud_open("/Home/f", &h), 0);
  ASSERT_TRUE(h.fileContext);
  EXPECT_TRUE(h.fileContext->lockHeld);
  FileContextPtr fc = h.fileContext;
  svc().failOnce("unlockResource", 999);
  EXPECT_EQ(cloud_close("/Home/f", &h), 0);
  EXPECT_EQ(svc().last("unlockResource").params["path"], "/u1/f");
  EXPECT_TRUE(fc->closed);
  EXPECT_FALSE(h.fileContext);
  EXPECT_TRUE(reports().empty());  // error 999 of the unlock is not shown

  // The service lock never outlives an open that fails after taking it.
  svc().reset();
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  svc().answer("lockResource", R"({"result":true})");
  svc().fail("pretestUploadFile", 77);
  EXPECT_EQ(cloud_open("/Home/f", &h), -28);
  EXPECT_EQ(svc().last("unlockResource").params["path"], "/u1/f");

  // The no-locking flag skips the lock entirely.
  svc().reset();
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  state().noLocking = true;
  EXPECT_EQ(cloud_open("/Home/f", &h), 0);
  EXPECT_EQ(svc().last("lockResource").method, "");
  EXPECT_EQ(cloud_close("/Home/f", &h), 0);
  EXPECT_EQ(svc().last("unlockResource").method, "");
}

TEST_F(NamespaceOpsTest, SecondOpenUsesTheSharedRecord) {
  svc().answer("getResourceDetail", R"({"result":{"kind":1,"size":5,"mtime":1}})");
  DecasHandle a, b;
  a.openFlags = OPEN_READ;
  b.openFlags = OPEN_READ;
  EXPECT_EQ(cloud_open("/Home/f", &a), 0);
  a.fileContext->meta->setSize(99);
  EXPECT_EQ(cloud_open("/Home/f", &b), 0);
  EXPECT_EQ(b.fileContext->meta, a.fileContext->meta);
  auto methods = svc().methods();
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "getResourceDetail"), 1);
  StatRecord r{};
  EXPECT_EQ(cloud_stat("/Home/f", &r), 0);
  EXPECT_EQ(r.size, 99);
  EXPECT_EQ(cloud_close("/Home/f", &a), 0);
  EXPECT_EQ(cloud_close("/Home/f", &b), 0);
}

}  // namespace
}  // namespace tarvik
