// The upload journal in the tray, without a service: the waiting count in
// the tooltip and the menu, the library's messages on their way to the GUI
// thread, and the question before a logout or quit.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QThread>
#include <map>
#include <thread>
#include <vector>

#include "CatalogueTranslator.h"
#include "LoginWindow.h"
#include "SettingsStore.h"
#include "StatusRelay.h"
#include "UploadStatus.h"
#include "fake_pending_uploads.h"
#include "gui_test_support.h"

namespace {

using gui_test::BoxAnswerer;
using gui_test::waitFor;

// The English texts, so the tests read what the user reads.
class UploadStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gui_test::resetConfig();
    LoginWindow::resetErrorQueueForTest();
    ASSERT_TRUE(translator_.load("main_en", TARVIK_GUI_QM_DIR));
    QCoreApplication::installTranslator(&translator_);
    fake().corp = "corp1";
    fake().user = "alice";
  }
  void TearDown() override { QCoreApplication::removeTranslator(&translator_); }

  gui_test::FakePendingUploads& fake() { return *installed_.fake; }

  static QStringList menuEntries(const UploadStatus& status) {
    QMenu menu;
    status.addEntryTo(&menu);
    QStringList entries;
    for (QAction* a : menu.actions())
      entries << (a->isSeparator() ? QString("-") : a->objectName() + ":" + a->text());
    return entries;
  }

  // A signed-out window whose saved account is the fake's.
  static void saveAccount(const QString& corp, const QString& user) {
    ClientSettings s;
    SettingsStore::loadSettings(s);
    s.corpId = corp;
    s.userId = user;
    SettingsStore::saveSettings(s, SessionValues{});
  }

  CatalogueTranslator translator_;
  gui_test::FakePendingUploadsInstalled installed_;
};

TEST_F(UploadStatusTest, TrayShowsTheWaitingCountWhileFilesWait) {
  QSystemTrayIcon tray;
  UploadStatus status(&tray, nullptr);
  status.refresh();
  EXPECT_TRUE(fake().asked.isEmpty()) << "no account, nothing to ask";
  EXPECT_EQ(tray.toolTip(), "Ambermoor");

  status.setAccount("corp1", "alice");
  fake().waiting = 3;
  status.refresh();
  EXPECT_EQ(tray.toolTip(), "Ambermoor\n3 files wait for upload");
  EXPECT_EQ(menuEntries(status), QStringList({"actPendingUploads:3 files wait for upload", "-"}));
  QMenu menu;
  status.addEntryTo(&menu);
  EXPECT_FALSE(menu.actions().front()->isEnabled()) << "the entry only informs";

  fake().waiting = 1;
  status.refresh();
  EXPECT_EQ(tray.toolTip(), "Ambermoor\n1 file waits for upload");
  EXPECT_TRUE(menu.actions().front()->isVisible());

  // A status of the library is no count: nothing is shown.
  fake().waiting = -5;
  status.refresh();
  EXPECT_EQ(tray.toolTip(), "Ambermoor");
  EXPECT_TRUE(menuEntries(status).isEmpty());
  EXPECT_FALSE(menu.actions().front()->isVisible()) << "an open menu loses the entry too";

  fake().waiting = 2;
  status.refresh();
  status.setAccount("corp1", "bob");
  status.refresh();
  EXPECT_EQ(tray.toolTip(), "Ambermoor") << "another account's files are not counted";
  EXPECT_EQ(fake().asked.back(), "corp1/bob");
}

TEST_F(UploadStatusTest, EveryMessageReachesTheGuiThreadInOrder) {
  StatusRelay& relay = StatusRelay::instance();
  std::map<int, std::vector<int>> errorsByThread;
  QList<int> uploadCodes;
  QStringList events;
  bool offThread = false;
  auto check = [&] { offThread |= QThread::currentThread() != qApp->thread(); };
  QMetaObject::Connection c1 = QObject::connect(&relay, &StatusRelay::errorReported, [&](QString text) {
    check();
    events << "error:" + text;
    const QStringList parts = text.split(':');
    if (parts.size() == 2) errorsByThread[parts[0].toInt()].push_back(parts[1].toInt());
  });
  QMetaObject::Connection c2 = QObject::connect(&relay, &StatusRelay::uploadStatus, [&](int code, QString) {
    check();
    uploadCodes << code;
  });
  QMetaObject::Connection c3 = QObject::connect(&relay, &StatusRelay::sessionLost, [&] {
    check();
    events << "lost";
  });

  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  std::vector<std::thread> reporters;
  for (int t = 0; t < kThreads; ++t)
    reporters.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        const QByteArray text = QByteArray::number(t) + ":" + QByteArray::number(i);
        LoginWindow::statusCallback(1001, text.constData());
        if (i % 50 == 0) LoginWindow::statusCallback(150, "information only");
      }
      LoginWindow::statusCallback(StatusRelay::kUploadKept, "kept");
    });
  for (std::thread& r : reporters) r.join();
  LoginWindow::statusCallback(3, "session over");
  LoginWindow::statusCallback(StatusRelay::kAllUploaded, "all up");

  ASSERT_TRUE(waitFor([&] { return uploadCodes.size() == kThreads + 1; }, 10000));
  EXPECT_FALSE(offThread);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(errorsByThread[t].size(), static_cast<size_t>(kEach)) << "thread " << t;
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(errorsByThread[t][i], i);
  }
  EXPECT_EQ(uploadCodes.back(), StatusRelay::kAllUploaded);
  EXPECT_EQ(uploadCodes.count(StatusRelay::kUploadKept), kThreads);
  // No information-only code and no journal code became an error; the
  // session's end comes before its message.
  ASSERT_EQ(events.size(), kThreads * kEach + 2);
  EXPECT_EQ(events.mid(events.size() - 2), QStringList({"lost", "error:session over"}));
  QObject::disconnect(c1);
  QObject::disconnect(c2);
  QObject::disconnect(c3);
}

TEST_F(UploadStatusTest, JournalMessagesUpdateTheTrayAndOpenNoErrorWindow) {
  saveAccount("corp1", "alice");
  fake().waiting = 2;
  LoginWindow w;
  auto* tray = w.findChild<QSystemTrayIcon*>();
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(tray->toolTip(), "Ambermoor\n2 files wait for upload") << "left by the last session";

  fake().waiting = 3;
  std::thread([] { LoginWindow::statusCallback(StatusRelay::kUploadKept, "Home/a.txt is kept"); }).join();
  ASSERT_TRUE(waitFor([&] { return tray->toolTip().contains("3 files"); }, 5000));
  fake().waiting = 0;
  std::thread([] { LoginWindow::statusCallback(StatusRelay::kAllUploaded, "All up"); }).join();
  ASSERT_TRUE(waitFor([&] { return tray->toolTip() == "Ambermoor"; }, 5000));
  EXPECT_TRUE(w.findChildren<QMessageBox*>("errorWindow").isEmpty());
}

TEST_F(UploadStatusTest, LeavingAsksWhileFilesWaitOrAreOpenForWriting) {
  QSystemTrayIcon tray;
  UploadStatus status(&tray, nullptr);
  status.setAccount("corp1", "alice");
  {
    BoxAnswerer answers("leaveQuestion", {});
    EXPECT_TRUE(status.confirmLeave(nullptr)) << "nothing waits: no question";
  }
  fake().waiting = 2;
  {
    BoxAnswerer answers("leaveQuestion", {QMessageBox::Cancel, QMessageBox::Ok});
    EXPECT_FALSE(status.confirmLeave(nullptr));
    EXPECT_TRUE(status.confirmLeave(nullptr));
    ASSERT_EQ(answers.texts.size(), 2);
    EXPECT_EQ(answers.texts[0],
              "2 files are not uploaded yet. They will be uploaded at your next sign-in.\n\n"
              "Do you want to continue?");
  }
  fake().waiting = 0;
  fake().openForWriting = 1;
  {
    BoxAnswerer answers("leaveQuestion", {QMessageBox::Ok});
    EXPECT_TRUE(status.confirmLeave(nullptr));
    ASSERT_EQ(answers.texts.size(), 1);
    EXPECT_TRUE(answers.texts[0].startsWith("1 file is still open for writing on the drive."));
    EXPECT_FALSE(answers.texts[0].contains("not uploaded"));
  }
  fake().waiting = 1;
  fake().openForWriting = 4;
  BoxAnswerer answers("leaveQuestion", {QMessageBox::Cancel});
  EXPECT_FALSE(status.confirmLeave(nullptr));
  ASSERT_EQ(answers.texts.size(), 1);
  EXPECT_TRUE(answers.texts[0].startsWith("1 file is not uploaded yet."));
  EXPECT_TRUE(answers.texts[0].contains("4 files are still open for writing"));
}

TEST_F(UploadStatusTest, QuitAsksWhileFilesWaitButTheEndOfTheSessionDoesNot) {
  saveAccount("corp1", "alice");
  fake().waiting = 5;
  LoginWindow w;
  // The application's own quit would end every later modal loop at once.
  QObject::disconnect(&w, &LoginWindow::quit, qApp, nullptr);
  QSignalSpy quit(&w, &LoginWindow::quit);
  {
    BoxAnswerer answers("leaveQuestion", {QMessageBox::Cancel});
    w.action("actQuit")->trigger();
    EXPECT_EQ(answers.texts.size(), 1);
    EXPECT_EQ(quit.count(), 0) << "cancelled";
  }
  {
    BoxAnswerer answers("leaveQuestion", {QMessageBox::Ok});
    w.action("actQuit")->trigger();
    EXPECT_TRUE(answers.done());
    EXPECT_EQ(quit.count(), 1);
  }
  BoxAnswerer none("leaveQuestion", {QMessageBox::Ok});
  w.action("actEndSession")->trigger();
  EXPECT_FALSE(none.done()) << "a termination signal has nobody to ask";
  EXPECT_EQ(quit.count(), 2);
}

}  // namespace
