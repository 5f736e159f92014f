// The tray's view of the upload journal: while files of the signed-in
// account wait for upload, the tray icon's tooltip and a disabled entry of
// its menu give their number; the journal's status messages (kept,
// all uploaded, conflict) become desktop notifications; and a logout or
// quit while files wait or are open for writing asks the user first.
// Waiting files are never cleared here: the library keeps them for the next
// sign-in. GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "PendingUploads.h"

class DesktopNotifier;
class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

class UploadStatus : public QObject {
  Q_OBJECT

 public:
  UploadStatus(QSystemTrayIcon* tray, QObject* parent);
  ~UploadStatus() override;

  // Where the counts come from for every UploadStatus made after the call
  // (an empty pointer restores the library).
  static void setSourceForTest(std::shared_ptr<PendingUploads> source);

  // The account whose waiting files are counted.
  void setAccount(const QString& corpId, const QString& userId);

  // The number shown now (0 while none wait or the library gave a status).
  int waiting() const { return m_waiting; }
  // Adds the waiting-files entry and a separator to `menu` while files wait.
  void addEntryTo(QMenu* menu) const;

  // Asks whether to go on when files wait or are open for writing on the
  // drive; true without asking when neither. The question is a modal box
  // named "leaveQuestion" over `parent`.
  bool confirmLeave(QWidget* parent);

 public slots:
  // Asks the source again and updates the tooltip and the menu entry.
  void refresh();
  // A status message of the upload journal (StatusRelay::uploadStatus).
  void onJournalStatus(int code, const QString& text);

 private:
  void show(int waiting);

  QSystemTrayIcon* m_tray;
  std::shared_ptr<PendingUploads> m_source;
  DesktopNotifier* m_notifier;
  QAction* m_entry;
  QString m_corpId;
  QString m_userId;
  int m_waiting = 0;
};
