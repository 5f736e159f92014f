#include "ErrorWindowQueue.h"

#include <QDebug>
#include <QMessageBox>
#include <algorithm>

ErrorWindowQueue::ErrorWindowQueue(QWidget* owner) : QObject(owner), m_owner(owner) {}

void ErrorWindowQueue::add(const QString& text) {
  qDebug() << text;
  if (m_shown && text == m_shownText) return;
  if (std::find(m_waiting.begin(), m_waiting.end(), text) != m_waiting.end()) return;
  m_waiting.push_back(text);
  showNext();
}

void ErrorWindowQueue::showNext() {
  if (m_shown || m_waiting.empty()) return;
  m_shown = true;
  m_shownText = m_waiting.front();
  m_waiting.pop_front();
  auto* box = new QMessageBox(QMessageBox::Warning, tr("TXT_ERROR"), m_shownText, QMessageBox::Ok,
                              m_owner);
  box->setObjectName("errorWindow");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(true);
  connect(box, &QMessageBox::finished, this, &ErrorWindowQueue::onClosed);
  box->show();
}

void ErrorWindowQueue::onClosed() {
  m_shown = false;
  showNext();
}
