// The settings dialog: proxy, cache, login, drive, log, site and SAML
// settings of the logged-out user. It edits a copy of the login window's
// settings and never writes the stores; the login window copies the values
// back when it is accepted. Before accepting SAML settings it asks the
// service whether SAML sign-in is enabled for the company, through its own
// SAMLNetwork. GUI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "ClientSettings.h"
#include "SAMLManagerLike.h"

class SAMLNetwork;
namespace Ui {
class SettingWindow;
}

class SettingWindow : public QDialog, public SAMLManagerLike {
  Q_OBJECT

 public:
  // `settings` with its useCert member as the login form's certificate option.
  SettingWindow(QWidget* parent, const ClientSettings& settings);
  ~SettingWindow() override;

  // Copies the accepted values into `settings` (all but the SAML corporate ID).
  void copyTo(ClientSettings& settings) const;
  QString samlCorpIdText() const;
  // The site domain to use: the DR site's by the table, or the one typed.
  QString siteDomainText() const;
  // "512 B", "1.0 KB", "1.5 MB": one decimal, rounded half up.
  static QString formatSize(int64_t bytes);

  // How error and confirmation boxes reach the user; tests replace them (an
  // empty function restores the default).
  using ErrorBox = std::function<void(QWidget* parent, const QString& text)>;
  using ConfirmBox = std::function<bool(QWidget* parent, const QString& text)>;
  static void setErrorBoxForTest(ErrorBox box);
  static void setConfirmBoxForTest(ConfirmBox box);

  // SAMLManagerLike, for the dialog's SAML check.
  QString baseUrl() override;
  QString corpId() override;
  bool useProxy() override;
  QString proxyHost() override;
  int proxyPort() override;
  int proxyType() override;
  QString proxyUsername() override;
  QString proxyPassword() override;
  QStringList proxyExcluded() override;

 public slots:
  void onProxyTypeNotSupported() override;
  void onGetSAMLLoginInfo(bool enabled, QString idpUrl) override;
  void onGetSAMLLoginInfoError(QString errorMessage) override;
  void onSSLError() override;
  void onUseProxyChecked(int status);
  void onSavePasswordChecked(int status);
  void onCacheDeleteClicked();
  void accept() override;
  void onSAMLChecked(int status);
  void onSAMLChecked(bool samlEnabled);
  void regenerateRandomChars();
  void onCorpIdChanged(QString corpId);
  void clearSAMLSettings();
  void onSiteRadioButtonClicked();
  void onSiteDomainChanged(QString domain);

 private:
  void errorBox(const QString& text);
  bool confirmBox(const QString& text);
  void refreshCacheUsage();
  void enableProxyInputs(bool enabled);

  std::unique_ptr<Ui::SettingWindow> m_ui;
  QString m_initialSamlCorpId;
  bool m_useCert = false;
  QString m_mainSiteDomain;
  SAMLNetwork* m_network = nullptr;
};
