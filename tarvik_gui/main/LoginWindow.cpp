#include "LoginWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "AnnouncementWindow.h"
#include "ErrorWindowQueue.h"
#include "SAMLManager.h"
#include "SearchIndexer.h"
#include "SettingWindow.h"
#include "SettingsStore.h"
#include "SiteTable.h"
#include "StatusRelay.h"
#include "TrayMenu.h"
#include "UploadStatus.h"
#include "Util.h"
#include "tarvik.h"
#include "mount_points.h"
#include "ui_LoginWindow.h"
#include "wincrypt.h"

namespace {

LoginWindow::ErrorBox& errorBoxHook() {
  static LoginWindow::ErrorBox box;
  return box;
}

LoginWindow::UrlOpener& urlOpenerHook() {
  static LoginWindow::UrlOpener opener;
  return opener;
}

}  // namespace

void LoginWindow::setErrorBoxForTest(ErrorBox box) { errorBoxHook() = std::move(box); }
void LoginWindow::setUrlOpenerForTest(UrlOpener opener) { urlOpenerHook() = std::move(opener); }

LoginWindow::LoginWindow(QWidget* parent) : QMainWindow(parent), m_ui(new Ui::LoginWindow) {
  m_ui->setupUi(this);
  m_ui->loginGroupBox->setTitle(tr("TXT_LOGIN_TITLE"));
  m_ui->useCertCheck->setText(tr("TXT_USE_CERT"));
  m_ui->certFileLabel->setText(tr("TXT_CERT_FILE"));
  m_ui->corpIdLabel->setText(tr("TXT_CORP_ID"));
  m_ui->userIdLabel->setText(tr("TXT_USER_ID"));
  m_ui->passwordLabel->setText(tr("TXT_PASS"));
  m_ui->resetPasswordButton->setText(tr("TXT_RESET_PASS"));
  m_ui->settingButton->setText(tr("TXT_SETTING"));
  m_ui->loginButton->setText(tr("TXT_LOGIN"));
  m_ui->cancelButton->setText(tr("TXT_CANCEL"));

  createActions();
  createTray();

  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  SettingsStore::loadSettings(m_settings);
  m_ui->corpIdInput->setText(m_settings.corpId);
  m_ui->userIdInput->setText(m_settings.userId);
  m_ui->passwordInput->setText(m_settings.password);
  for (const Certificate& cert : m_settings.certificates)
    m_ui->certCombo->addItem(cert.displayName());
  m_ui->certCombo->setCurrentIndex(m_settings.certIndex);
  m_ui->useCertCheck->setChecked(m_settings.useCert);
  enableLoginForm(true);
  m_ui->settingButton->setEnabled(true);
  m_actLogout->setEnabled(false);
  m_actOpenDrive->setEnabled(false);

  connect(m_ui->loginButton, &QPushButton::clicked, this, &LoginWindow::onLoginClicked);
  connect(m_ui->cancelButton, &QPushButton::clicked, this, &LoginWindow::onCancelClicked);
  connect(m_ui->resetPasswordButton, &QPushButton::clicked, this,
          &LoginWindow::onResetPasswordClicked);
  connect(m_ui->useCertCheck, &QCheckBox::stateChanged, this, &LoginWindow::onUseCertChecked);
  connect(m_ui->settingButton, &QPushButton::clicked, this, &LoginWindow::onSettingClicked);

  // Files left waiting by the last session show before the next sign-in.
  if (!m_settings.samlEnabled) m_uploads->setAccount(m_settings.corpId, m_settings.userId);
  m_uploads->refresh();

  connect(this, &LoginWindow::quit, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  SAMLManager* saml = m_ui->samlManager;
  connect(saml, qOverload<QString, QString, QString>(&SAMLManager::loggedIn), this,
          &LoginWindow::onSAMLLoggedIn);
  connect(saml, qOverload<int>(&SAMLManager::logInFailed), this,
          qOverload<int>(&LoginWindow::onLogInFailed));
  connect(saml, qOverload<QString>(&SAMLManager::logInFailed), this,
          qOverload<QString>(&LoginWindow::onLogInFailed));
  connect(this, &LoginWindow::configureScreen, this, &LoginWindow::onConfigureScreen);
  emit configureScreen();

  if (m_settings.autoLogin) {
    SearchIndexer::armStartupSwitch();
    onLoginClicked();
  } else {
    show();
  }
}

void LoginWindow::createActions() {
  auto makeAction = [this](const char* name, const QString& text) {
    auto* act = new QAction(text, this);
    act->setObjectName(QString::fromLatin1(name));
    return act;
  };
  m_actOpenLogin = makeAction("actOpenLogin", tr("TXT_OPEN_LOGIN"));
  m_actOpenDrive = makeAction("actOpenDrive", tr("TXT_OPEN_DRIVE"));
  m_actHelp = makeAction("actHelp", tr("TXT_HELP"));
  m_actVersion = makeAction("actVersion", tr("TXT_VERSION"));
  m_actLogout = makeAction("actLogout", tr("TXT_LOGOUT"));
  m_actQuit = makeAction("actQuit", tr("TXT_QUIT"));
  m_actEndSession = makeAction("actEndSession", tr("TXT_QUIT"));
  connect(m_actOpenLogin, &QAction::triggered, this, &LoginWindow::showLogin);
  connect(m_actOpenDrive, &QAction::triggered, this, &LoginWindow::showMountPoint);
  connect(m_actHelp, &QAction::triggered, this, &LoginWindow::showHelp);
  connect(m_actVersion, &QAction::triggered, this, &LoginWindow::showVersion);
  connect(m_actLogout, &QAction::triggered, this, &LoginWindow::logout);
  // Quit unmounts a mounted drive first: a process that ends under its
  // FUSE drive loses unsaved writes and leaves a dead mount point.
  connect(m_actQuit, &QAction::triggered, this, &LoginWindow::startQuit);
  connect(m_actEndSession, &QAction::triggered, this, &LoginWindow::quitWithoutAsking);
}

// The tray icon and what reaches the user through it and beside it: the
// upload journal's state and the library's error windows.
void LoginWindow::createTray() {
  m_trayIcon = new QSystemTrayIcon(QIcon(":/images/Resources/icon.png"), this);
  m_trayIcon->setToolTip("Ambermoor");
  connect(m_trayIcon, &QSystemTrayIcon::activated, this, &LoginWindow::iconActivated);
  m_trayClickTimer = new QTimer(this);
  m_trayClickTimer->setSingleShot(true);
  m_trayClickTimer->setInterval(QApplication::doubleClickInterval());
  connect(m_trayClickTimer, &QTimer::timeout, this, &LoginWindow::showTrayMenu);
  m_trayIcon->setVisible(true);
  m_uploads = new UploadStatus(m_trayIcon, this);
  m_errors = new ErrorWindowQueue(this);
  StatusRelay& relay = StatusRelay::instance();
  connect(&relay, &StatusRelay::errorReported, m_errors, &ErrorWindowQueue::add);
  connect(&relay, &StatusRelay::sessionLost, this, &LoginWindow::onSessionLost);
  connect(&relay, &StatusRelay::uploadStatus, m_uploads, &UploadStatus::onJournalStatus);
}

LoginWindow::~LoginWindow() {
  delete m_trayMenu;
  releaseCertificate();
}

bool LoginWindow::isMounted() const { return m_actLogout->isEnabled(); }

QAction* LoginWindow::action(const QString& objectName) const {
  return findChild<QAction*>(objectName, Qt::FindDirectChildrenOnly);
}

void LoginWindow::errorBox(const QString& text) {
  if (errorBoxHook()) {
    errorBoxHook()(this, text);
    return;
  }
  QMessageBox box(QMessageBox::Warning, tr("TXT_ERROR"), text, QMessageBox::Ok, this);
  box.exec();
}

void LoginWindow::openUrl(const QUrl& url) {
  if (urlOpenerHook())
    urlOpenerHook()(url);
  else
    QDesktopServices::openUrl(url);
}

void LoginWindow::enableLoginForm(bool enabled) {
  const bool cert = m_ui->useCertCheck->isChecked();
  m_ui->useCertCheck->setEnabled(enabled);
  m_ui->certCombo->setEnabled(enabled && cert);
  m_ui->corpIdInput->setEnabled(enabled && !cert);
  m_ui->userIdInput->setEnabled(enabled && !cert);
  m_ui->passwordInput->setEnabled(enabled && !cert);
  m_ui->loginButton->setEnabled(enabled);
}

void LoginWindow::releaseCertificate() {
  if (m_certificate) CertFreeCertificateContext(m_certificate);
  m_certificate = nullptr;
}

void LoginWindow::onConfigureScreen() {
  SAMLManager* saml = m_ui->samlManager;
  saml->setUseProxy(m_settings.useProxy);
  if (m_settings.useProxy) {
    saml->setProxyHost(m_settings.proxyHost);
    saml->setProxyPort(m_settings.proxyPort);
    saml->setProxyType(m_settings.proxyType);
    saml->setProxyUsername(m_settings.proxyUsername);
    saml->setProxyPassword(m_settings.proxyPassword);
    QStringList excluded;
    for (const QString& part : m_settings.proxyExcluded.split(',')) {
      const QString host = part.trimmed();
      if (!host.isEmpty()) excluded << host;
    }
    saml->setProxyExcluded(excluded);
  }
  if (m_settings.samlEnabled) {
    setFixedSize(800, 600);
    m_ui->stackedWidget->setCurrentWidget(m_ui->page2);
    saml->onSAMLEnabled(SiteTable::baseUrlFor(m_settings.siteDomain), m_settings.samlCorpId);
    m_ui->loginButton->hide();
    m_ui->loginButton->setText(tr("TXT_RELOGIN"));
  } else {
    // Scales the designer size with the screen's density (96 dpi is 1).
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dx = screen ? screen->logicalDotsPerInchX() : 96.0;
    const double dy = screen ? screen->logicalDotsPerInchY() : 96.0;
    const double fx = (dx / 96.0 - 1.0) * 0.5 + 1.0;
    const double fy = (dy / 96.0 - 1.0) * 0.5 + 1.0;
    m_ui->stackedWidget->setCurrentWidget(m_ui->page1);
    m_ui->loginButton->show();
    m_ui->loginButton->setText(tr("TXT_LOGIN"));
    setFixedSize(Util::fixedSizeFor(this, QSize(static_cast<int>(446 * fx), static_cast<int>(300 * fy))));
  }
}

void LoginWindow::onUseCertChecked(int status) {
  const bool checked = status == Qt::Checked;
  m_settings.useCert = checked;
  m_ui->certCombo->setEnabled(checked);
  for (QLineEdit* field : {m_ui->corpIdInput, m_ui->userIdInput, m_ui->passwordInput}) {
    if (checked) field->clear();
    field->setEnabled(!checked);
  }
  m_settings.siteDomain =
      SiteTable::active().defaultSiteDomain(m_settings.useSubSite, checked, m_settings.samlEnabled);
}

void LoginWindow::onLoginClicked() {
  if (m_settings.samlEnabled) {
    m_ui->samlManager->onSAMLEnabled(SiteTable::baseUrlFor(m_settings.siteDomain),
                                     m_settings.samlCorpId);
    m_ui->loginButton->hide();
    return;
  }
  if (m_ui->useCertCheck->isChecked()) {
    if (m_ui->certCombo->currentIndex() <= 0) {
      errorBox(tr("TXT_NOT_SELECT_CERT_MSG"));
      return;
    }
  } else {
    for (auto [field, label] : {std::pair{m_ui->corpIdInput, m_ui->corpIdLabel},
                                std::pair{m_ui->userIdInput, m_ui->userIdLabel}}) {
      if (field->text().isEmpty()) {
        errorBox(label->text() + tr("TXT_NOT_INPUT_MSG"));
        field->setFocus();
        return;
      }
    }
    // An empty password is refused by tarvik_mount with 1111.
  }
  onSAMLDisabled();
}

int LoginWindow::startMount() {
  SearchIndexer::stopIndexer(5);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (m_settings.autoClearCache) qDebug("tarvik_clearCache status: %d", tarvik_clearCache());

  int s;
  if (m_settings.useProxy)
    s = tarvik_setProxy(m_settings.proxyHost.toLocal8Bit().constData(), m_settings.proxyPort,
                        m_settings.proxyType, m_settings.proxyUsername.toLocal8Bit().constData(),
                        m_settings.proxyPassword.toLocal8Bit().constData());
  else
    s = tarvik_setProxy("", 0, 0, "", "");
  qDebug("tarvik_setProxy status: %d", s);
  if (s != 0) return s;

  releaseCertificate();
  if (m_ui->useCertCheck->isChecked() && !m_settings.samlEnabled) {
    m_settings.certIndex = m_ui->certCombo->currentIndex();
    m_certificate = m_settings.selectedCertificate().findInStore();
    if (!m_certificate) return 1112;
    s = tarvik_setCertificate(m_certificate);
  } else {
    s = tarvik_setCertificate(nullptr);
  }
  qDebug("tarvik_setCertificate status: %d", s);
  if (s != 0) return s;

  const QByteArray baseUrl = SiteTable::baseUrlFor(m_settings.siteDomain).toLocal8Bit();
  const QByteArray language = Util::languageCode().toLatin1();
  s = tarvik_init(baseUrl.constData(), language.constData(), m_settings.outputLog,
                  &LoginWindow::statusCallback);
  qDebug("tarvik_init(baseURL=%s, language=%s, debug=%d) status: %d", baseUrl.constData(),
         language.constData(), m_settings.outputLog ? 1 : 0, s);
  return s;
}

void LoginWindow::onSAMLDisabled() {
  int s = startMount();
  if (s != 0) {
    onLogInFailed(s);
    return;
  }
  if (m_ui->certCombo->currentIndex() > 0 && !m_ui->passwordInput->isEnabled()) {
    qDebug("try to getPKIInfo");
    char corp[TARVIK_CORPID_SIZE] = {0};
    char user[TARVIK_USERID_SIZE] = {0};
    bool needsPassword = false;
    s = tarvik_getPKIInfo(corp, user, &needsPassword);
    qDebug("tarvik_getPKIInfo status: %d", s);
    if (s == 0) {
      m_ui->corpIdInput->setText(QString::fromLocal8Bit(corp));
      m_ui->userIdInput->setText(QString::fromLocal8Bit(user));
      if (needsPassword) m_ui->passwordInput->setEnabled(true);
    }
  }
  m_settings.samlEnabled = false;
  const QByteArray corpId = m_ui->corpIdInput->text().toLocal8Bit();
  const QByteArray userId = m_ui->userIdInput->text().toLocal8Bit();
  const QByteArray password = m_ui->passwordInput->text().toLocal8Bit();
  s = tarvik_mount(m_settings.mountPoint.toLocal8Bit().constData(), corpId.constData(),
                   userId.constData(), password.constData(), 16, false);
  qDebug("tarvik_mount status(corpId:%s, userId:%s) status: %d", corpId.constData(),
         userId.constData(), s);
  if (s == 0) {
    char js[TARVIK_JSESSIONID_SIZE] = {0};
    char ar[TARVIK_ARRAYID_SIZE] = {0};
    qDebug("tarvik_getSessionInfo: %d", tarvik_getSessionInfo(js, ar));
    qDebug() << "arrayid:" << ar;
    qDebug() << "jsessionid:" << js;
    m_settings.corpId = m_ui->corpIdInput->text();
    m_settings.userId = m_ui->userIdInput->text();
    m_settings.password = m_ui->passwordInput->text();
    onLoggedIn(QString::fromLocal8Bit(js), QString::fromLocal8Bit(ar));
  }
  qDebug("exiting onSAMLDisabled");
  if (s != 0) onLogInFailed(s);
}

void LoginWindow::onSAMLLoggedIn(QString userId, QString jsessionid, QString arrayid) {
  qDebug("onSAMLLoggedIn");
  m_samlUserId = userId;
  int s = startMount();
  if (s != 0) {
    onLogInFailed(s);
    return;
  }
  m_settings.samlEnabled = true;
  qDebug() << m_settings.mountPoint << m_settings.samlCorpId << userId << jsessionid << arrayid;
  s = tarvik_mountForSession(m_settings.mountPoint.toLocal8Bit().constData(),
                             m_settings.samlCorpId.toLocal8Bit().constData(),
                             userId.toLocal8Bit().constData(), jsessionid.toLocal8Bit().constData(),
                             arrayid.toLocal8Bit().constData(), 16, false);
  if (s == 0)
    onLoggedIn(jsessionid, arrayid);
  else
    onLogInFailed(s);
}

void LoginWindow::onLoggedIn(QString jsessionid, QString arrayid) {
  m_jsessionid = jsessionid;
  m_arrayid = arrayid;
  if (m_settings.samlEnabled)
    m_uploads->setAccount(m_settings.samlCorpId, m_samlUserId);
  else
    m_uploads->setAccount(m_settings.corpId, m_settings.userId);
  m_uploads->refresh();
  finalizeLoggingIn();
  showAnnouncement();
  SettingsStore::saveSettings(m_settings, SessionValues{m_arrayid, m_jsessionid, m_samlUserId});
  enableLoginForm(false);
  m_ui->settingButton->setEnabled(false);
  m_actLogout->setEnabled(true);
  m_actOpenDrive->setEnabled(true);
  m_actOpenDrive->trigger();
  hide();
}

void LoginWindow::showAnnouncement() {
  QByteArray text(TARVIK_ANNOUNCEMENT_SIZE, '\0');
  int64_t time = 0;
  const int s = tarvik_getAnnouncement(false, text.data(), &time);
  qDebug("tarvik_getAnnouncement status: %d", s);
  text.truncate(static_cast<int>(qstrlen(text.constData())));
  if (s != 0 || text.isEmpty()) return;
  AnnouncementWindow dialog(this, text, time);
  if (dialog.exec() == QDialog::Accepted && dialog.hideNext())
    qDebug("tarvik_markReadCurrentAnnouncement status: %d", tarvik_markReadCurrentAnnouncement());
}

void LoginWindow::onLogInFailed(int status) {
  if (status == 0) qDebug("this should not be reached");
  qDebug("login failed!");
  if (m_settings.autoLogin) m_actOpenLogin->trigger();
  if (status == 1111) {
    errorBox(tr("TXT_NOT_INPUT_PASS_MSG"));
    m_ui->passwordInput->setEnabled(true);
    m_ui->passwordInput->setFocus();
  } else if (status == 1112) {
    errorBox(tr("TXT_CERT_NOT_FOUND_MSG"));
  }
  finalizeLoggingIn();
}

void LoginWindow::onLogInFailed(QString status) {
  qDebug("login failed!");
  if (m_settings.autoLogin) m_actOpenLogin->trigger();
  errorBox(status);
  finalizeLoggingIn();
}

void LoginWindow::finalizeLoggingIn() {
  SearchIndexer::restartIndexer();
  while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
}

void LoginWindow::logout() {
  if (!m_quitting && !m_uploads->confirmLeave(this)) return;
  m_actOpenLogin->setEnabled(false);
  m_trayIcon->showMessage(QString(), tr("TXT_LOGOUTING"), QSystemTrayIcon::NoIcon, 10000);
  const int s = tarvik_unmount();
  qDebug("tarvik_unmount status: %d", s);
  m_uploads->refresh();
  m_trayIcon->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 10000);
  // The session is over for the context-menu extension either way.
  SettingsStore::clearSessionValues();
  m_actOpenLogin->setEnabled(true);
  if (m_settings.samlEnabled) {
    SAMLManager* saml = m_ui->samlManager;
    connect(saml, &SAMLManager::loggedOut, this, &LoginWindow::onLoggedOut, Qt::UniqueConnection);
    connect(saml, &SAMLManager::logOutFailed, this, &LoginWindow::onLogOutFailed,
            Qt::UniqueConnection);
    saml->logout();
  } else if (s != 0) {
    onLogOutFailed();
  } else {
    onLoggedOut();
  }
}

void LoginWindow::onLoggedOut() {
  qDebug("LoginWindow::onLoggedOut()");
  qDebug() << "_quitting =" << m_quitting;
  if (m_quitting) {
    emit quit();
  } else {
    enableLoginForm(true);
    m_ui->settingButton->setEnabled(true);
    m_actLogout->setEnabled(false);
    m_actOpenDrive->setEnabled(false);
    if (m_settings.samlEnabled) m_ui->loginButton->show();
    show();
  }
  m_quitting = false;
}

void LoginWindow::onLogOutFailed() {
  qDebug("LoginWindow::onLogOutFailed()");
  errorBox(tr("TXT_LOGOUT_FAIL_MSG"));
  qDebug() << "_quitting =" << m_quitting;
  if (m_quitting) emit quit();
  m_quitting = false;
}

void LoginWindow::startQuit() {
  if (m_uploads->confirmLeave(this)) quitWithoutAsking();
}

void LoginWindow::quitWithoutAsking() {
  if (isMounted()) {
    m_quitting = true;
    m_actLogout->trigger();
  } else {
    emit quit();
  }
}

void LoginWindow::onErrorPoll() { m_errors->showNext(); }

void LoginWindow::onSessionLost() {
  // The library has ended the session; the drive is no longer ours.
  enableLoginForm(true);
  m_ui->settingButton->setEnabled(true);
  m_actLogout->setEnabled(false);
  m_actOpenDrive->setEnabled(false);
  m_actOpenLogin->trigger();
}

void LoginWindow::iconActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Context) {
    showTrayMenu();
  } else if (reason == QSystemTrayIcon::Trigger) {
    // A left click shows the menu once it is clear that no second click
    // follows: an open menu takes the pointer, so the second click of a
    // double click would only close it again.
    m_trayClickTimer->start();
  } else if (reason == QSystemTrayIcon::DoubleClick) {
    m_trayClickTimer->stop();
    (isMounted() ? m_actOpenDrive : m_actOpenLogin)->trigger();
  }
}

void LoginWindow::showTrayMenu() {
  delete m_trayMenu;
  m_trayMenu = new QMenu();
  m_uploads->addEntryTo(m_trayMenu);
  m_trayMenu->addAction(m_actOpenLogin);
  m_trayMenu->addAction(m_actOpenDrive);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_actHelp);
  m_trayMenu->addAction(m_actVersion);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_actLogout);
  m_trayMenu->addAction(m_actQuit);
  TrayMenu::popUpAt(m_trayMenu, m_trayIcon->geometry());
}

void LoginWindow::showLogin() {
  showNormal();
  activateWindow();
}

void LoginWindow::recvDuplicateProcess(QString) { show(); }

void LoginWindow::showMountPoint() {
  const QString path = QString::fromStdString(
      dokan::MountDirectoryFor(m_settings.mountPoint.toLocal8Bit().toStdString()));
  qDebug() << "mount point:" << path;
  // The drive appears shortly after the mount returns; give it 5 seconds.
  for (int poll = 0; poll < 10; ++poll) {
    const QDir dir(path);
    if (dir.exists() && !dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty()) {
      openUrl(QUrl::fromLocalFile(path));
      return;
    }
    QThread::msleep(500);
  }
}

void LoginWindow::showHelp() {
  const SiteTable& sites = SiteTable::active();
  openUrl(QUrl(SiteTable::baseUrlFor(sites.plainSiteDomain(m_settings.siteDomain)) + "help/qwo/" +
               Util::languageCode() + "/"));
}

void LoginWindow::onResetPasswordClicked() {
  const SiteTable& sites = SiteTable::active();
  openUrl(QUrl(SiteTable::baseUrlFor(sites.plainSiteDomain(m_settings.siteDomain)) +
               "request_reset"));
}

void LoginWindow::showVersion() {
  QMessageBox::information(this, tr("TXT_VERSION"),
                           "Ambermoor QWO Version " + QString::fromLocal8Bit(tarvik_getVersionString()));
}

void LoginWindow::onSettingClicked() {
  m_settings.useCert = m_ui->useCertCheck->isChecked();
  SettingWindow dialog(this, m_settings);
  if (dialog.exec() != QDialog::Accepted) return;
  dialog.copyTo(m_settings);
  const QString samlCorpId = dialog.samlCorpIdText();
  if (samlCorpId != m_settings.samlCorpId) {
    m_settings.samlCorpId = samlCorpId;
    if (m_settings.samlEnabled)
      m_ui->samlManager->onSAMLEnabled(SiteTable::baseUrlFor(m_settings.siteDomain),
                                       m_settings.samlCorpId);
  }
  emit configureScreen();
}

void LoginWindow::onCancelClicked() {
  if (isMounted())
    hide();
  else
    m_actQuit->trigger();
}

void LoginWindow::closeEvent(QCloseEvent* event) {
  if (!m_trayIcon->isVisible()) {
    QMainWindow::closeEvent(event);
    return;
  }
  event->ignore();
  if (isMounted())
    hide();
  else
    m_actQuit->trigger();
}
