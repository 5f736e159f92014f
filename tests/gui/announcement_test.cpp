// The announcement dialog: its form, the text from the local code page, the
// time in local time (also the epoch), the check box and the OK button.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <ctime>

#include "AnnouncementWindow.h"

namespace {

// Runs the test in a fixed time zone nine hours east of UTC (no daylight
// saving), restoring the previous one afterwards.
class FixedZone {
 public:
  FixedZone() {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) previous_ = tz;
    setenv("TZ", "XST-9", 1);
    tzset();
  }
  ~FixedZone() {
    if (hadTz_)
      setenv("TZ", previous_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool hadTz_ = false;
  std::string previous_;
};

TEST(AnnouncementWindow, ShowsTextAndLocalTimeAndReportsTheCheckBox) {
  FixedZone zone;
  // 2026-03-01 14:05:59.900 UTC is 23:05 there.
  const int64_t time = 1772373959900LL;
  AnnouncementWindow window(nullptr, QString("Wartung am Sonntag 2:00–4:00").toLocal8Bit(), time);

  auto* area = window.findChild<QPlainTextEdit*>("announcementArea");
  auto* mday = window.findChild<QLabel*>("mdayLabel");
  auto* modified = window.findChild<QLabel*>("modifiedLabel");
  auto* hideNext = window.findChild<QCheckBox*>("hideNextCheckbox");
  auto* ok = window.findChild<QPushButton*>("okButton");
  ASSERT_TRUE(area && mday && modified && hideNext && ok);

  EXPECT_EQ(area->toPlainText(), QString("Wartung am Sonntag 2:00–4:00"));
  EXPECT_TRUE(area->isReadOnly());
  EXPECT_EQ(mday->text(), "2026/03/01 23:05");
  // Without a catalogue the keys show.
  EXPECT_EQ(window.windowTitle(), "TXT_ANNOUNCEMENT");
  EXPECT_EQ(modified->text(), "TXT_MODIFIED_DATE");
  EXPECT_EQ(hideNext->text(), "TXT_NOT_SHOW_AGAIN");
  EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "fixed size";

  // The epoch itself is shown in local time too.
  EXPECT_EQ(AnnouncementWindow::formatTime(0), "1970/01/01 09:00");

  // Checking the box and pressing OK accepts with the box checked.
  EXPECT_FALSE(window.hideNext());
  hideNext->setChecked(true);
  window.show();
  QTest::mouseClick(ok, Qt::LeftButton);
  EXPECT_EQ(window.result(), QDialog::Accepted);
  EXPECT_TRUE(window.hideNext());
}

}  // namespace
