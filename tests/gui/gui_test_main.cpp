// Entry of every desktop client test: a QApplication on the offscreen
// platform and a private configuration folder for this process, removed at
// the end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>

#include <cstdlib>
#include <string>

#include "Util.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (ctest's discovery at build time) needs no Qt at all.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  // A folder of our own, so that parallel test processes never share
  // settings; set before Qt reads any configuration path.
  std::string tmpl = QDir::tempPath().toStdString() + "/tarvik-gui-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    perror("mkdtemp");
    return 2;
  }
  const QString scratch = QString::fromStdString(tmpl);
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch));

  int rc;
  {
    QApplication app(argc, argv);
    Util::initResources();
    rc = RUN_ALL_TESTS();
  }
  QDir(scratch).removeRecursively();
  return rc;
}
