// The desktop client's translation catalogue ("main_ja" or "main_en").
//
// Every user-visible text is a "TXT_" key. The catalogues keep all keys in
// one context, "tarvik_gui", so that a key reads the same whichever class
// asks for it (a form, LoginWindow::tr, SAMLManager::tr, ...): a look-up
// that finds nothing in the caller's own context falls back to it. A key
// that is in no catalogue shows as itself.
#pragma once

#include <QString>
#include <QStringList>
#include <QTranslator>

class CatalogueTranslator : public QTranslator {
  Q_OBJECT

 public:
  explicit CatalogueTranslator(QObject* parent = nullptr);

  // Loads "main_<language>.qm" from the first folder of searchFolders()
  // that holds it. False when no folder does (the keys are then shown).
  bool loadCatalogue(const QString& language);

  // Where the catalogues are looked for, in order: the current directory,
  // the program's folder, the installed data folder beside it
  // (<prefix>/share/tarvik_gui).
  static QStringList searchFolders();

  // The file the catalogue came from; empty before a successful load.
  QString loadedFrom() const { return loadedFrom_; }

  QString translate(const char* context, const char* sourceText,
                    const char* disambiguation = nullptr, int n = -1) const override;

  static constexpr const char* kContext = "tarvik_gui";

 private:
  QString loadedFrom_;
};
