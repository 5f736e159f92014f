// Where the desktop client keeps its settings, and the session values it
// publishes for the context-menu extension.
//
// - The settings file: INI at <application data>/Kindrel/Ambermoor/
//   user_settings.ini (the application-data folder is $XDG_CONFIG_HOME,
//   by default ~/.config). Passwords in it are encrypted (Util::encrypt).
// - The session group: the native QSettings("Kindrel", "Ambermoor") store,
//   holding the signed-in session's values as strings. Earlier releases
//   kept all settings there; a start without a settings file reads them
//   from it once and clears it, and the next save writes the file with
//   regVersion 2.
//
// Each call opens the stores for its own duration; nothing is cached.
// GUI thread only.
#pragma once

#include <QString>

#include "ClientSettings.h"

class SettingsStore {
 public:
  static constexpr int kRegVersion = 2;

  static QString settingsFilePath();

  // Fills `settings` from the stores, with the certificate list enumerated
  // from the store and the stored certificate selected.
  static void loadSettings(ClientSettings& settings);

  // Writes the settings file and publishes the session values.
  static void saveSettings(const ClientSettings& settings, const SessionValues& session);

  // Removes the session values from the session group (at logout).
  static void clearSessionValues();
};
