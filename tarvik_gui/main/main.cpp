// The desktop client's entry: prepares the process-wide services (text
// codec, embedded resources, translation catalogue), makes sure
// one instance runs per user session and hands over to the login window.
#include <QApplication>
#include <QTextCodec>
#include <memory>

#include "CatalogueTranslator.h"
#include "ClientEntry.h"
#include "LoginWindow.h"
#include "SingleInstance.h"
#include "Util.h"

int main(int argc, char* argv[]) {
  // The authentication codes of the settings dialog come from the toolkit's
  // global generator, which seeds itself from the system.
  QTextCodec::setCodecForLocale(QTextCodec::codecForLocale());

  auto app = std::make_unique<QApplication>(argc, argv);
  Util::initResources();

  // A missing catalogue is not an error: the texts then show their keys.
  auto translator = std::make_unique<CatalogueTranslator>();
  if (translator->loadCatalogue(Util::languageCode())) app->installTranslator(translator.get());

  SingleInstance instance;
  if (!instance.isPrimary()) {
    // The running instance shows its window; this start ends quietly even
    // when it could not be reached.
    instance.sendMessage(QString(), 5000);
    return 0;
  }

  // The program lives in the tray and ends only through an explicit quit.
  app->setQuitOnLastWindowClosed(false);
  auto window = std::make_unique<LoginWindow>();
  ClientEntry::connectSecondStarts(instance, *window);
  ClientEntry::routeQuitSignals(window->action("actEndSession"));
  const int rc = app->exec();
  window.reset();
  translator.reset();
  app.reset();
  return rc;
}
