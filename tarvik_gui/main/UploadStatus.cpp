#include "UploadStatus.h"

#include <QAction>
#include <QDebug>
#include <QMenu>
#include <QMessageBox>
#include <QStringList>
#include <QSystemTrayIcon>
#include <algorithm>

#include "DesktopNotifier.h"
#include "StatusRelay.h"
#include "tarvik.h"

namespace {

std::shared_ptr<PendingUploads>& sourceHook() {
  static std::shared_ptr<PendingUploads> source;
  return source;
}

const char* const kTrayTitle = "Ambermoor";

}  // namespace

PendingUploadCounts LibraryPendingUploads::counts(const QString& corpId, const QString& userId) {
  PendingUploadCounts counts;
  const QByteArray corp = corpId.toLocal8Bit();
  const QByteArray user = userId.toLocal8Bit();
  counts.waiting =
      tarvik_getPendingUploads(corp.constData(), user.constData(), nullptr, 0, &counts.openForWriting);
  return counts;
}

void UploadStatus::setSourceForTest(std::shared_ptr<PendingUploads> source) {
  sourceHook() = std::move(source);
}

UploadStatus::UploadStatus(QSystemTrayIcon* tray, QObject* parent)
    : QObject(parent),
      m_tray(tray),
      m_source(sourceHook() ? sourceHook() : std::make_shared<LibraryPendingUploads>()),
      m_notifier(new DesktopNotifier(tray, this)),
      m_entry(new QAction(this)) {
  m_entry->setObjectName("actPendingUploads");
  m_entry->setEnabled(false);
  m_entry->setVisible(false);
}

UploadStatus::~UploadStatus() = default;

void UploadStatus::setAccount(const QString& corpId, const QString& userId) {
  m_corpId = corpId;
  m_userId = userId;
}

void UploadStatus::addEntryTo(QMenu* menu) const {
  if (m_waiting <= 0) return;
  menu->addAction(m_entry);
  menu->addSeparator();
}

void UploadStatus::refresh() {
  if (m_corpId.isEmpty() || m_userId.isEmpty()) {
    show(0);
    return;
  }
  const PendingUploadCounts counts = m_source->counts(m_corpId, m_userId);
  if (counts.waiting < 0) qDebug("tarvik_getPendingUploads status: %d", counts.waiting);
  show(counts.waiting);
}

void UploadStatus::show(int waiting) {
  m_waiting = std::max(waiting, 0);
  m_entry->setVisible(m_waiting > 0);
  if (m_waiting == 0) {
    m_tray->setToolTip(kTrayTitle);
    return;
  }
  const QString line = m_waiting == 1 ? tr("TXT_PENDING_UPLOAD_ONE")
                                      : tr("TXT_PENDING_UPLOADS").arg(m_waiting);
  m_entry->setText(line);
  m_tray->setToolTip(QString(kTrayTitle) + "\n" + line);
}

void UploadStatus::onJournalStatus(int code, const QString& text) {
  QString summary;
  if (code == StatusRelay::kUploadKept)
    summary = tr("TXT_UPLOAD_KEPT_TITLE");
  else if (code == StatusRelay::kAllUploaded)
    summary = tr("TXT_UPLOAD_DONE_TITLE");
  else if (code == StatusRelay::kUploadConflict)
    summary = tr("TXT_UPLOAD_CONFLICT_TITLE");
  else
    return;
  m_notifier->notify(summary, text);
  refresh();
}

bool UploadStatus::confirmLeave(QWidget* parent) {
  PendingUploadCounts counts;
  if (!m_corpId.isEmpty() && !m_userId.isEmpty()) counts = m_source->counts(m_corpId, m_userId);
  show(counts.waiting);
  QStringList paragraphs;
  if (counts.waiting == 1)
    paragraphs << tr("TXT_LEAVE_PENDING_ONE_MSG");
  else if (counts.waiting > 1)
    paragraphs << tr("TXT_LEAVE_PENDING_MSG").arg(counts.waiting);
  if (counts.openForWriting == 1)
    paragraphs << tr("TXT_LEAVE_OPEN_ONE_MSG");
  else if (counts.openForWriting > 1)
    paragraphs << tr("TXT_LEAVE_OPEN_MSG").arg(counts.openForWriting);
  if (paragraphs.isEmpty()) return true;
  paragraphs << tr("TXT_LEAVE_CONFIRM_MSG");
  QMessageBox box(QMessageBox::Question, tr("TXT_CONFIRM"), paragraphs.join("\n\n"),
                  QMessageBox::Ok | QMessageBox::Cancel, parent);
  box.setObjectName("leaveQuestion");
  box.setDefaultButton(QMessageBox::Cancel);
  return box.exec() == QMessageBox::Ok;
}
