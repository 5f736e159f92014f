#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDebug>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace {

constexpr int kShownMs = 10000;

bool serviceIsOwned(const QDBusConnection& bus) {
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QDBusReply<bool> owned = bus.interface()->isServiceRegistered(DesktopNotifier::kService);
  return owned.isValid() && owned.value();
}

}  // namespace

DesktopNotifier::DesktopNotifier(QSystemTrayIcon* tray, QObject* parent)
    : QObject(parent), m_tray(tray) {}

void DesktopNotifier::notify(const QString& summary, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!serviceIsOwned(bus)) {
    showInTray(summary, body);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
  // app_name, replaces_id, app_icon (the installed icon's name), summary,
  // body, actions, hints, expire_timeout (-1: the service's default).
  call << QString("Ambermoor") << 0u << QString("tarvik_gui") << summary << body << QStringList()
       << QVariantMap() << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, summary, body](QDBusPendingCallWatcher* done) {
            if (done->isError()) {
              qDebug() << "Notify failed:" << done->error().message();
              showInTray(summary, body);
            }
            done->deleteLater();
          });
}

void DesktopNotifier::showInTray(const QString& summary, const QString& body) {
  if (m_tray) m_tray->showMessage(summary, body, QSystemTrayIcon::Information, kShownMs);
}
