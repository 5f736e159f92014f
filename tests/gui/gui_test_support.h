// Shared by the desktop client's tests: the process's scratch configuration
// folder and what lives in it.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <string>

namespace gui_test {

// The scratch folder XDG_CONFIG_HOME points at for this test process.
QString configHome();
// Empties the scratch folder (settings file, session group, certificates,
// sites.ini), so each test starts from a fresh user.
void resetConfig();
// "<configHome>/Kindrel/Ambermoor", created when missing.
QString appDataFolder();
// A scratch user for this process: "<tmp>/<prefix>-<pid>" with home/ and a
// private tmp/, USERPROFILE and TMPDIR (and HOME with `withHome`) pointing at
// them. Returns the folder; the caller removes it.
std::string makeScratchUser(const std::string& prefix, bool withHome);
// Runs the event loop until `done` holds or `ms` have passed; false on time-out.
bool waitFor(const std::function<bool()>& done, int ms = 20000);

// Answers the message boxes named `name` as they open (also inside the
// nested event loop of a modal exec()), one answer per box in order, and
// records their texts. Stops when every answer is given or after `ms`.
class BoxAnswerer {
 public:
  BoxAnswerer(const QString& name, QList<QMessageBox::StandardButton> answers, int ms = 15000);
  QStringList texts;  // of the boxes answered, in order
  bool done() const { return answers_.isEmpty(); }

 private:
  void poll();
  QString name_;
  QList<QMessageBox::StandardButton> answers_;
  QTimer timer_;
  QElapsedTimer clock_;
  int ms_;
};

}  // namespace gui_test
