#include "notification_recorder.h"

namespace gui_test {

namespace {
const char* const kConnection = "tarvik-test-notifications";
const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
}  // namespace

NotificationRecorder::NotificationRecorder()
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnection)) {}

NotificationRecorder::~NotificationRecorder() {
  if (m_started) {
    m_bus.unregisterObject(kPath);
    m_bus.unregisterService(kService);
  }
  QDBusConnection::disconnectFromBus(kConnection);
}

bool NotificationRecorder::start() {
  if (!m_bus.isConnected()) return false;
  if (!m_bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots)) return false;
  m_started = m_bus.registerService(kService);
  return m_started;
}

uint NotificationRecorder::Notify(const QString& appName, uint, const QString& appIcon,
                                  const QString& summary, const QString& body, const QStringList&,
                                  const QVariantMap&, int) {
  calls.append(Call{appName, appIcon, summary, body});
  return static_cast<uint>(calls.size());
}

QStringList NotificationRecorder::GetCapabilities() { return {"body"}; }

}  // namespace gui_test
