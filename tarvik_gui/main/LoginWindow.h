// The desktop client's controller: the login form, the tray icon and its
// menu, the mount and unmount of the drive through the library, and the
// display of the library's asynchronous messages (error windows one at a
// time, the upload journal's state in the tray). The window is hidden while
// a drive is mounted. GUI thread only, except the status callback, which the
// library may call from any of its threads.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

#include "ClientSettings.h"
#include "StatusRelay.h"

class ErrorWindowQueue;
class QAbstractButton;
class QAction;
class QMenu;
class QTimer;
class UploadStatus;

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

  // The library's status callback: hands the message to the GUI thread
  // (StatusRelay).
  static void statusCallback(int32_t code, const char* message) { StatusRelay::report(code, message); }
  // Drops the messages not yet handed over (for tests).
  static void resetErrorQueueForTest() { StatusRelay::resetForTest(); }

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
  void iconActivated(QSystemTrayIcon::ActivationReason reason);
  void logout();
  void onErrorPoll();  // opens the next waiting error window
  void onSessionLost();
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
  void startQuit();          // asks first while files wait or are open for writing
  void quitWithoutAsking();  // the end of the desktop session (a signal)
  void onConfigureScreen();
  int startMount();

 public slots:
  // A second start of the program: show this window.
  void recvDuplicateProcess(QString str);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void createActions();
  void createTray();
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

  QAction* m_actOpenLogin = nullptr;
  QAction* m_actOpenDrive = nullptr;
  QAction* m_actHelp = nullptr;
  QAction* m_actVersion = nullptr;
  QAction* m_actLogout = nullptr;
  QAction* m_actQuit = nullptr;
  QAction* m_actEndSession = nullptr;  // in no menu: quits without questions
  QSystemTrayIcon* m_trayIcon = nullptr;
  QMenu* m_trayMenu = nullptr;
  ErrorWindowQueue* m_errors = nullptr;
  UploadStatus* m_uploads = nullptr;
  QTimer* m_trayClickTimer = nullptr;  // a left click waits for a second one
  const struct _CERT_CONTEXT* m_certificate = nullptr;  // one reference, ours
};
