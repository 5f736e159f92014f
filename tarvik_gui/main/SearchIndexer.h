// Stops the desktop search indexer ("WindowsSearch.exe") around a mount on
// the oldest supported system versions (5.1 and 5.2), and starts it again
// afterwards. On every other version (Linux reports its kernel's) both do
// nothing and return true. Runs on the GUI thread; the state is
// process-wide.
#pragma once

#include <QString>

class SearchIndexer {
 public:
  // The next stopIndexer() consults the command line for "-startup" (set by
  // the login window when it starts with automatic login).
  static void armStartupSwitch();

  // Stops every indexer process; `timeoutSeconds` bounds each wait for a
  // process to end. False when one could not be stopped.
  static bool stopIndexer(int timeoutSeconds);

  // Starts the indexer again when stopIndexer() stopped it. False when it
  // could not be started (it is tried again on the next call).
  static bool restartIndexer();

  // For tests: whether a restart is pending, and back to the start state.
  static bool restartPending();
  static QString imagePath();
  static void resetForTest();
};
