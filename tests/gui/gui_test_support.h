// Shared by the desktop client's tests: the process's scratch configuration
// folder and what lives in it.
#pragma once

#include <QString>

namespace gui_test {

// The scratch folder XDG_CONFIG_HOME points at for this test process.
QString configHome();
// Empties the scratch folder (settings file, session group, certificates,
// sites.ini), so each test starts from a fresh user.
void resetConfig();
// "<configHome>/Kindrel/Ambermoor", created when missing.
QString appDataFolder();

}  // namespace gui_test
