#include "ClientEntry.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "LoginWindow.h"
#include "SingleInstance.h"

namespace ClientEntry {

void connectSecondStarts(SingleInstance& instance, LoginWindow& window) {
  QObject::connect(&instance, &SingleInstance::messageReceived, &window, [&window](const QString& text) {
    window.recvDuplicateProcess(text);
    window.showNormal();
    window.raise();
    window.activateWindow();
  });
}

namespace {

// The handler only writes a byte to this socket pair; the event loop reads
// it and does the rest.
int g_signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void routeQuitSignals(QAction* quitAction) {
  if (g_signalPipe[0] >= 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, quitAction);
  QObject::connect(notifier, &QSocketNotifier::activated, quitAction, [quitAction] {
    char buffer[16];
    while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    quitAction->trigger();
  });
  struct sigaction action = {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

}  // namespace ClientEntry
