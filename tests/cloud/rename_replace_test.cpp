// Renames onto existing files and dot names, as a program's rename reaches
// the drive: the in-process driver's request sequence through the Dokan
// adapter and the cloud side's operation table, against a scripted service
// that records every call. A rename checks everything before it changes
// anything and replaces an existing file in the move itself, so a failed
// move sends nothing that removes the target.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cloud/cloud_table.h"
#include "core/library_state.h"
#include "dokan_test_driver.h"
#include "drive/decas_frame.h"
#include "fake_service.h"
#include "private_dirs.h"
#include "webapi/envelope.h"
#include "webapi/error_table.h"
#include "webapi/transport.h"

namespace tarvik {
namespace {

using tarvik_test::FakeService;

constexpr uint32_t kPid = 900101;  // an ordinary program
constexpr char kFile[] = R"({"result":{"kind":1,"size":3,"mtime":1700000000000}})";

void noPause(int) {}

class RenameReplaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tarvik_test::usePrivateDirectories();
    transport_testing::setRetryPause(noPause);
    service_ = new FakeService();
  }
  static void TearDownTestSuite() {
    transport_testing::setRetryPause(nullptr);
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override {
    service_->reset();
    LibraryState& st = state();
    st.apiBase = service_->apiBase();
    st.language = "en";
    st.userId = "u1";
    st.noLocking = true;
    std::atomic_store(&st.errorTable, ErrorMessageTable::withBuiltins());
    // Every name the drive looks up is a file of three bytes.
    service_->answer("getResourceDetail", kFile);
    decas_setTableFiller(cloud_fillOperationTable);
    ASSERT_EQ(decas_main("/mnt/rename", DECAS_OPTION_NETWORK, false, false), 0);
    ASSERT_TRUE(driver_.waitMounted());
  }
  void TearDown() override { decas_exit(); }

  int rename(const std::string& from, const std::string& to, bool noReplace = false) {
    service_->reset();
    service_->answer("getResourceDetail", kFile);
    return driver_.requests().rename(from, to, noReplace, kPid);
  }
  // The calls that change names on the service, in order.
  std::vector<std::string> changes() {
    std::vector<std::string> out;
    for (const std::string& m : service_->methods()) {
      if (m == "moveResource" || m == "removeResource" || m == "moveToTrash") out.push_back(m);
    }
    return out;
  }

  static FakeService* service_;
  dokan::TestDriver driver_;
};
FakeService* RenameReplaceTest::service_ = nullptr;

// mv e.tmp2 e.txt onto an existing e.txt while the service is in
// maintenance, or failing with three 500s in a row: the move fails with
// EIO, and nothing but that move was sent, so e.txt keeps its content and
// e.tmp2 the new one. Once the service answers, one overwriting move
// replaces e.txt.
TEST_F(RenameReplaceTest, FailedMoveOntoAFileNeverRemovesIt) {
  service_->pageOnce("moveResource", 200,
                     std::string("<html><!-- ") + kMaintenanceMarker + " --></html>");
  EXPECT_EQ(driver_.requests().rename("/Home/e.tmp2", "/Home/e.txt", false, kPid), -EIO);
  EXPECT_EQ(changes(), std::vector<std::string>{"moveResource"});

  const std::string serverError = "<html><body><h1>500 Internal Server Error</h1></body></html>";
  service_->reset();
  service_->answer("getResourceDetail", kFile);
  for (int i = 0; i < 3; ++i) service_->pageOnce("moveResource", 500, serverError);
  EXPECT_EQ(driver_.requests().rename("/Home/e.tmp2", "/Home/e.txt", false, kPid), -EIO);
  // The transport tried the move three times; nothing else changed a name.
  EXPECT_EQ(changes(), (std::vector<std::string>{"moveResource", "moveResource", "moveResource"}));

  EXPECT_EQ(rename("/Home/e.tmp2", "/Home/e.txt"), 0);
  EXPECT_EQ(changes(), std::vector<std::string>{"moveResource"});
  tarvik_test::ServiceCall move = service_->last("moveResource");
  EXPECT_EQ(move.params["srcPath"], "/u1/e.tmp2");
  EXPECT_EQ(move.params["dstPath"], "/u1/e.txt");
  EXPECT_EQ(move.params["overwrite"], "true");
}

// A rename that is refused leaves the target as it was: a move the
// service refuses was the only call, and what the drive refuses itself
// (RENAME_NOREPLACE onto an existing file, a folder onto a file, a file
// onto a folder) sends nothing that changes a name.
TEST_F(RenameReplaceTest, RefusedRenamesChangeNothing) {
  service_->reset();
  service_->answer("getResourceDetail", kFile);
  service_->failOnce("moveResource", 8);  // the service's "invalid argument"
  EXPECT_EQ(driver_.requests().rename("/Home/a", "/Home/b", false, kPid), -EINVAL);
  EXPECT_EQ(changes(), std::vector<std::string>{"moveResource"});

  EXPECT_EQ(rename("/Home/a", "/Home/c", true), -EEXIST);
  EXPECT_TRUE(changes().empty());

  // The source is looked up first (its open), then the target.
  const char* folder = R"({"result":{"kind":3,"mtime":1}})";
  service_->reset();
  service_->answerOnce("getResourceDetail", folder);
  service_->answer("getResourceDetail", kFile);
  EXPECT_EQ(driver_.requests().rename("/Home/d", "/Home/f", false, kPid), -ENOTDIR);
  EXPECT_TRUE(changes().empty());
  service_->reset();
  service_->answerOnce("getResourceDetail", kFile);
  service_->answer("getResourceDetail", folder);
  EXPECT_LT(driver_.requests().rename("/Home/g", "/Home/h", false, kPid), 0);
  EXPECT_TRUE(changes().empty());
}

// Names that begin with "." are names like any other: rsync's temporary
// files, git's packs and sed -i's dotfiles are moved there and back.
TEST_F(RenameReplaceTest, DotNamesAreRenameTargets) {
  EXPECT_EQ(rename("/Home/conf.new", "/Home/.conf"), 0);
  EXPECT_EQ(changes(), std::vector<std::string>{"moveResource"});
  EXPECT_EQ(service_->last("moveResource").params["dstPath"], "/u1/.conf");
  EXPECT_EQ(rename("/Home/.git/objects/pack/tmp_pack_1", "/Home/.git/objects/pack/.tmp-1-pack"), 0);
  EXPECT_EQ(service_->last("moveResource").params["dstPath"], "/u1/.git/objects/pack/.tmp-1-pack");
  EXPECT_EQ(rename("/Home/.tmp-1-pack", "/Home/pack-1.pack"), 0);
  EXPECT_EQ(changes(), std::vector<std::string>{"moveResource"});
}

// A file open under the name that a move replaces keeps its content for
// its reads and writes, but never commits it over the moved file, and the
// drive shows the moved file under the name, not the open one.
TEST_F(RenameReplaceTest, FileOpenUnderTheReplacedNameNeverCommitsOverTheMovedOne) {
  service_->reset();
  service_->answer("getResourceDetail", kFile);
  service_->answer("pretestUploadFile", R"({"result":"token-b"})");
  dokan::OpenFile* of = nullptr;
  ASSERT_EQ(driver_.requests().open("/Home/b", O_WRONLY | O_TRUNC, false, kPid, &of), 0);
  ASSERT_EQ(driver_.requests().write(of, "XYZW", 4, 0, kPid), 4);

  EXPECT_EQ(rename("/Home/a", "/Home/b"), 0);
  EXPECT_EQ(service_->last("moveResource").params["overwrite"], "true");
  // The moved file is what the service describes now.
  service_->answer("getResourceDetail", R"({"result":{"kind":1,"size":9,"mtime":1700000000000}})");
  StatRecord st{};
  ASSERT_EQ(decas_stat("/Home/b", &st), 0);
  EXPECT_EQ(st.size, 9);

  char back[4] = {};
  ASSERT_EQ(driver_.requests().read(of, back, 4, 0, kPid), 4);
  EXPECT_EQ(std::string(back, 4), "XYZW");
  EXPECT_EQ(driver_.requests().flush(of, kPid), 0);
  EXPECT_EQ(driver_.requests().release(of, kPid), 0);
  for (const std::string& m : service_->methods()) {
    EXPECT_NE(m, "uploadFile") << "the replaced file was committed over the moved one";
  }
}

}  // namespace
}  // namespace tarvik
