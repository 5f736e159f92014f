// Desktop notifications: sent to the notification service of the session
// bus (org.freedesktop.Notifications, method Notify), or shown as the tray
// icon's balloon when no service owns that name or the call fails.
#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

class DesktopNotifier : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kService = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";

  DesktopNotifier(QSystemTrayIcon* tray, QObject* parent);

  // Does not wait for the service: its answer arrives on the event loop.
  void notify(const QString& summary, const QString& body);

 private:
  void showInTray(const QString& summary, const QString& body);

  QSystemTrayIcon* m_tray;
};
