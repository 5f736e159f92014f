// The file-manager entries that call the host with the selection: a Nautilus
// script, a Nemo action, a Thunar custom action (merged into the user's
// uca.xml) and a Dolphin service menu. Each opens the host's menu for the
// selected items; none of these file managers can limit an entry to the
// paths of one mounted drive, so the host offers nothing elsewhere.
#pragma once

#include <string>
#include <vector>

namespace ctxmenu {

struct IntegrationFile {
  std::string fileManager;  // "nautilus", "nemo", "thunar", "dolphin"
  std::string path;
};

// Where each file manager reads its entry, from XDG_DATA_HOME and
// XDG_CONFIG_HOME (or their defaults under HOME).
std::vector<IntegrationFile> integrationFiles();

// Writes every entry with `hostPath` as the program to run. Returns false
// with the reason in `error` when one could not be written; the user's own
// Thunar actions are kept in every case.
bool installIntegration(const std::string& hostPath, std::string* error);

// Removes the entries again (and only the host's action from uca.xml).
bool uninstallIntegration(std::string* error);

}  // namespace ctxmenu
