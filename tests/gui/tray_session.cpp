// The whole program on a desktop: an X server with a tray host, the login
// window wired as the program wires it, real clicks on the tray icon, a
// real second start of the program and a termination signal while the
// drive is mounted.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include "ClientEntry.h"
#include "SingleInstance.h"
#include "client_fixture.h"

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

TEST_F(TraySession, TheProgramLivesInTheTray) {
  ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000)) << "no tray host";
  // The instance key of the installed program, so a real second start of
  // it finds this one.
  const QString program = QFileInfo(TARVIK_GUI_PROGRAM).canonicalFilePath();
  SingleInstance instance(program);
  ASSERT_TRUE(instance.isPrimary());
  LoginWindow w;
  ClientEntry::connectSecondStarts(instance, w);
  ClientEntry::routeQuitSignals(w.action("actQuit"));
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
