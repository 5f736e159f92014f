#include "gui_test_support.h"

#include <sys/stat.h>
#include <unistd.h>

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
