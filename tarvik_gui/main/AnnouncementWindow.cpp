#include "AnnouncementWindow.h"

#include <QDateTime>

#include "ui_AnnouncementWindow.h"

AnnouncementWindow::AnnouncementWindow(QWidget* parent, const QByteArray& text, int64_t time)
    : QDialog(parent), m_ui(std::make_unique<Ui::AnnouncementWindow>()) {
  m_ui->setupUi(this);
  setWindowTitle(tr("TXT_ANNOUNCEMENT"));
  m_ui->modifiedLabel->setText(tr("TXT_MODIFIED_DATE"));
  m_ui->hideNextCheckbox->setText(tr("TXT_NOT_SHOW_AGAIN"));
  setFixedSize(sizeHint());
  // The service's text goes through the catalogue too, which leaves it as it
  // is unless the catalogue has an entry for it.
  const QString announcement = QString::fromLocal8Bit(text);
  m_ui->announcementArea->setPlainText(tr(announcement.toUtf8().constData()));
  m_ui->mdayLabel->setText(formatTime(time));
}

AnnouncementWindow::~AnnouncementWindow() = default;

bool AnnouncementWindow::hideNext() const { return m_ui->hideNextCheckbox->isChecked(); }

QString AnnouncementWindow::formatTime(int64_t time) {
  return QDateTime::fromMSecsSinceEpoch(time, Qt::UTC).toLocalTime().toString("yyyy/MM/dd HH:mm");
}
