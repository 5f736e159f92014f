#include "CatalogueTranslator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

CatalogueTranslator::CatalogueTranslator(QObject* parent) : QTranslator(parent) {}

QStringList CatalogueTranslator::searchFolders() {
  QStringList folders;
  folders << QDir::currentPath();
  if (QCoreApplication::instance() != nullptr) {
    const QString programDir = QCoreApplication::applicationDirPath();
    folders << programDir;
    folders << QDir::cleanPath(programDir + "/../share/tarvik_gui");
  }
  folders.removeDuplicates();
  return folders;
}

bool CatalogueTranslator::loadCatalogue(const QString& language) {
  const QString name = "main_" + language + ".qm";
  for (const QString& folder : searchFolders()) {
    const QString path = QDir(folder).filePath(name);
    if (QFileInfo(path).isFile() && load(path)) {
      loadedFrom_ = path;
      return true;
    }
  }
  return false;
}

QString CatalogueTranslator::translate(const char* context, const char* sourceText,
                                       const char* disambiguation, int n) const {
  QString text = QTranslator::translate(context, sourceText, disambiguation, n);
  if (text.isNull() && qstrcmp(context, kContext) != 0)
    text = QTranslator::translate(kContext, sourceText, disambiguation, n);
  return text;
}
