// The library's status callback and its way to the GUI thread. The library
// calls report() from any of its threads (and sometimes from the GUI thread
// inside one of its exports); every message is queued under a lock and
// delivered, in the order reported, by a queued call on the application's
// thread, where the signals below are emitted. Nothing is dropped on the
// way: repeated error texts are collapsed by the error windows, not here.
#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <utility>

class StatusRelay : public QObject {
  Q_OBJECT

 public:
  // The one relay of the process, living in the application's thread.
  static StatusRelay& instance();

  // The function given to tarvik_init. Any thread.
  static void report(int32_t code, const char* message);

  // Drops what was reported but not yet delivered (for tests).
  static void resetForTest();

  // Codes of the upload journal: a file is kept for a later upload, no file
  // waits any more, a waiting file went up under a conflict name.
  static constexpr int kUploadKept = 1006;
  static constexpr int kAllUploaded = 1007;
  static constexpr int kUploadConflict = 1008;

 signals:
  // A message for the user's error window.
  void errorReported(QString text);
  // The service ended the session: the user must sign in again. Emitted
  // before the errorReported of the same message.
  void sessionLost();
  // One of the upload journal's codes with the library's worded message.
  void uploadStatus(int code, QString text);

 private:
  StatusRelay() = default;
  void deliver();

  QMutex m_mutex;
  std::deque<std::pair<int, QString>> m_pending;  // guarded by m_mutex
  bool m_deliveryPosted = false;                  // guarded by m_mutex
};
