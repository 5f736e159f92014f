// The desktop client's entry: prepares the process-wide services (embedded
// resources, translation catalogue) and hands over to the login window.
#include <QApplication>

#include "CatalogueTranslator.h"
#include "Util.h"

int main(int argc, char* argv[]) {
  // Local 8-bit text is the locale's code page (Qt's default); the toolkit's
  // random generator seeds itself.
  QApplication app(argc, argv);
  Util::initResources();

  // A missing catalogue is not an error: the texts then show their keys.
  CatalogueTranslator translator;
  if (translator.loadCatalogue(Util::languageCode())) app.installTranslator(&translator);

  // The login window, which owns the tray icon and the event loop's life,
  // is built here once it exists; until then the program has nothing to show.
  return 0;
}
