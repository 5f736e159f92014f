// The modal dialog that shows the service's current announcement after a
// sign-in, with its modification time and a check box to stop showing it.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>

namespace Ui {
class AnnouncementWindow;
}

class AnnouncementWindow : public QDialog {
  Q_OBJECT

 public:
  // `text` in the local 8-bit code page; `time` in milliseconds since
  // 1970-01-01 00:00 UTC, shown in local time.
  AnnouncementWindow(QWidget* parent, const QByteArray& text, int64_t time);
  ~AnnouncementWindow() override;

  // The state of the "do not show again" check box.
  bool hideNext() const;

  static QString formatTime(int64_t time);

 private:
  std::unique_ptr<Ui::AnnouncementWindow> m_ui;
};
