// The desktop client's controller: the login form, the tray icon and its
// menu, the mount and unmount of the drive through the library, and the
// display of the library's asynchronous error messages one at a time.
// The window is hidden while a drive is mounted. GUI thread only, except the
// status callback, which the library may call from any of its threads.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

#include "ClientSettings.h"

class QAbstractButton;
class QAction;
class QMenu;
class QTimer;

namespace Ui {
class LoginWindow;
}

class LoginWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit LoginWindow(QWidget* parent = nullptr);
  ~LoginWindow() override;

  // How error boxes and opened URLs reach the user; tests replace them
  // (an empty function restores the default).
  using ErrorBox = std::function<void(QWidget* parent, const QString& text)>;
  static void setErrorBoxForTest(ErrorBox box);
  using UrlOpener = std::function<void(const QUrl& url)>;
  static void setUrlOpenerForTest(UrlOpener opener);

  // The library's status callback: queues the message for onErrorPoll.
  static void statusCallback(int32_t code, const char* message);
  // Empties the error queue and the relogin flag (for tests).
  static void resetErrorQueueForTest();

  const ClientSettings& settings() const { return m_settings; }
  bool isMounted() const;
  QAction* action(const QString& objectName) const;

 signals:
  void quit();
  void configureScreen();

 private slots:
  void onLoginClicked();
  void onCancelClicked();
  void onSettingClicked();
  void onResetPasswordClicked();
  void onErrorWindowButtonClicked();
  void iconActivated(QSystemTrayIcon::ActivationReason reason);
  void logout();
  void onErrorPoll();
  void onUseCertChecked(int status);
  void showHelp();
  void showVersion();
  void showLogin();
  void showMountPoint();
  void onSAMLDisabled();
  void onSAMLLoggedIn(QString userId, QString jsessionid, QString arrayid);
  void onLoggedIn(QString jsessionid, QString arrayid);
  void onLogInFailed(int status);
  void onLogInFailed(QString status);
  void finalizeLoggingIn();
  void onLoggedOut();
  void onLogOutFailed();
  void startQuit();
  void onConfigureScreen();
  int startMount();

 public slots:
  // A second start of the program: show this window.
  void recvDuplicateProcess(QString str);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void errorBox(const QString& text);
  void openUrl(const QUrl& url);
  void enableLoginForm(bool enabled);
  void showAnnouncement();
  void showTrayMenu();
  void releaseCertificate();

  std::unique_ptr<Ui::LoginWindow> m_ui;
  ClientSettings m_settings;
  QString m_arrayid;
  QString m_jsessionid;
  QString m_samlUserId;
  bool m_quitting = false;
  bool m_errorShown = false;
  QString m_currentErrorText;

  QAction* m_actOpenLogin = nullptr;
  QAction* m_actOpenDrive = nullptr;
  QAction* m_actHelp = nullptr;
  QAction* m_actVersion = nullptr;
  QAction* m_actLogout = nullptr;
  QAction* m_actQuit = nullptr;
  QSystemTrayIcon* m_trayIcon = nullptr;
  QMenu* m_trayMenu = nullptr;
  QTimer* m_errorPollTimer = nullptr;
  QTimer* m_trayClickTimer = nullptr;  // a left click waits for a second one
  const struct _CERT_CONTEXT* m_certificate = nullptr;  // one reference, ours
};
