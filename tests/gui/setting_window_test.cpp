// The settings dialog: the order of its checks on OK, the authentication
// code for a new SAML company, the site choice, the cache usage and the SAML
// check against the local service. Also the single-instance channel of the
// program's entry.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "SettingWindow.h"
#include "SingleInstance.h"
#include "SiteTable.h"
#include "client_fixture.h"
#include "gui_test_support.h"
#include "local_service.h"
#include "tarvik.h"

namespace {

using tarvik_test::LocalService;

using gui_test::waitFor;

class SettingWindowTest : public gui_test::ServiceTest {
 protected:
  void SetUp() override {
    gui_test::resetConfig();
    // Row 1 is the local service (with its certificate host), row 2 the DR site.
    main_ = QUrl(QString::fromStdString(service_->url())).authority();
    secure_ = QUrl(QString::fromStdString(service_->certUrl())).authority();
    std::ofstream(gui_test::appDataFolder().toStdString() + "/sites.ini")
        << "[site1]\nplain=" << main_.toStdString() << "\nsecure=" << secure_.toStdString()
        << "\n[site2]\nplain=127.0.0.9:1\nsecure=127.0.0.9:2\n";
    SiteTable::reload();
    settings_.siteDomain = main_;
    SettingWindow::setErrorBoxForTest([this](QWidget*, const QString& text) { errors_ << text; });
    SettingWindow::setConfirmBoxForTest([this](QWidget*, const QString& text) {
      confirms_ << text;
      return true;
    });
  }
  void TearDown() override {
    SettingWindow::setErrorBoxForTest(nullptr);
    SettingWindow::setConfirmBoxForTest(nullptr);
  }

  template <class T>
  static T* child(SettingWindow& w, const char* name) {
    T* widget = w.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  static void clickOk(SettingWindow& w) {
    child<QDialogButtonBox>(w, "buttonBox")->button(QDialogButtonBox::Ok)->click();
  }
  // The last error shown since the previous call.
  QString takeError() {
    const QString last = errors_.isEmpty() ? QString() : errors_.last();
    errors_.clear();
    return last;
  }

  QString main_, secure_;
  ClientSettings settings_;
  QStringList errors_, confirms_;
};

TEST(SettingWindowSize, FormatsWithOneDecimalRoundedHalfUp) {
  EXPECT_EQ(SettingWindow::formatSize(0), "0 B");
  EXPECT_EQ(SettingWindow::formatSize(1023), "1023 B");
  EXPECT_EQ(SettingWindow::formatSize(1024), "1.0 KB");
  EXPECT_EQ(SettingWindow::formatSize(1075), "1.0 KB");  // 1.0498
  EXPECT_EQ(SettingWindow::formatSize(1076), "1.1 KB");  // 1.0508
  EXPECT_EQ(SettingWindow::formatSize(1024 * 1024 - 1), "1024.0 KB");
  EXPECT_EQ(SettingWindow::formatSize(3 * 512 * 1024), "1.5 MB");
  EXPECT_EQ(SettingWindow::formatSize(int64_t(1) << 40), "1.0 TB");
  EXPECT_EQ(SettingWindow::formatSize(INT64_MAX), "8192.0 PB");
}

TEST_F(SettingWindowTest, AcceptChecksInOrder) {
  settings_.useCert = true;
  settings_.siteDomain = secure_;
  SettingWindow w(nullptr, settings_);
  child<QCheckBox>(w, "useProxyCheck")->setChecked(true);
  child<QLineEdit>(w, "portInput")->clear();
  clickOk(w);
  EXPECT_EQ(takeError(), child<QLabel>(w, "hostLabel")->text() + "TXT_NOT_INPUT_MSG");
  child<QLineEdit>(w, "hostInput")->setText("proxy.example");
  clickOk(w);
  EXPECT_EQ(takeError(), child<QLabel>(w, "portLabel")->text() + "TXT_NOT_INPUT_MSG");
  child<QLineEdit>(w, "portInput")->setText("3128");

  // With the certificate option the main site must be a certificate host.
  child<QLineEdit>(w, "siteDomain")->setText(main_);
  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_INVALID_URL_ERROR");
  child<QLineEdit>(w, "siteDomain")->setText("127.0.0.9:2");
  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_INVALID_URL_ERROR") << "the DR site's host is not a main site";
  child<QLineEdit>(w, "siteDomain")->setText(secure_);

  child<QCheckBox>(w, "samlCheck")->setChecked(true);
  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_SAML_EMPTY");
  child<QLineEdit>(w, "corpId")->setText("demo-saml");
  child<QComboBox>(w, "typeCombo")->setCurrentText("SOCKS4");
  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_UNSUPPORTED_PROXY");
  child<QComboBox>(w, "typeCombo")->setCurrentText("SOCKS5");
  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_SAML_PKI_ENABLED_ERROR");
  EXPECT_FALSE(w.result() == QDialog::Accepted);

  // Without SAML the same values are accepted and read back.
  child<QCheckBox>(w, "samlCheck")->setChecked(false);
  clickOk(w);
  EXPECT_EQ(takeError(), "");
  EXPECT_EQ(w.result(), QDialog::Accepted);
  ClientSettings out = settings_;
  w.copyTo(out);
  EXPECT_TRUE(out.useProxy);
  EXPECT_EQ(out.proxyHost, "proxy.example");
  EXPECT_EQ(out.proxyPort, 3128);
  EXPECT_EQ(out.proxyType, 5);
  EXPECT_EQ(out.siteDomain, secure_);
  EXPECT_FALSE(out.useSubSite);
}

TEST_F(SettingWindowTest, NewSamlCompanyNeedsTheCodeThenAsksTheService) {
  SettingWindow w(nullptr, settings_);
  auto* code = child<QLabel>(w, "chars_show");
  auto* input = child<QLineEdit>(w, "charsInputLineEdit");
  EXPECT_FALSE(input->isEnabled()) << "no code while SAML is off";
  child<QCheckBox>(w, "samlCheck")->setChecked(true);
  EXPECT_FALSE(child<QCheckBox>(w, "savePasswordCheck")->isEnabled());
  child<QLineEdit>(w, "corpId")->setText("demo-saml");
  ASSERT_TRUE(input->isEnabled());
  const QString first = code->text();
  EXPECT_EQ(first.size(), 8);

  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_SAML_EMPTY");
  EXPECT_EQ(code->text(), first) << "an empty code keeps the code";
  input->setText(first.toLower() == first ? first.toUpper() : first.toLower());
  clickOk(w);
  EXPECT_EQ(takeError(), "TXT_SAML_INVALID") << "the code is case-sensitive";
  const QString second = code->text();
  EXPECT_NE(second, first) << "a wrong code makes a new one";
  EXPECT_TRUE(input->text().isEmpty());

  input->setText(second);
  clickOk(w);
  ASSERT_TRUE(waitFor([&] { return w.result() == QDialog::Accepted || !errors_.isEmpty(); }))
      << "the service's answer arrives";
  EXPECT_EQ(errors_, QStringList{});
  EXPECT_EQ(w.result(), QDialog::Accepted);
  EXPECT_EQ(w.samlCorpIdText(), "demo-saml");
}

TEST_F(SettingWindowTest, KnownSamlCompanyIsCheckedWithoutCodeAndRefusedWhenDisabled) {
  settings_.samlEnabled = true;
  settings_.samlCorpId = QString::fromStdString(service_->demoCorp());  // no SAML there
  SettingWindow w(nullptr, settings_);
  EXPECT_FALSE(child<QLineEdit>(w, "charsInputLineEdit")->isEnabled());
  const QString code = child<QLabel>(w, "chars_show")->text();
  clickOk(w);
  ASSERT_TRUE(waitFor([&] { return !errors_.isEmpty() || w.result() == QDialog::Accepted; }));
  EXPECT_EQ(errors_, QStringList{"TXT_SAML_INVALID"});
  EXPECT_NE(w.result(), QDialog::Accepted);
  EXPECT_NE(child<QLabel>(w, "chars_show")->text(), code);

  // Clearing the SAML settings turns SAML off and forgets the company.
  child<QPushButton>(w, "clearSAMLSettingsButton")->click();
  EXPECT_EQ(confirms_, QStringList{"TXT_SAML_SETTINGS_WILL_CLEAR"});
  EXPECT_FALSE(child<QCheckBox>(w, "samlCheck")->isChecked());
  EXPECT_TRUE(w.samlCorpIdText().isEmpty());
}

TEST_F(SettingWindowTest, DrSiteAndBackRestoresTheLastMainDomain) {
  SettingWindow w(nullptr, settings_);
  auto* domain = child<QLineEdit>(w, "siteDomain");
  domain->setText("typed.example");
  child<QRadioButton>(w, "siteSubRadio")->click();
  EXPECT_FALSE(domain->isEnabled());
  EXPECT_TRUE(domain->text().isEmpty());
  EXPECT_EQ(w.siteDomainText(), "127.0.0.9:1");
  child<QRadioButton>(w, "siteMainRadio")->click();
  EXPECT_TRUE(domain->isEnabled());
  EXPECT_EQ(domain->text(), "typed.example");
  EXPECT_EQ(w.siteDomainText(), "typed.example");

  // Opened on the DR site, the main site offers the table's main domain.
  settings_.useSubSite = true;
  settings_.siteDomain = "127.0.0.9:1";
  SettingWindow dr(nullptr, settings_);
  child<QRadioButton>(dr, "siteMainRadio")->click();
  EXPECT_EQ(child<QLineEdit>(dr, "siteDomain")->text(), main_);
}

TEST_F(SettingWindowTest, CacheUsageAndClearing) {
  // The library makes its private cache folders on first use.
  int64_t before = -1;
  ASSERT_EQ(tarvik_getCacheUsage(&before), 0);
  const std::string blocks = *root_ + "/tmp/korbel/block";
  ASSERT_TRUE(std::filesystem::is_directory(blocks));
  std::ofstream(blocks + "/one") << std::string(1024 + 512, 'x');
  {
    SettingWindow w(nullptr, settings_);
    auto* usage = child<QLabel>(w, "cacheUsageValueLabel");
    EXPECT_EQ(usage->text(), "1.5 KB");
    child<QPushButton>(w, "cacheDeleteButton")->click();
    EXPECT_EQ(confirms_, QStringList{"TXT_CLEAR_CACHE_CONFIRM_MSG"});
    EXPECT_EQ(usage->text(), "0 B");
  }
  EXPECT_FALSE(std::filesystem::exists(blocks + "/one"));
  SettingWindow again(nullptr, settings_);
  EXPECT_EQ(child<QLabel>(again, "cacheUsageValueLabel")->text(), "0 B");
}

TEST(SingleInstanceTest, SecondInstanceReachesTheFirst) {
  const QString key = "tarvik-test-" + QString::number(::getpid());
  SingleInstance first(key);
  ASSERT_TRUE(first.isPrimary());
  QSignalSpy received(&first, &SingleInstance::messageReceived);
  {
    SingleInstance second(key);
    EXPECT_FALSE(second.isPrimary());
    EXPECT_TRUE(second.sendMessage("", 5000));
  }
  ASSERT_TRUE(waitFor([&] { return received.count() == 1; }, 5000));
  EXPECT_EQ(received.at(0).at(0).toString(), "");
}

}  // namespace
