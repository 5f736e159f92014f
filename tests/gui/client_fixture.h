// A desktop client test against the local service with real mounts: a
// scratch $HOME (drive folders), $TMPDIR (the library's files), a site table
// whose row 1 is the local service (certificate host included) and the demo
// account in the settings. Error boxes and opened URLs are recorded instead
// of shown.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "LoginWindow.h"
#include "SettingsStore.h"
#include "SiteTable.h"
#include "gui_test_support.h"
#include "local_service.h"
#include "mount_points.h"
#include "tarvik.h"

namespace gui_test {

using tarvik_test::LocalService;

inline bool isMountPoint(const std::string& path) { return dokan::IsMountPoint(path); }

// A scratch user and one local service for the whole suite.
class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new std::string(makeScratchUser("tarvik-gui", true));
    service_ = LocalService::start().release();
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete service_;
    std::filesystem::remove_all(*root_);
    delete root_;
  }

  static inline LocalService* service_ = nullptr;
  static inline std::string* root_ = nullptr;
};

class ClientTest : public ServiceTest {
 protected:

  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
    gui_test::resetConfig();
    LoginWindow::resetErrorQueueForTest();
    // Row 1 of the site table is the local service.
    const QString host = QUrl(QString::fromStdString(service_->url())).authority();
    std::ofstream(gui_test::appDataFolder().toStdString() + "/sites.ini")
        << "[site1]\nplain=" << host.toStdString()
        << "\nsecure=" << QUrl(QString::fromStdString(service_->certUrl())).authority().toStdString()
        << "\n[site2]\nplain=127.0.0.9:1\n";
    SiteTable::reload();
    ClientSettings s;
    SettingsStore::loadSettings(s);  // picks the first free drive letter
    mnt_ = dokan::MountDirectoryFor(s.mountPoint.toStdString());
    s.corpId = QString::fromStdString(service_->demoCorp());
    s.userId = QString::fromStdString(service_->demoUser());
    s.siteDomain = host;
    s.savePassword = false;
    SettingsStore::saveSettings(s, SessionValues{});
    LoginWindow::setErrorBoxForTest([this](QWidget*, const QString& text) { errorBoxes_ << text; });
    LoginWindow::setUrlOpenerForTest([this](const QUrl& url) { opened_ << url; });
  }

  void TearDown() override {
    tarvik_unmount();
    if (isMountPoint(mnt_)) std::system(("fusermount3 -uz " + mnt_).c_str());
    LoginWindow::setErrorBoxForTest(nullptr);
    LoginWindow::setUrlOpenerForTest(nullptr);
  }

  static void setPassword(LoginWindow& w, const QString& password) {
    w.findChild<QLineEdit*>("passwordInput")->setText(password);
  }
  static void clickLogin(LoginWindow& w) { w.findChild<QPushButton*>("loginButton")->click(); }
  static void doubleClickTray(LoginWindow& w) {
    ASSERT_TRUE(QMetaObject::invokeMethod(&w, "iconActivated",
                                          Q_ARG(QSystemTrayIcon::ActivationReason,
                                                QSystemTrayIcon::DoubleClick)));
  }
  static QList<QMessageBox*> errorWindows(LoginWindow& w) {
    return w.findChildren<QMessageBox*>("errorWindow");
  }

  static QString sessionValue(const QString& key) {
    QSettings session("Kindrel", "Ambermoor");
    return session.value(key).toString();
  }

  std::string mnt_;
  QStringList errorBoxes_;
  QList<QUrl> opened_;
};

}  // namespace gui_test
