#include "gui_test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdlib>
#include <filesystem>

namespace gui_test {

QString configHome() { return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")); }

void resetConfig() {
  QDir home(configHome());
  for (const QFileInfo& entry :
       home.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
    if (entry.isDir() && !entry.isSymLink())
      QDir(entry.absoluteFilePath()).removeRecursively();
    else
      QFile::remove(entry.absoluteFilePath());
  }
}

QString appDataFolder() {
  const QString path = configHome() + "/Kindrel/Ambermoor";
  QDir().mkpath(path);
  return path;
}

bool waitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

BoxAnswerer::BoxAnswerer(const QString& name, QList<QMessageBox::StandardButton> answers, int ms)
    : name_(name), answers_(std::move(answers)), ms_(ms) {
  clock_.start();
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
  timer_.start();
}

void BoxAnswerer::poll() {
  if (answers_.isEmpty() || clock_.elapsed() > ms_) {
    timer_.stop();
    return;
  }
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(window);
    if (box == nullptr || !box->isVisible() || box->objectName() != name_) continue;
    QAbstractButton* button = box->button(answers_.front());
    if (button == nullptr) continue;
    texts << box->text();
    answers_.pop_front();
    button->click();
    return;
  }
}

}  // namespace gui_test

std::string gui_test::makeScratchUser(const std::string& prefix, bool withHome) {
  const std::string root = QDir::tempPath().toStdString() + "/" + prefix + "-" + std::to_string(::getpid());
  std::filesystem::create_directories(root + "/home");
  std::filesystem::create_directories(root + "/tmp");
  ::chmod((root + "/tmp").c_str(), 0700);
  setenv("USERPROFILE", (root + "/home").c_str(), 1);
  setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  // Drive letters name folders under $HOME/Ambermoor.
  if (withHome) setenv("HOME", (root + "/home").c_str(), 1);
  return root;
}
