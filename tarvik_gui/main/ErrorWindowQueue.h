// The library's error messages, shown to the user one window at a time.
// A message arriving while its own text is shown or already waits is
// collapsed into that one; other messages wait until the window is closed.
// GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <deque>

class QWidget;

class ErrorWindowQueue : public QObject {
  Q_OBJECT

 public:
  // Windows open over `owner` (modal, named "errorWindow").
  explicit ErrorWindowQueue(QWidget* owner);

  void add(const QString& text);
  // Opens the window for the next waiting message unless one is open.
  void showNext();

 private:
  void onClosed();

  QWidget* m_owner;
  std::deque<QString> m_waiting;
  bool m_shown = false;
  QString m_shownText;
};
