// The whole program on a desktop: an X server with a tray host, the login
// window wired as the program wires it, real clicks on the tray icon, a
// real second start of the program, a termination signal while the
// drive is mounted, and the upload journal's state in the tray and in
// desktop notifications.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <thread>

#include "CatalogueTranslator.h"
#include "ClientEntry.h"
#include "SingleInstance.h"
#include "StatusRelay.h"
#include "client_fixture.h"
#include "fake_pending_uploads.h"
#include "notification_recorder.h"

namespace {

using gui_test::isMountPoint;
using gui_test::waitFor;
using TraySession = gui_test::ClientTest;

// Clicks with the X server's own pointer, so the event reaches the tray
// icon's window inside the tray host as a user's click would.
void clickAt(const QPoint& p, int button, int repeat) {
  const QStringList args = {"mousemove", QString::number(p.x()), QString::number(p.y()),
                            "click", "--repeat", QString::number(repeat), "--delay", "60",
                            QString::number(button)};
  ASSERT_EQ(QProcess::execute("xdotool", args), 0);
}

// The tray's menu as the icon's context request opens it. (Real clicks on
// the icon are the other test's: a press held down to look at the menu
// left later real clicks without effect on the icon.)
QMenu* openTrayMenu(LoginWindow& w) {
  if (!QMetaObject::invokeMethod(&w, "iconActivated",
                                 Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::Context)))
    return nullptr;
  QMenu* menu = nullptr;
  waitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }, 5000);
  return menu;
}

// The tray icon's own balloons (shown when no notification service runs).
QList<QWidget*> balloons() {
  QList<QWidget*> found;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && QString(w->metaObject()->className()) == "QBalloonTip") found << w;
  return found;
}

bool balloonShows(const QString& text) {
  for (QWidget* balloon : balloons())
    for (QLabel* label : balloon->findChildren<QLabel*>())
      if (label->text().contains(text)) return true;
  return false;
}

TEST_F(TraySession, WaitingUploadsShowInTheTrayAndAsDesktopNotifications) {
  ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000)) << "no tray host";
  CatalogueTranslator english;
  ASSERT_TRUE(english.load("main_en", TARVIK_GUI_QM_DIR));
  QCoreApplication::installTranslator(&english);
  gui_test::FakePendingUploadsInstalled installed;
  gui_test::FakePendingUploads& fake = *installed.fake;
  fake.corp = QString::fromStdString(service_->demoCorp());
  fake.user = QString::fromStdString(service_->demoUser());
  LoginWindow w;
  auto* icon = w.findChild<QSystemTrayIcon*>();
  ASSERT_NE(icon, nullptr);
  ASSERT_TRUE(waitFor([&] { return icon->geometry().x() > 0; }, 10000)) << "the icon is not embedded";
  w.hide();
  EXPECT_EQ(icon->toolTip(), "Ambermoor");

  // No notification service on the bus: the tray's own balloon tells.
  fake.waiting = 1;
  std::thread([] { LoginWindow::statusCallback(StatusRelay::kUploadKept, "Home/a.txt is kept here"); }).join();
  ASSERT_TRUE(waitFor([&] { return balloonShows("Home/a.txt is kept here"); }, 10000));
  EXPECT_EQ(icon->toolTip(), "Ambermoor\n1 file waits for upload");
  // The balloon covers the icon.
  for (QWidget* b : balloons()) b->close();
  ASSERT_TRUE(waitFor([] { return balloons().isEmpty(); }, 5000));

  gui_test::NotificationRecorder service;
  ASSERT_TRUE(service.start()) << "the test's session bus is missing";
  fake.waiting = 2;
  std::thread([] {
    LoginWindow::statusCallback(StatusRelay::kUploadKept, "Home/b.txt is kept here");
    LoginWindow::statusCallback(StatusRelay::kUploadConflict, "Home/c.txt went up as a copy");
  }).join();
  ASSERT_TRUE(waitFor([&] { return service.calls.size() == 2; }, 10000));
  EXPECT_EQ(service.calls[0].appName, "Ambermoor");
  EXPECT_EQ(service.calls[0].summary, "File kept for upload");
  EXPECT_EQ(service.calls[0].body, "Home/b.txt is kept here");
  EXPECT_EQ(service.calls[1].summary, "File uploaded under another name");
  EXPECT_EQ(service.calls[1].body, "Home/c.txt went up as a copy");
  EXPECT_EQ(icon->toolTip(), "Ambermoor\n2 files wait for upload");

  QMenu* menu = openTrayMenu(w);
  ASSERT_NE(menu, nullptr);
  QAction* first = menu->actions().value(0);
  EXPECT_EQ(first->objectName(), "actPendingUploads");
  EXPECT_EQ(first->text(), "2 files wait for upload");
  EXPECT_FALSE(first->isEnabled()) << "the entry only informs";
  menu->close();

  // Quit while files wait asks; the answer decides.
  QSignalSpy quit(&w, &LoginWindow::quit);
  {
    gui_test::BoxAnswerer answers("leaveQuestion", {QMessageBox::Cancel});
    w.action("actQuit")->trigger();
    ASSERT_EQ(answers.texts.size(), 1);
    EXPECT_TRUE(answers.texts[0].startsWith("2 files are not uploaded yet. They will be uploaded at your next sign-in."));
    EXPECT_EQ(quit.count(), 0);
  }

  fake.waiting = 0;
  std::thread([] { LoginWindow::statusCallback(StatusRelay::kAllUploaded, "All waiting files are up"); }).join();
  ASSERT_TRUE(waitFor([&] { return service.calls.size() == 3; }, 10000));
  EXPECT_EQ(service.calls[2].summary, "Uploads complete");
  EXPECT_EQ(service.calls[2].body, "All waiting files are up");
  EXPECT_EQ(icon->toolTip(), "Ambermoor");
  menu = openTrayMenu(w);
  ASSERT_NE(menu, nullptr);
  const QString firstNow = menu->actions().value(0)->objectName();
  menu->close();
  EXPECT_EQ(firstNow, "actOpenLogin") << "the count is gone";

  // The application's own quit would end every later modal loop at once.
  QObject::disconnect(&w, &LoginWindow::quit, qApp, nullptr);
  gui_test::BoxAnswerer none("leaveQuestion", {QMessageBox::Ok});
  w.action("actQuit")->trigger();
  EXPECT_EQ(quit.count(), 1);
  EXPECT_FALSE(none.done()) << "nothing waits: no question";
  QCoreApplication::removeTranslator(&english);
}

TEST_F(TraySession, TheProgramLivesInTheTray) {
  ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000)) << "no tray host";
  // The instance key of the installed program, so a real second start of
  // it finds this one.
  const QString program = QFileInfo(TARVIK_GUI_PROGRAM).canonicalFilePath();
  SingleInstance instance(program);
  ASSERT_TRUE(instance.isPrimary());
  LoginWindow w;
  ClientEntry::connectSecondStarts(instance, w);
  ClientEntry::routeQuitSignals(w.action("actEndSession"));
  QSignalSpy quit(&w, &LoginWindow::quit);

  auto* icon = w.findChild<QSystemTrayIcon*>();
  ASSERT_NE(icon, nullptr);
  // The tray host of the test sits at the top right of the screen.
  ASSERT_TRUE(waitFor([&] { return icon->geometry().x() > 0; }, 10000)) << "the icon is not embedded";
  const QPoint iconCentre = icon->geometry().center();

  // Signed out: the tray's menu offers the login window, not the drive.
  w.hide();
  clickAt(iconCentre, 3, 1);
  QMenu* menu = nullptr;
  ASSERT_TRUE(waitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }, 5000));
  QStringList entries;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) entries << a->objectName();
  EXPECT_EQ(entries, QStringList({"actOpenLogin", "actOpenDrive", "actHelp", "actVersion", "actLogout", "actQuit"}));
  EXPECT_TRUE(w.action("actOpenLogin")->isEnabled());
  EXPECT_FALSE(w.action("actOpenDrive")->isEnabled());
  // The tray sits at the top: the whole menu is on the screen, below the icon.
  EXPECT_TRUE(QApplication::primaryScreen()->geometry().contains(menu->geometry())) << menu->y();
  EXPECT_GE(menu->y(), icon->geometry().bottom());
  menu->close();
  // A double click brings the login window back.
  clickAt(iconCentre, 1, 2);
  ASSERT_TRUE(waitFor([&] { return w.isVisible(); }, 5000));

  w.findChild<QLineEdit*>("passwordInput")->setText(QString::fromStdString(service_->demoPassword()));
  w.findChild<QPushButton*>("loginButton")->click();
  ASSERT_TRUE(isMountPoint(mnt_)) << errorBoxes_.join("; ").toStdString();
  ASSERT_FALSE(w.isVisible());
  ASSERT_EQ(opened_.size(), 1);

  // Signed in: a double click opens the drive.
  clickAt(iconCentre, 1, 2);
  ASSERT_TRUE(waitFor([&] { return opened_.size() == 2; }, 5000));
  EXPECT_EQ(opened_.back(), QUrl::fromLocalFile(QString::fromStdString(mnt_)));
  EXPECT_FALSE(w.isVisible());

  // Starting the program again shows this instance's window; the new
  // process ends with 0.
  QProcess second;
  second.start(program, QStringList{});
  ASSERT_TRUE(waitFor([&] { return second.state() == QProcess::NotRunning; }, 15000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  ASSERT_TRUE(waitFor([&] { return w.isVisible(); }, 5000));
  EXPECT_TRUE(isMountPoint(mnt_));

  // SIGTERM (as at the end of the desktop session) ends the program as Quit
  // does: the drive is unmounted first, and what was written is kept.
  ASSERT_TRUE(static_cast<bool>(std::ofstream(mnt_ + "/Home/before-sigterm.txt") << "kept"));
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  ASSERT_TRUE(waitFor([&] { return quit.count() == 1; }, 30000));
  EXPECT_FALSE(isMountPoint(mnt_));
  EXPECT_TRUE(sessionValue("jsessionid").isEmpty());
}

}  // namespace
