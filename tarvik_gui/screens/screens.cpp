// Takes the README's screenshots from the real windows of the desktop
// client on the X display it is given (scripts/screenshots starts one with a
// window manager, a tray and the local service). One run makes the pictures
// of one language, the one the system locale selects.
//
//   tarvik_gui_screens OUTPUT_DIR SAML_CORP
//
// The client's settings (site table, account, certificate) are prepared by
// the script; the demo account's password comes in TARVIK_DEMO_PASSWORD. Each step waits for the window it shows; a step that cannot
// reach its window ends the run with a message, so a picture is never of
// the wrong state.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QWebFrame>
#include <QWebPage>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "AnnouncementWindow.h"
#include "CatalogueTranslator.h"
#include "LoginWindow.h"
#include "SAMLManager.h"
#include "SettingWindow.h"
#include "SettingsStore.h"
#include "Util.h"
#include "tarvik.h"

namespace {

QString g_out;
QString g_lang;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "tarvik_gui_screens: %s\n", what);
  tarvik_unmount();
  std::exit(1);
}

bool waitFor(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(10);
  }
  return true;
}

// Lets the window manager place and paint what was just shown.
void settle() {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 600) QApplication::processEvents(QEventLoop::AllEvents, 50);
}

// The picture as the user sees it, with the window manager's frame.
void shoot(const QRect& area, const QString& name) {
  settle();
  const QString file = g_out + "/" + name + "-" + g_lang + ".png";
  if (!QApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(file))
    fail("cannot write a picture");
  std::printf("%s\n", qPrintable(file));
}
QMargins g_frame;  // the window manager's frame, learnt from the first window

// Waits for the window manager's frame around a window, then takes it. Qt
// learns the frame of some dialogs late or never; they get the frame of the
// first window.
void shoot(QWidget* window, const QString& name) {
  if (!waitFor([&] { return window->isVisible() && window->width() > 50; }, 5000)) fail("a window did not show");
  const bool framed = waitFor([&] { return window->frameGeometry().height() > window->geometry().height(); },
                              g_frame.isNull() ? 5000 : 1500);
  if (framed) {
    const QRect f = window->frameGeometry(), g = window->geometry();
    if (g_frame.isNull()) g_frame = QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(),
                                             f.bottom() - g.bottom());
    shoot(f, name);
  } else if (!g_frame.isNull()) {
    shoot(window->geometry().marginsAdded(g_frame), name);
  } else {
    fail("a window got no frame from the window manager");
  }
}

void click(const QPoint& p, int button) {
  QProcess::execute("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y()), "click",
                                QString::number(button)});
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tarvik_gui_screens OUTPUT_DIR SAML_CORP\n");
    return 2;
  }
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  Util::initResources();
  g_lang = Util::languageCode();
  CatalogueTranslator translator;
  if (!translator.loadCatalogue(g_lang)) fail("no translation catalogue");
  app.installTranslator(&translator);
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  const QString samlCorp = QString::fromLocal8Bit(argv[2]);
  LoginWindow::setUrlOpenerForTest([](const QUrl&) {});

  {
    LoginWindow w;
    if (!waitFor([&] { return w.isVisible(); })) fail("no login window");
    w.move(80, 120);
    shoot(&w, "login-password");

    auto* useCert = w.findChild<QCheckBox*>("useCertCheck");
    auto* combo = w.findChild<QComboBox*>("certCombo");
    useCert->setChecked(true);
    if (combo->count() < 2) fail("no certificate in the store");
    combo->setCurrentIndex(1);
    shoot(&w, "login-certificate");
    // Leaving the certificate option empties the fields; the user types
    // the account again.
    useCert->setChecked(false);
    w.findChild<QLineEdit*>("corpIdInput")->setText(w.settings().corpId);
    w.findChild<QLineEdit*>("userIdInput")->setText(w.settings().userId);

    // Both tabs of the settings dialog, as the settings button opens it.
    {
      SettingWindow dialog(&w, w.settings());
      dialog.show();
      dialog.move(80, 80);
      if (!waitFor([&] { return dialog.isVisible(); })) fail("no settings dialog");
      auto* tabs = dialog.findChild<QTabWidget*>();
      tabs->setCurrentIndex(0);
      shoot(&dialog, "settings-basic");
      tabs->setCurrentIndex(1);
      shoot(&dialog, "settings-saml");
    }

    // A refused password: the library's message in the error window.
    w.findChild<QLineEdit*>("passwordInput")->setText("wrong password");
    w.findChild<QPushButton*>("loginButton")->click();
    QMessageBox* error = nullptr;
    if (!waitFor([&] { return (error = w.findChild<QMessageBox*>("errorWindow")) && error->isVisible(); }))
      fail("no error window");
    shoot(error, "error");
    error->button(QMessageBox::Ok)->click();

    // The sign-in shows the service's announcement in a modal dialog; the
    // picture is taken from inside its event loop.
    bool announced = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* dialog = qobject_cast<AnnouncementWindow*>(QApplication::activeModalWidget());
      if (!dialog || !dialog->isVisible() || announced) return;
      announced = true;
      shoot(dialog, "announcement");
      dialog->accept();
    });
    poll.start(100);
    w.findChild<QLineEdit*>("passwordInput")->setText(QString::fromLocal8Bit(qgetenv("TARVIK_DEMO_PASSWORD")));
    w.findChild<QPushButton*>("loginButton")->click();
    poll.stop();
    if (!announced) fail("no announcement after the sign-in");
    if (!w.action("actLogout")->isEnabled()) fail("the sign-in failed");

    // The tray menu, opened with a right click on the icon.
    auto* icon = w.findChild<QSystemTrayIcon*>();
    if (!waitFor([&] { return icon->geometry().x() > 0; })) fail("no tray icon");
    click(icon->geometry().center(), 3);
    QMenu* menu = nullptr;
    if (!waitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }))
      fail("no tray menu");
    const QRect screen = QApplication::primaryScreen()->geometry();
    QRect area = menu->geometry().united(icon->geometry()).adjusted(-40, -8, 8, 24);
    shoot(area.intersected(screen), "tray-menu");
    menu->close();
    w.action("actLogout")->trigger();
    if (w.action("actLogout")->isEnabled()) fail("the logout failed");
  }

  // The SAML page: the identity provider's form inside the login window.
  {
    ClientSettings s;
    SettingsStore::loadSettings(s);
    s.samlEnabled = true;
    s.samlCorpId = samlCorp;
    SettingsStore::saveSettings(s, SessionValues{});
    LoginWindow w;
    auto* saml = w.findChild<SAMLManager*>("samlManager");
    auto js = [&](const QString& e) { return saml->page()->mainFrame()->evaluateJavaScript(e).toString(); };
    if (!waitFor([&] {
          return saml->currentUrl().contains("/idp/sso?") &&
                 js("String(!!document.getElementById('username'))") == "true";
        }))
      fail("no identity provider page");
    js("document.getElementById('username').value = 'saml'");
    w.move(80, 40);
    shoot(&w, "login-saml");
  }
  return 0;
}
