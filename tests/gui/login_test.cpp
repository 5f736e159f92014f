// The login window against the local service with a real mount: password
// sign-in, the refusals the user sees, errors reported by the library and
// logout.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QUrl>
#include <QWebFrame>
#include <QWebPage>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "LoginWindow.h"
#include "SAMLManager.h"
#include "SettingsStore.h"
#include "SiteTable.h"
#include "mount_points.h"
#include "gui_test_support.h"
#include "client_fixture.h"
#include "local_service.h"
#include "tarvik.h"

namespace {

using tarvik_test::LocalService;

using gui_test::waitFor;

// The login window's tests share the signed-in client fixture.
using LoginWindowTest = gui_test::ClientTest;
using gui_test::isMountPoint;

int openForWriting() {
  int open = -1;
  tarvik_getPendingUploads("", "", nullptr, 0, &open);
  return open;
}

TEST_F(LoginWindowTest, PasswordSignInMountsPublishesAndLogsOut) {
  LoginWindow w;
  ASSERT_TRUE(w.isVisible());
  EXPECT_FALSE(w.action("actLogout")->isEnabled());
  EXPECT_FALSE(w.action("actOpenDrive")->isEnabled());
  setPassword(w, QString::fromStdString(service_->demoPassword()));
  clickLogin(w);

  EXPECT_TRUE(errorBoxes_.isEmpty()) << errorBoxes_.join("; ").toStdString();
  ASSERT_TRUE(isMountPoint(mnt_));
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(w.action("actLogout")->isEnabled());
  EXPECT_TRUE(w.action("actOpenDrive")->isEnabled());
  EXPECT_FALSE(w.findChild<QLineEdit*>("corpIdInput")->isEnabled());
  ASSERT_EQ(opened_.size(), 1) << "the drive is opened once it lists its folders";
  EXPECT_EQ(opened_.front(), QUrl::fromLocalFile(QString::fromStdString(mnt_)));
  doubleClickTray(w);
  EXPECT_EQ(opened_.size(), 2) << "a double click opens the mounted drive";
  EXPECT_FALSE(w.isVisible());

  // The session values reach the context-menu extension; the settings file
  // keeps the sign-in without the password.
  EXPECT_FALSE(sessionValue("jsessionid").isEmpty());
  EXPECT_FALSE(sessionValue("arrayid").isEmpty());
  ClientSettings saved;
  SettingsStore::loadSettings(saved);
  EXPECT_EQ(saved.corpId.toStdString(), service_->demoCorp());
  EXPECT_EQ(saved.userId.toStdString(), service_->demoUser());
  EXPECT_TRUE(saved.password.isEmpty());

  // A file written through the drive survives a logout.
  ASSERT_TRUE(static_cast<bool>(std::ofstream(mnt_ + "/Home/kept.txt") << "kept"));
  // The kernel hands the close to the drive after close() returns; until
  // then the logout would ask about a file open for writing.
  ASSERT_TRUE(waitFor([&] { return openForWriting() == 0; }, 10000));
  w.action("actLogout")->trigger();
  EXPECT_FALSE(isMountPoint(mnt_));
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(w.action("actLogout")->isEnabled());
  EXPECT_TRUE(w.findChild<QLineEdit*>("corpIdInput")->isEnabled());
  EXPECT_TRUE(sessionValue("jsessionid").isEmpty());
  EXPECT_TRUE(sessionValue("arrayid").isEmpty());
  w.hide();
  doubleClickTray(w);
  EXPECT_TRUE(w.isVisible()) << "logged out, a double click shows the login window";
  EXPECT_EQ(opened_.size(), 2);
}

TEST_F(LoginWindowTest, CertificateSignInGoesThroughTheCertificateHost) {
  const std::string pem = service_->issueClientCert(service_->demoCorp(), service_->demoUser());
  const QString store = gui_test::appDataFolder() + "/certificates";
  ASSERT_TRUE(QDir().mkpath(store));
  ASSERT_TRUE(QFile::copy(QString::fromStdString(pem), store + "/demo.pem"));
  LoginWindow w;
  auto* useCert = w.findChild<QCheckBox*>("useCertCheck");
  auto* combo = w.findChild<QComboBox*>("certCombo");
  useCert->setChecked(true);
  EXPECT_FALSE(w.findChild<QLineEdit*>("corpIdInput")->isEnabled());
  // Without a chosen certificate nothing is sent.
  combo->setCurrentIndex(0);
  clickLogin(w);
  EXPECT_EQ(errorBoxes_, QStringList{"TXT_NOT_SELECT_CERT_MSG"});
  errorBoxes_.clear();

  ASSERT_EQ(combo->count(), 2) << "the placeholder and the one certificate";
  combo->setCurrentIndex(1);
  // The certificate names the account; this account also asks for its
  // password, which the form now takes.
  clickLogin(w);
  EXPECT_EQ(errorBoxes_, QStringList{"TXT_NOT_INPUT_PASS_MSG"});
  EXPECT_EQ(w.findChild<QLineEdit*>("corpIdInput")->text().toStdString(), service_->demoCorp());
  EXPECT_EQ(w.findChild<QLineEdit*>("userIdInput")->text().toStdString(), service_->demoUser());
  ASSERT_TRUE(w.findChild<QLineEdit*>("passwordInput")->isEnabled());
  EXPECT_FALSE(isMountPoint(mnt_));
  errorBoxes_.clear();
  setPassword(w, QString::fromStdString(service_->demoPassword()));
  clickLogin(w);
  EXPECT_TRUE(errorBoxes_.isEmpty()) << errorBoxes_.join("; ").toStdString();
  ASSERT_TRUE(isMountPoint(mnt_));
  EXPECT_EQ(sessionValue("corpId").toStdString(), service_->demoCorp());
  EXPECT_EQ(sessionValue("userId").toStdString(), service_->demoUser());
  EXPECT_EQ(QUrl(sessionValue("baseURL")).authority(), QUrl(QString::fromStdString(service_->certUrl())).authority());
  ClientSettings saved;
  SettingsStore::loadSettings(saved);
  EXPECT_TRUE(saved.useCert);
  EXPECT_EQ(saved.certIndex, 1) << "the chosen certificate is remembered";
  w.action("actLogout")->trigger();
  EXPECT_FALSE(isMountPoint(mnt_));
}

TEST_F(LoginWindowTest, QuitWhileMountedUnmountsFirst) {
  LoginWindow w;
  QSignalSpy quit(&w, &LoginWindow::quit);
  setPassword(w, QString::fromStdString(service_->demoPassword()));
  clickLogin(w);
  ASSERT_TRUE(isMountPoint(mnt_));
  w.action("actQuit")->trigger();
  EXPECT_FALSE(isMountPoint(mnt_)) << "no process may end under its drive";
  EXPECT_EQ(quit.count(), 1);
  EXPECT_TRUE(sessionValue("jsessionid").isEmpty());
  EXPECT_FALSE(w.isVisible()) << "quitting does not bring the window back";
}

TEST_F(LoginWindowTest, FailedUnmountStillRemovesTheSessionValues) {
  LoginWindow w;
  setPassword(w, QString::fromStdString(service_->demoPassword()));
  clickLogin(w);
  ASSERT_TRUE(isMountPoint(mnt_));
  ASSERT_FALSE(sessionValue("jsessionid").isEmpty());
  // The drive is removed from outside, so the library has nothing to remove.
  ASSERT_EQ(std::system(("fusermount3 -u " + mnt_).c_str()), 0);
  ASSERT_TRUE(waitFor([&] { return !isMountPoint(mnt_); }, 10000));
  w.action("actLogout")->trigger();
  EXPECT_EQ(errorBoxes_, QStringList{"TXT_LOGOUT_FAIL_MSG"});
  EXPECT_TRUE(sessionValue("jsessionid").isEmpty());
  EXPECT_TRUE(sessionValue("arrayid").isEmpty());
  EXPECT_TRUE(w.action("actLogout")->isEnabled()) << "the form stays in the mounted state";
}

TEST_F(LoginWindowTest, AutomaticLoginWithWrongPasswordShowsTheWindow) {
  ClientSettings s;
  SettingsStore::loadSettings(s);
  s.savePassword = true;
  s.autoLogin = true;
  s.password = "not the password";
  SettingsStore::saveSettings(s, SessionValues{});
  LoginWindow w;
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(isMountPoint(mnt_));
  EXPECT_TRUE(errorBoxes_.isEmpty()) << "only an empty password has the client's own message";
  ASSERT_TRUE(waitFor([&] { return !errorWindows(w).isEmpty(); }, 5000));
}

TEST_F(LoginWindowTest, RefusedPasswordsAreShownOnce) {
  LoginWindow w;
  // Empty: the client's own message, no request, focus on the password.
  setPassword(w, "");
  clickLogin(w);
  EXPECT_EQ(errorBoxes_, QStringList{"TXT_NOT_INPUT_PASS_MSG"});
  EXPECT_FALSE(isMountPoint(mnt_));

  // Wrong: the library's worded message, shown once in the error window.
  errorBoxes_.clear();
  setPassword(w, "not the password");
  clickLogin(w);
  EXPECT_TRUE(errorBoxes_.isEmpty()) << "the library reports this refusal itself";
  ASSERT_TRUE(waitFor([&] { return !errorWindows(w).isEmpty(); }, 5000));
  QMessageBox* box = errorWindows(w).front();
  EXPECT_FALSE(box->text().isEmpty());
  EXPECT_FALSE(box->text().startsWith("TXT_"));
  EXPECT_FALSE(isMountPoint(mnt_));
  EXPECT_FALSE(w.action("actLogout")->isEnabled());
  EXPECT_TRUE(w.isVisible());
}

TEST_F(LoginWindowTest, RepeatedMessagesShowOnceAndSessionLossBringsBackTheForm) {
  LoginWindow w;
  setPassword(w, QString::fromStdString(service_->demoPassword()));
  clickLogin(w);
  ASSERT_TRUE(isMountPoint(mnt_));
  ASSERT_FALSE(w.isVisible());

  // Five reports of one message from a library thread, one of them code 3.
  std::thread reporter([] {
    for (int i = 0; i < 4; ++i) LoginWindow::statusCallback(1001, "the same failure");
    LoginWindow::statusCallback(3, "the same failure");
    LoginWindow::statusCallback(150, "information only");
  });
  reporter.join();
  ASSERT_TRUE(waitFor([&] { return !errorWindows(w).isEmpty(); }, 5000));
  EXPECT_TRUE(w.isVisible()) << "code 3 asks for a new sign-in";
  EXPECT_FALSE(w.action("actLogout")->isEnabled());
  EXPECT_TRUE(w.findChild<QLineEdit*>("passwordInput")->isEnabled());
  EXPECT_TRUE(isMountPoint(mnt_)) << "the client leaves the unmount to the library";

  // More poll ticks: nothing else is shown, the duplicates were purged.
  QMessageBox* box = errorWindows(w).front();
  EXPECT_EQ(box->text(), "the same failure");
  for (int tick = 0; tick < 3; ++tick) ASSERT_TRUE(QMetaObject::invokeMethod(&w, "onErrorPoll"));
  EXPECT_EQ(errorWindows(w).size(), 1);
  box->button(QMessageBox::Ok)->click();
  LoginWindow::statusCallback(1001, "another failure");
  ASSERT_TRUE(waitFor([&] {
    for (QMessageBox* b : errorWindows(w))
      if (b->text() == "another failure") return true;
    return false;
  }, 5000)) << "the next message is shown once the box is closed";
}

TEST_F(LoginWindowTest, SamlSignInMountsWithTheSessionAndLogsOut) {
  ClientSettings s;
  SettingsStore::loadSettings(s);
  s.samlEnabled = true;
  s.samlCorpId = "demo-saml";
  SettingsStore::saveSettings(s, SessionValues{});
  LoginWindow w;
  auto* saml = w.findChild<SAMLManager*>("samlManager");
  ASSERT_NE(saml, nullptr);
  EXPECT_FALSE(w.findChild<QPushButton*>("loginButton")->isVisible());
  auto js = [&](const QString& expression) {
    return saml->page()->mainFrame()->evaluateJavaScript(expression).toString();
  };
  // The window opens the provider's form; the user signs in there.
  ASSERT_TRUE(waitFor([&] {
    return saml->currentUrl().contains("/idp/sso?") &&
           js("String(!!document.getElementById('username'))") == "true";
  })) << saml->currentUrl().toStdString();
  const QString password = QString::fromStdString(service_->value("demo-saml-idp-password"));
  js("document.getElementById('username').value = 'saml'; document.getElementById('password').value = '" +
     password + "'; document.getElementById('login').submit();");
  ASSERT_TRUE(waitFor([&] { return w.action("actLogout")->isEnabled() || !errorBoxes_.isEmpty(); }))
      << saml->currentUrl().toStdString();
  EXPECT_TRUE(errorBoxes_.isEmpty()) << errorBoxes_.join("; ").toStdString();
  ASSERT_TRUE(isMountPoint(mnt_));
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(sessionValue("userId"), "saml") << "the user the provider signed in";
  EXPECT_FALSE(sessionValue("jsessionid").isEmpty());

  // The manager settles on its status page after a sign-in; a logout sent
  // before that is lost with the page it ran in.
  ASSERT_TRUE(waitFor([&] { return js("document.querySelector('body p').innerText") == "TXT_LOGGING_IN"; }));
  w.action("actLogout")->trigger();
  EXPECT_FALSE(isMountPoint(mnt_));
  EXPECT_TRUE(sessionValue("jsessionid").isEmpty());
  ASSERT_TRUE(waitFor([&] { return w.isVisible(); })) << "the provider's logout completes";
  EXPECT_FALSE(w.action("actLogout")->isEnabled());
}

TEST_F(LoginWindowTest, LogoutAsksWhileAProgramWritesOnTheDrive) {
  LoginWindow w;
  setPassword(w, QString::fromStdString(service_->demoPassword()));
  clickLogin(w);
  ASSERT_TRUE(isMountPoint(mnt_));
  {
    // The library counts the file held open for writing.
    std::ofstream writer(mnt_ + "/Home/still-open.txt");
    ASSERT_TRUE(static_cast<bool>(writer << "half" << std::flush));
    ASSERT_TRUE(waitFor([&] { return openForWriting() == 1; }, 10000));
    gui_test::BoxAnswerer answers("leaveQuestion", {QMessageBox::Cancel});
    w.action("actLogout")->trigger();
    ASSERT_EQ(answers.texts.size(), 1);
    EXPECT_TRUE(answers.texts[0].startsWith("TXT_LEAVE_OPEN_ONE_MSG")) << answers.texts[0].toStdString();
    EXPECT_TRUE(isMountPoint(mnt_)) << "cancelled: the drive stays";
    EXPECT_TRUE(w.action("actLogout")->isEnabled());
  }
  // Closed and committed: nothing to ask about. The kernel hands the close
  // to the drive after close() returns.
  ASSERT_TRUE(waitFor([&] { return openForWriting() == 0; }, 10000));
  gui_test::BoxAnswerer none("leaveQuestion", {QMessageBox::Ok});
  w.action("actLogout")->trigger();
  EXPECT_FALSE(none.done());
  EXPECT_FALSE(isMountPoint(mnt_));
}

}  // namespace
