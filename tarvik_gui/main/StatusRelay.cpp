#include "StatusRelay.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

namespace {

// Codes the library reports for information only.
bool informationOnly(int code) {
  return code == 50 || code == 51 || code == 52 || code == 53 || code == 66 ||
         (code >= 150 && code <= 199);
}

bool endsSession(int code) { return code == 1 || code == 3 || code == 5000; }

bool fromUploadJournal(int code) {
  return code == StatusRelay::kUploadKept || code == StatusRelay::kAllUploaded ||
         code == StatusRelay::kUploadConflict;
}

}  // namespace

StatusRelay& StatusRelay::instance() {
  // Whichever thread asks first, the relay belongs to the application's
  // thread, so queued calls on it run there.
  static StatusRelay* relay = [] {
    auto* r = new StatusRelay;
    if (QCoreApplication* app = QCoreApplication::instance()) r->moveToThread(app->thread());
    return r;
  }();
  return *relay;
}

void StatusRelay::report(int32_t code, const char* message) {
  if (informationOnly(code)) return;
  StatusRelay& relay = instance();
  const QString text = QString::fromLocal8Bit(message ? message : "");
  QMutexLocker lock(&relay.m_mutex);
  relay.m_pending.emplace_back(code, text);
  // One queued call takes everything reported until it runs.
  if (relay.m_deliveryPosted) return;
  relay.m_deliveryPosted = true;
  QMetaObject::invokeMethod(&relay, [&relay] { relay.deliver(); }, Qt::QueuedConnection);
}

void StatusRelay::resetForTest() {
  StatusRelay& relay = instance();
  QMutexLocker lock(&relay.m_mutex);
  relay.m_pending.clear();
}

void StatusRelay::deliver() {
  std::deque<std::pair<int, QString>> batch;
  {
    QMutexLocker lock(&m_mutex);
    batch.swap(m_pending);
    m_deliveryPosted = false;
  }
  // Signals are emitted without the lock: a slot may report again.
  for (const auto& [code, text] : batch) {
    if (fromUploadJournal(code)) {
      emit uploadStatus(code, text);
      continue;
    }
    if (endsSession(code)) emit sessionLost();
    emit errorReported(text);
  }
}
