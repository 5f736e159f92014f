#include "gui_test_support.h"

#include <QDir>
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

}  // namespace gui_test
