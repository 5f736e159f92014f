#include "gui_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdlib>

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
