#include "SettingWindow.h"

#include <QDebug>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>

#include "SAMLNetwork.h"
#include "SiteTable.h"
#include "Util.h"
#include "tarvik.h"
#include "ui_SettingWindow.h"

namespace {

// The library's proxy types, in the order the kind box lists them.
const struct {
  int value;
  const char* name;
} kProxyKinds[] = {{0, "HTTP"}, {4, "SOCKS4"}, {5, "SOCKS5"}, {6, "SOCKS4A"}};

// The browser's network layer reaches the service through these only.
bool browserSupportsProxy(int type) { return type == 0 || type == 5; }

const QString kCodeAlphabet = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";

SettingWindow::ErrorBox& errorBoxHook() {
  static SettingWindow::ErrorBox box;
  return box;
}

SettingWindow::ConfirmBox& confirmBoxHook() {
  static SettingWindow::ConfirmBox box;
  return box;
}

}  // namespace

void SettingWindow::setErrorBoxForTest(ErrorBox box) { errorBoxHook() = std::move(box); }
void SettingWindow::setConfirmBoxForTest(ConfirmBox box) { confirmBoxHook() = std::move(box); }

SettingWindow::SettingWindow(QWidget* parent, const ClientSettings& s)
    : QDialog(parent), m_ui(new Ui::SettingWindow), m_useCert(s.useCert) {
  m_ui->setupUi(this);
  for (const auto& kind : kProxyKinds) m_ui->typeCombo->addItem(kind.name, kind.value);
  m_ui->typeCombo->setCurrentIndex(m_ui->typeCombo->findData(s.proxyType));

  m_ui->useProxyCheck->setChecked(s.useProxy);
  m_ui->hostInput->setText(s.proxyHost);
  m_ui->portInput->setText(QString::number(s.proxyPort));
  m_ui->userInput->setText(s.proxyUsername);
  m_ui->passwordInput->setText(s.proxyPassword);
  m_ui->proxyExcluded->setText(s.proxyExcluded);
  m_ui->outputLogCheck->setChecked(s.outputLog);
  m_ui->autoClearCacheCheck->setChecked(s.autoClearCache);
  m_ui->savePasswordCheck->setChecked(s.savePassword);
  m_ui->autoLoginCheck->setChecked(s.autoLogin);
  m_ui->autoLoginCheck->setEnabled(s.savePassword);
  m_ui->samlCheck->setChecked(s.samlEnabled);
  m_ui->corpId->setText(s.samlCorpId);
  m_initialSamlCorpId = s.samlCorpId;

  setWindowTitle(tr("TXT_SETTING"));
  m_ui->proxyGroupBox->setTitle(tr("TXT_PROXY_TITLE"));
  m_ui->useProxyCheck->setText(tr("TXT_USE_PROXY"));
  m_ui->typeLabel->setText(tr("TXT_KIND"));
  m_ui->hostLabel->setText(tr("TXT_ADDRESS"));
  m_ui->portLabel->setText(tr("TXT_PORT"));
  m_ui->userLabel->setText(tr("TXT_USER_NAME"));
  m_ui->passwordLabel->setText(tr("TXT_PASS"));
  m_ui->proxyExcludedLabel->setText(tr("TXT_PROXY_EXCLUDED"));
  m_ui->cacheGroupBox->setTitle(tr("TXT_CACHE"));
  m_ui->cacheUsageKeyLabel->setText(tr("TXT_CACHE_USAGE"));
  m_ui->cacheDeleteButton->setText(tr("TXT_CLEAR_CACHE"));
  m_ui->autoClearCacheCheck->setText(tr("TXT_AUTO_CLEAR_CACHE"));
  m_ui->loginGroupBox->setTitle(tr("TXT_LOGIN_SETTING_TITLE"));
  m_ui->savePasswordCheck->setText(tr("TXT_SAVE_PASSWORD"));
  m_ui->autoLoginCheck->setText(tr("TXT_AUTO_LOGIN"));
  m_ui->driveLabel->setText(tr("TXT_DRIVE"));
  m_ui->outputLogCheck->setText(tr("TXT_OUTPUT_LOG"));
  m_ui->siteLabel->setText(tr("TXT_SITE"));
  m_ui->siteMainRadio->setText(tr("TXT_SITE_MAIN"));
  m_ui->siteSubRadio->setText(tr("TXT_SITE_SUB"));
  m_ui->siteDescriptionLabel->setText(tr("TXT_SITE_DESCRIPTION"));
  m_ui->tabWidget->setTabText(m_ui->tabWidget->indexOf(m_ui->basicTab), tr("TXT_BASIC_SETTINGS"));
  m_ui->samlDescription->setText(tr("TXT_SAML_DESCRIPTION"));
  m_ui->samlCheck->setText(tr("TXT_SAML_CHECK"));
  m_ui->corpIdLabel->setText(tr("TXT_CORP_ID"));
  m_ui->charsInputLabel->setText(tr("TXT_SAML_CHARS_INPUT"));
  m_ui->chars_regenerate->setText(tr("TXT_SAML_CHARS_INPUT_REGENERATE"));
  m_ui->charsPromptLabel->setText(tr("TXT_SAML_CHARS_PROMPT"));
  m_ui->clearSAMLSettingsButton->setText(tr("TXT_SAML_SETTINGS_CLEAR"));
  m_ui->tabWidget->setTabText(m_ui->tabWidget->indexOf(m_ui->samlTab), tr("TXT_SAML_SETTINGS"));
  if (QPushButton* cancel = m_ui->buttonBox->button(QDialogButtonBox::Cancel))
    cancel->setText(tr("TXT_CANCEL"));
  onSAMLChecked(s.samlEnabled);

  const SiteTable& sites = SiteTable::active();
  if (s.useSubSite) {
    m_mainSiteDomain = sites.defaultSiteDomain(false, m_useCert, s.samlEnabled);
    m_ui->siteSubRadio->setChecked(true);
    m_ui->siteDomain->setEnabled(false);
  } else {
    m_mainSiteDomain = s.siteDomain;
    m_ui->siteMainRadio->setChecked(true);
    m_ui->siteDomain->setText(s.siteDomain);
  }

  enableProxyInputs(s.useProxy);
  refreshCacheUsage();

  m_ui->driveCombo->addItems(Util::freeDriveLetters());
  m_ui->driveCombo->setCurrentIndex(qMax(0, m_ui->driveCombo->findText(s.mountPoint)));

  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dx = screen ? screen->logicalDotsPerInchX() : 96.0;
  const double dy = screen ? screen->logicalDotsPerInchY() : 96.0;
  const double fx = (dx / 96.0 - 1.0) * 0.5 + 1.0;
  const double fy = (dy / 96.0 - 1.0) / 1.5 + 1.0;
  m_ui->charsInputLineEdit->setMinimumWidth(static_cast<int>(120 * fy));
  setFixedSize(Util::fixedSizeFor(this, QSize(static_cast<int>(500 * fx), static_cast<int>(690 * fy))));

  connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &SettingWindow::accept);
  connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &SettingWindow::reject);
  connect(m_ui->useProxyCheck, &QCheckBox::stateChanged, this, &SettingWindow::onUseProxyChecked);
  connect(m_ui->cacheDeleteButton, &QPushButton::clicked, this, &SettingWindow::onCacheDeleteClicked);
  connect(m_ui->savePasswordCheck, &QCheckBox::stateChanged, this,
          &SettingWindow::onSavePasswordChecked);
  connect(m_ui->samlCheck, &QCheckBox::toggled, this, qOverload<bool>(&SettingWindow::onSAMLChecked));
  connect(m_ui->chars_regenerate, &QPushButton::clicked, this, &SettingWindow::regenerateRandomChars);
  connect(m_ui->corpId, &QLineEdit::textChanged, this, &SettingWindow::onCorpIdChanged);
  connect(m_ui->clearSAMLSettingsButton, &QPushButton::clicked, this,
          &SettingWindow::clearSAMLSettings);
  connect(m_ui->siteMainRadio, &QRadioButton::clicked, this, &SettingWindow::onSiteRadioButtonClicked);
  connect(m_ui->siteSubRadio, &QRadioButton::clicked, this, &SettingWindow::onSiteRadioButtonClicked);
  connect(m_ui->siteDomain, &QLineEdit::textChanged, this, &SettingWindow::onSiteDomainChanged);
}

SettingWindow::~SettingWindow() = default;

void SettingWindow::copyTo(ClientSettings& s) const {
  s.useProxy = m_ui->useProxyCheck->isChecked();
  s.proxyHost = m_ui->hostInput->text();
  s.proxyPort = m_ui->portInput->text().toInt();
  s.proxyType = m_ui->typeCombo->currentData().isValid() ? m_ui->typeCombo->currentData().toInt() : s.proxyType;
  s.proxyUsername = m_ui->userInput->text();
  s.proxyPassword = m_ui->passwordInput->text();
  s.proxyExcluded = m_ui->proxyExcluded->text();
  s.outputLog = m_ui->outputLogCheck->isChecked();
  s.savePassword = m_ui->savePasswordCheck->isChecked();
  s.autoLogin = m_ui->autoLoginCheck->isChecked();
  s.useSubSite = m_ui->siteSubRadio->isChecked();
  s.siteDomain = siteDomainText();
  s.autoClearCache = m_ui->autoClearCacheCheck->isChecked();
  s.samlEnabled = m_ui->samlCheck->isChecked();
  s.mountPoint = m_ui->driveCombo->currentText();
}

QString SettingWindow::samlCorpIdText() const { return m_ui->corpId->text(); }

QString SettingWindow::siteDomainText() const {
  if (m_ui->siteSubRadio->isChecked())
    return SiteTable::active().defaultSiteDomain(true, m_useCert, m_ui->samlCheck->isChecked());
  return m_ui->siteDomain->text();
}

QString SettingWindow::formatSize(int64_t bytes) {
  if (bytes < 1024) return QString::number(bytes) + " B";
  static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
  int power = 0;
  unsigned __int128 unit = 1024;
  while (power < 4 && static_cast<unsigned __int128>(bytes) >= unit * 1024) {
    unit *= 1024;
    ++power;
  }
  // Tenths of the unit, rounded half up, in integers so nothing is lost to
  // floating point.
  const unsigned __int128 tenths = (static_cast<unsigned __int128>(bytes) * 10 + unit / 2) / unit;
  const auto whole = static_cast<unsigned long long>(tenths / 10);
  const auto tenth = static_cast<unsigned>(tenths % 10);
  return QString("%1.%2 %3").arg(whole).arg(tenth).arg(units[power]);
}

void SettingWindow::errorBox(const QString& text) {
  if (errorBoxHook()) {
    errorBoxHook()(this, text);
    return;
  }
  QMessageBox box(QMessageBox::Warning, tr("TXT_ERROR"), text, QMessageBox::Ok, this);
  box.exec();
}

bool SettingWindow::confirmBox(const QString& text) {
  if (confirmBoxHook()) return confirmBoxHook()(this, text);
  QMessageBox box(QMessageBox::Question, tr("TXT_CONFIRM"), text,
                  QMessageBox::Ok | QMessageBox::Cancel, this);
  return box.exec() == QMessageBox::Ok;
}

void SettingWindow::refreshCacheUsage() {
  int64_t bytes = 0;
  const int s = tarvik_getCacheUsage(&bytes);
  qDebug("tarvik_getCachedUsage status: %d", s);
  if (s == 0) m_ui->cacheUsageValueLabel->setText(formatSize(bytes));
}

void SettingWindow::enableProxyInputs(bool enabled) {
  for (QWidget* input : {static_cast<QWidget*>(m_ui->typeCombo), static_cast<QWidget*>(m_ui->hostInput),
                         static_cast<QWidget*>(m_ui->portInput), static_cast<QWidget*>(m_ui->userInput),
                         static_cast<QWidget*>(m_ui->passwordInput),
                         static_cast<QWidget*>(m_ui->proxyExcluded)})
    input->setEnabled(enabled);
}

void SettingWindow::onUseProxyChecked(int status) { enableProxyInputs(status == Qt::Checked); }

void SettingWindow::onSavePasswordChecked(int status) {
  const bool checked = status == Qt::Checked;
  m_ui->autoLoginCheck->setEnabled(checked);
  if (!checked) m_ui->autoLoginCheck->setChecked(false);
}

void SettingWindow::onCacheDeleteClicked() {
  if (!confirmBox(tr("TXT_CLEAR_CACHE_CONFIRM_MSG"))) return;
  const int s = tarvik_clearCache();
  qDebug("tarvik_clearCache status: %d", s);
  if (s == 0)
    m_ui->cacheUsageValueLabel->setText("0 B");
  else
    refreshCacheUsage();
}

void SettingWindow::onSAMLChecked(int status) { onSAMLChecked(status == Qt::Checked); }

void SettingWindow::onSAMLChecked(bool samlEnabled) {
  if (!samlEnabled) {
    m_ui->corpId->setText(m_initialSamlCorpId);
  } else {
    m_ui->savePasswordCheck->setChecked(false);
    m_ui->autoLoginCheck->setChecked(false);
  }
  m_ui->savePasswordCheck->setEnabled(!samlEnabled);
  m_ui->autoLoginCheck->setEnabled(m_ui->savePasswordCheck->isEnabled() &&
                                   m_ui->savePasswordCheck->isChecked());
  m_ui->corpId->setEnabled(samlEnabled);
  onCorpIdChanged(m_ui->corpId->text());
  if (m_ui->corpId->text().isEmpty() && m_initialSamlCorpId.isEmpty())
    m_ui->charsInputLineEdit->clear();
}

void SettingWindow::regenerateRandomChars() {
  QString code;
  for (int i = 0; i < 8; ++i) code += kCodeAlphabet.at(QRandomGenerator::global()->bounded(kCodeAlphabet.size()));
  m_ui->chars_show->setText(code);
  m_ui->charsInputLineEdit->clear();
}

void SettingWindow::onCorpIdChanged(QString corpId) {
  const bool sameAsBefore = corpId == m_initialSamlCorpId && !m_initialSamlCorpId.isEmpty();
  const bool required = m_ui->samlCheck->isChecked() && !sameAsBefore;
  const bool wasDisabled = !m_ui->charsInputLineEdit->isEnabled();
  m_ui->charsInputLabel->setEnabled(required);
  m_ui->chars_regenerate->setEnabled(required);
  m_ui->charsInputLineEdit->setEnabled(required);
  if (!required) {
    m_ui->charsInputLabel->clear();
    m_ui->charsInputLineEdit->setText(QString(8, QChar(0x25CF)));
  } else if (wasDisabled) {
    m_ui->charsInputLabel->setText(tr("TXT_SAML_CHARS_INPUT"));
    regenerateRandomChars();
  }
}

void SettingWindow::clearSAMLSettings() {
  if (!confirmBox(tr("TXT_SAML_SETTINGS_WILL_CLEAR"))) return;
  m_initialSamlCorpId.clear();
  m_ui->samlCheck->setChecked(false);
  m_ui->corpId->clear();
  m_ui->charsInputLineEdit->clear();
}

void SettingWindow::onSiteRadioButtonClicked() {
  if (m_ui->siteMainRadio->isChecked()) {
    m_ui->siteDomain->setEnabled(true);
    m_ui->siteDomain->setText(m_mainSiteDomain);
  } else {
    m_ui->siteDomain->setEnabled(false);
    m_ui->siteDomain->clear();
  }
}

void SettingWindow::onSiteDomainChanged(QString domain) {
  if (m_ui->siteMainRadio->isChecked()) m_mainSiteDomain = domain;
}

void SettingWindow::accept() {
  const bool proxy = m_ui->useProxyCheck->isChecked();
  if (proxy) {
    for (auto [input, label] : {std::pair{m_ui->hostInput, m_ui->hostLabel},
                                std::pair{m_ui->portInput, m_ui->portLabel}}) {
      if (input->text().isEmpty()) {
        errorBox(label->text() + tr("TXT_NOT_INPUT_MSG"));
        input->setFocus();
        return;
      }
    }
  }
  if (m_ui->siteMainRadio->isChecked()) {
    const SiteTable& sites = SiteTable::active();
    const QString domain = m_ui->siteDomain->text();
    if (!sites.isTableDomain(domain, m_useCert) || sites.isSubSiteDomain(domain)) {
      errorBox(tr("TXT_INVALID_URL_ERROR"));
      return;
    }
  }
  if (!m_ui->samlCheck->isChecked()) {
    QDialog::accept();
    return;
  }
  if (m_ui->corpId->text().isEmpty()) {
    errorBox(tr("TXT_SAML_EMPTY"));
    m_ui->corpId->setFocus();
    return;
  }
  if (proxy && !browserSupportsProxy(proxyType())) {
    onProxyTypeNotSupported();
    return;
  }
  if (m_useCert) {
    errorBox(tr("TXT_SAML_PKI_ENABLED_ERROR"));
    return;
  }
  if (m_ui->corpId->text() != m_initialSamlCorpId &&
      m_ui->charsInputLineEdit->text() != m_ui->chars_show->text()) {
    qDebug() << m_ui->charsInputLineEdit->text() << m_ui->chars_show->text();
    if (m_ui->charsInputLineEdit->text().isEmpty()) {
      errorBox(tr("TXT_SAML_EMPTY"));
    } else {
      errorBox(tr("TXT_SAML_INVALID"));
      regenerateRandomChars();
    }
    m_ui->charsInputLineEdit->setFocus();
    return;
  }
  if (!m_network) m_network = new SAMLNetwork(this, this);
  m_network->getSAMLLoginInfo();
}

QString SettingWindow::baseUrl() {
  const QString domain = siteDomainText();
  return SiteTable::active().isKnownSiteDomain(domain) ? SiteTable::baseUrlFor(domain) : QString();
}

QString SettingWindow::corpId() { return m_ui->corpId->text(); }
bool SettingWindow::useProxy() { return m_ui->useProxyCheck->isChecked(); }
QString SettingWindow::proxyHost() { return m_ui->hostInput->text(); }
int SettingWindow::proxyPort() { return m_ui->portInput->text().toInt(); }
int SettingWindow::proxyType() {
  const QVariant value = m_ui->typeCombo->currentData();
  return value.isValid() ? value.toInt() : -1;
}
QString SettingWindow::proxyUsername() { return m_ui->userInput->text(); }
QString SettingWindow::proxyPassword() { return m_ui->passwordInput->text(); }

QStringList SettingWindow::proxyExcluded() {
  QStringList hosts;
  for (const QString& part : m_ui->proxyExcluded->text().split(',')) {
    const QString host = part.trimmed();
    if (!host.isEmpty()) hosts << host;
  }
  return hosts;
}

void SettingWindow::onProxyTypeNotSupported() {
  errorBox(tr("TXT_UNSUPPORTED_PROXY"));
  m_ui->proxyGroupBox->setFocus();
}

void SettingWindow::onGetSAMLLoginInfo(bool enabled, QString) {
  if (enabled) {
    QDialog::accept();
    return;
  }
  errorBox(tr("TXT_SAML_INVALID"));
  regenerateRandomChars();
}

void SettingWindow::onGetSAMLLoginInfoError(QString errorMessage) {
  errorBox(errorMessage);
  regenerateRandomChars();
}

void SettingWindow::onSSLError() {}
