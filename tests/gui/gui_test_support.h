// Shared by the desktop client's tests: the process's scratch configuration
// folder and what lives in it.
#pragma once

#include <QString>

#include <functional>

namespace gui_test {

// The scratch folder XDG_CONFIG_HOME points at for this test process.
QString configHome();
// Empties the scratch folder (settings file, session group, certificates,
// sites.ini), so each test starts from a fresh user.
void resetConfig();
// "<configHome>/Kindrel/Ambermoor", created when missing.
QString appDataFolder();
// Runs the event loop until `done` holds or `ms` have passed; false on time-out.
bool waitFor(const std::function<bool()>& done, int ms = 20000);

}  // namespace gui_test
