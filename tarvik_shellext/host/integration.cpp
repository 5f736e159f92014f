// File-manager entries for the context-menu host (see integration.h).
#include "integration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ctxmenu {
namespace {

const char* const kThunarId = "tarvik-ambermoor-ctxmenu";
const char* const kEntryName = "Ambermoor";
const char* const kEntryComment = "Ambermoor commands for the selected items";

std::string envDir(const char* var, const char* fallbackBelowHome) {
  const char* v = getenv(var);
  if (v && v[0] == '/') return v;
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "/") + "/" + fallbackBelowHome;
}

std::string dataHome() { return envDir("XDG_DATA_HOME", ".local/share"); }
std::string configHome() { return envDir("XDG_CONFIG_HOME", ".config"); }

std::string nautilusScript() { return dataHome() + "/nautilus/scripts/Ambermoor"; }
std::string nemoAction() { return dataHome() + "/nemo/actions/tarvik-ambermoor.nemo_action"; }
std::string thunarActions() { return configHome() + "/Thunar/uca.xml"; }
std::string dolphinServiceMenu() { return dataHome() + "/kio/servicemenus/tarvik-ambermoor.desktop"; }

bool makeDirs(const std::string& dir) {
  std::string partial;
  std::stringstream ss(dir);
  for (std::string piece; std::getline(ss, piece, '/');) {
    if (piece.empty()) continue;
    partial += "/" + piece;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string dirOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Writes beside the target and renames, so a reader never sees half a file.
bool writeFile(const std::string& path, const std::string& text, mode_t mode, std::string* error) {
  if (!makeDirs(dirOf(path))) {
    *error = "cannot create " + dirOf(path) + ": " + strerror(errno);
    return false;
  }
  std::string tmp = path + ".tmp-" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      *error = "cannot write " + tmp;
      unlink(tmp.c_str());
      return false;
    }
  }
  if (chmod(tmp.c_str(), mode) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool readFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}

// A program path inside double quotes, for the desktop-entry style Exec
// lines (Nemo, Dolphin) and Thunar's command line.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\' || c == '`' || c == '$') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string xmlEscaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string thunarAction(const std::string& host) {
  return std::string("<action>\n") + "\t<icon>folder-remote</icon>\n" + "\t<name>" + kEntryName + "</name>\n" +
         "\t<submenu></submenu>\n" + "\t<unique-id>" + kThunarId + "</unique-id>\n" + "\t<command>" +
         xmlEscaped(quoted(host) + " %F") + "</command>\n" + "\t<description>" + kEntryComment +
         "</description>\n" + "\t<range>*</range>\n" + "\t<patterns>*</patterns>\n" + "\t<directories/>\n" +
         "\t<audio-files/>\n" + "\t<image-files/>\n" + "\t<other-files/>\n" + "\t<text-files/>\n" +
         "\t<video-files/>\n" + "</action>\n";
}

// Removes the host's <action> block from a uca.xml text; false when the text
// holds none.
bool removeThunarAction(std::string* xml) {
  size_t id = xml->find(std::string("<unique-id>") + kThunarId + "</unique-id>");
  if (id == std::string::npos) return false;
  size_t begin = xml->rfind("<action>", id);
  size_t end = xml->find("</action>", id);
  if (begin == std::string::npos || end == std::string::npos) return false;
  end += strlen("</action>");
  if (end < xml->size() && (*xml)[end] == '\n') ++end;
  xml->erase(begin, end - begin);
  return true;
}

// The actions Thunar shows when the user has no file of their own: the first
// system-wide uca.xml, so that installing keeps the defaults.
std::string thunarDefaults() {
  const char* dirs = getenv("XDG_CONFIG_DIRS");
  std::stringstream ss(dirs && *dirs ? dirs : "/etc/xdg");
  for (std::string d; std::getline(ss, d, ':');) {
    std::string text;
    if (!d.empty() && readFile(d + "/Thunar/uca.xml", &text)) return text;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";
}

bool installThunar(const std::string& host, std::string* error) {
  std::string path = thunarActions();
  std::string xml;
  if (!readFile(path, &xml)) xml = thunarDefaults();
  removeThunarAction(&xml);
  size_t close = xml.rfind("</actions>");
  if (close == std::string::npos) {
    *error = path + " holds no <actions> list; left unchanged";
    return false;
  }
  xml.insert(close, thunarAction(host));
  return writeFile(path, xml, 0644, error);
}

}  // namespace

std::vector<IntegrationFile> integrationFiles() {
  return {{"nautilus", nautilusScript()},
          {"nemo", nemoAction()},
          {"thunar", thunarActions()},
          {"dolphin", dolphinServiceMenu()}};
}

bool installIntegration(const std::string& host, std::string* error) {
  std::string script = "#!/bin/sh\n"
                       "# Ambermoor commands for the selected items. Nautilus runs scripts in the\n"
                       "# folder shown, with the selected names as arguments.\n"
                       "exec " + shellQuoted(host) + " -- \"$@\"\n";
  std::string nemo = std::string("[Nemo Action]\n") + "Name=" + kEntryName + "\n" + "Comment=" + kEntryComment +
                     "\n" + "Exec=" + quoted(host) + " %F\n" + "Icon-Name=folder-remote\n" +
                     "Selection=notnone\n" + "Extensions=any;\n" + "Quote=double\n";
  std::string dolphin = std::string("[Desktop Entry]\n") + "Type=Service\n" + "MimeType=all/all;\n" +
                        "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n" + "X-KDE-Priority=TopLevel\n" +
                        "Actions=ambermoor;\n\n" + "[Desktop Action ambermoor]\n" + "Name=" + kEntryName + "\n" +
                        "Icon=folder-remote\n" + "Exec=" + quoted(host) + " %F\n";
  // Dolphin and Nautilus run only entries that are executable.
  return writeFile(nautilusScript(), script, 0755, error) && writeFile(nemoAction(), nemo, 0644, error) &&
         installThunar(host, error) && writeFile(dolphinServiceMenu(), dolphin, 0755, error);
}

bool uninstallIntegration(std::string* error) {
  for (const std::string& p : {nautilusScript(), nemoAction(), dolphinServiceMenu()}) {
    if (unlink(p.c_str()) != 0 && errno != ENOENT) {
      *error = "cannot remove " + p + ": " + strerror(errno);
      return false;
    }
  }
  std::string xml;
  if (readFile(thunarActions(), &xml) && removeThunarAction(&xml))
    return writeFile(thunarActions(), xml, 0644, error);
  return true;
}

}  // namespace ctxmenu
