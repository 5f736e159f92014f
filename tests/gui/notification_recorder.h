// A desktop notification service for tests: owns
// org.freedesktop.Notifications on the session bus through a connection of
// its own (so calls to it pass through the bus daemon, as to a real
// service) and records every Notify call.
#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace gui_test {

class NotificationRecorder : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Call {
    QString appName;
    QString appIcon;
    QString summary;
    QString body;
  };

  NotificationRecorder();
  ~NotificationRecorder() override;

  // False when there is no session bus or another owner holds the name.
  bool start();

  QList<Call> calls;

 public slots:
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expireTimeout);
  QStringList GetCapabilities();

 private:
  QDBusConnection m_bus;
  bool m_started = false;
};

}  // namespace gui_test
