// The program-level wiring of the desktop client, shared by main() and the
// tests that drive the whole program: later starts of the program and the
// process's termination signals reach the login window.
#pragma once

class LoginWindow;
class QAction;
class SingleInstance;

namespace ClientEntry {

// A later start of the program shows the login window of this one.
void connectSecondStarts(SingleInstance& instance, LoginWindow& window);

// SIGTERM (session logout, kill), SIGINT (Ctrl-C in a terminal) and SIGHUP
// trigger `quitAction` from the event loop, so the program ends as Quit in
// the tray menu ends it: a mounted drive is logged out and unmounted first.
// The program passes the login window's "actEndSession", which asks no
// questions: nobody may be there to answer them.
// A process that ends under its FUSE drive loses the writes not yet sent and
// leaves a dead mount point. Call once per process.
void routeQuitSignals(QAction* quitAction);

}  // namespace ClientEntry
