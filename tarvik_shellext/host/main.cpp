// tarvik-ctxmenu: plays the desktop's context-menu host for the extension.
//
// It loads the extension, hands it the selected paths as a drop-file list,
// calls Initialize and QueryContextMenu, and then either prints the offered
// commands (--list), runs one (--invoke N), or shows them as a small menu at
// the pointer and runs the one chosen. Confirmations are dialogs when there
// is a display and terminal prompts otherwise.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fileapi.h"
#include "integration.h"
#include "tarvik_shellext.h"
#include "unicode.h"

namespace {

// First command id given to the extension; its items are numbered from 0
// for --list and --invoke (the verb is the id less this).
constexpr UINT kFirstCommandId = 1;
constexpr UINT kLastCommandId = 0x7FFF;

const char* const kUsage =
    "usage: tarvik-ctxmenu [--list | --invoke N] [--extension LIB] [--] PATH...\n"
    "       tarvik-ctxmenu --install | --uninstall\n"
    "\n"
    "Offers the Ambermoor commands for items on the mounted drive.\n"
    "  (no option)  show the commands as a menu at the pointer and run the one chosen\n"
    "  --list       print the offered commands, one \"N<TAB>label\" line each\n"
    "  --invoke N   run command N of --list without a menu\n"
    "  --install    add the entry to Nautilus, Nemo, Thunar and Dolphin\n"
    "  --uninstall  remove it again\n";

struct Extension {
  void* lib = nullptr;
  InitializeFn initialize = nullptr;
  QueryContextMenuFn queryContextMenu = nullptr;
  InvokeCommandFn invokeCommand = nullptr;
  GetCommandStringFn getCommandString = nullptr;
  ~Extension() {
    if (lib) dlclose(lib);
  }
};

struct Item {
  UINT verb;
  std::string label;
};

std::string selfPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool loadExtension(const std::string& explicitPath, Extension* ext, std::string* error) {
  std::vector<std::string> candidates;
  if (!explicitPath.empty()) {
    candidates.push_back(explicitPath);
  } else {
    std::string dir = selfPath();
    dir = dir.substr(0, dir.rfind('/'));
    candidates = {dir + "/libtarvik_shellext.so", dir + "/../lib/tarvik/libtarvik_shellext.so"};
  }
  for (const auto& c : candidates) {
    if (access(c.c_str(), R_OK) != 0) continue;
    ext->lib = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!ext->lib) {
      *error = dlerror();
      return false;
    }
    ext->initialize = reinterpret_cast<InitializeFn>(dlsym(ext->lib, "Initialize"));
    ext->queryContextMenu = reinterpret_cast<QueryContextMenuFn>(dlsym(ext->lib, "QueryContextMenu"));
    ext->invokeCommand = reinterpret_cast<InvokeCommandFn>(dlsym(ext->lib, "InvokeCommand"));
    ext->getCommandString = reinterpret_cast<GetCommandStringFn>(dlsym(ext->lib, "GetCommandString"));
    if (!ext->initialize || !ext->queryContextMenu || !ext->invokeCommand || !ext->getCommandString) {
      *error = c + " lacks the extension's exports";
      return false;
    }
    return true;
  }
  *error = "extension not found (looked for " + candidates.front() + ")";
  return false;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An absolute, lexically clean path for an argument: file:// URIs decoded,
// relative names joined to the current folder, "." and ".." resolved
// without following links (the drive's names are what matter).
bool absolutePath(const std::string& arg, std::string* out) {
  std::string p = arg;
  if (p.compare(0, 7, "file://") == 0) {
    std::string rest = p.substr(7);
    size_t slash = rest.find('/');
    if (slash == std::string::npos) return false;
    std::string host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return false;
    p.clear();
    for (size_t i = slash; i < rest.size(); ++i) {
      if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
        p += static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
        i += 2;
      } else {
        p += rest[i];
      }
    }
  }
  if (p.empty()) return false;
  if (p[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return false;
    p = std::string(cwd) + "/" + p;
  }
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= p.size()) {
    size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    std::string piece = p.substr(start, end - start);
    if (piece == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!piece.empty() && piece != ".") {
      parts.push_back(piece);
    }
    start = end + 1;
  }
  out->clear();
  for (const auto& piece : parts) *out += "/" + piece;
  if (out->empty()) *out = "/";
  return true;
}

std::vector<Item> menuItems(HMENU menu) {
  std::vector<Item> items;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    if (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_SEPARATOR) continue;
    UINT id = GetMenuItemID(menu, i);
    int len = GetMenuStringW(menu, static_cast<UINT>(i), nullptr, 0, MF_BYPOSITION);
    std::vector<WCHAR> buf(static_cast<size_t>(len) + 1);
    GetMenuStringW(menu, static_cast<UINT>(i), buf.data(), len + 1, MF_BYPOSITION);
    items.push_back({id - kFirstCommandId, win32::ToUtf8(buf.data())});
  }
  return items;
}

bool haveDisplay() {
  const char* x = getenv("DISPLAY");
  const char* w = getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

int dialogMessageBox(const std::u16string& text, const std::u16string& caption, UINT type) {
  QString t = QString::fromUtf16(text.data(), static_cast<int>(text.size()));
  QString c = QString::fromUtf16(caption.data(), static_cast<int>(caption.size()));
  if ((type & 0xF) == MB_YESNO) {
    return QMessageBox::warning(nullptr, c, t, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
                   QMessageBox::Yes
               ? IDYES
               : IDNO;
  }
  QMessageBox::information(nullptr, c, t);
  return IDOK;
}

// Without a display: the items numbered on the terminal, the choice read back.
int terminalChoice(const std::vector<Item>& items) {
  FILE* tty = fopen("/dev/tty", "r+");
  FILE* out = tty ? tty : stderr;
  FILE* in = tty ? tty : stdin;
  for (const auto& it : items) fprintf(out, "%u  %s\n", it.verb, it.label.c_str());
  fprintf(out, "command (empty for none): ");
  fflush(out);
  char line[32] = {0};
  int chosen = -1;
  if (fgets(line, sizeof line, in)) {
    char* end = nullptr;
    long v = strtol(line, &end, 10);
    if (end != line) chosen = static_cast<int>(v);
  }
  if (tty) fclose(tty);
  return chosen;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kMenu, kList, kInvoke } mode = kMenu;
  long invokeVerb = -1;
  std::string extensionPath;
  std::vector<std::string> args;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (options && a == "--") {
      options = false;
    } else if (options && a == "--list") {
      mode = kList;
    } else if (options && a == "--invoke" && i + 1 < argc) {
      char* end = nullptr;
      invokeVerb = strtol(argv[++i], &end, 10);
      if (!*argv[i] || *end || invokeVerb < 0 || invokeVerb > 0xFFFF) {
        fprintf(stderr, "tarvik-ctxmenu: --invoke needs a command number\n");
        return 2;
      }
      mode = kInvoke;
    } else if (options && a == "--extension" && i + 1 < argc) {
      extensionPath = argv[++i];
    } else if (options && (a == "--install" || a == "--uninstall")) {
      std::string error;
      bool ok = a == "--install" ? ctxmenu::installIntegration(selfPath(), &error)
                                 : ctxmenu::uninstallIntegration(&error);
      if (!ok) {
        fprintf(stderr, "tarvik-ctxmenu: %s\n", error.c_str());
        return 1;
      }
      for (const auto& f : ctxmenu::integrationFiles())
        printf("%s %-8s %s\n", a == "--install" ? "installed" : "removed", f.fileManager.c_str(), f.path.c_str());
      return 0;
    } else if (options && (a == "--help" || a == "-h")) {
      fputs(kUsage, stdout);
      return 0;
    } else if (options && a.size() > 1 && a[0] == '-') {
      fprintf(stderr, "tarvik-ctxmenu: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) {
    fputs(kUsage, stderr);
    return 2;
  }

  // The file manager's window is the active one while it starts us; the
  // refresh key goes there after a command.
  HWND window = mode == kList ? nullptr : GetForegroundWindow();

  std::vector<std::u16string> paths;
  for (const auto& a : args) {
    std::string abs;
    if (!absolutePath(a, &abs)) {
      fprintf(stderr, "tarvik-ctxmenu: not a local path: %s\n", a.c_str());
      return 2;
    }
    paths.push_back(win32::WindowsPath(abs));
  }

  Extension ext;
  std::string error;
  if (!loadExtension(extensionPath, &ext, &error)) {
    fprintf(stderr, "tarvik-ctxmenu: %s\n", error.c_str());
    return 1;
  }

  std::unique_ptr<HDROP__, void (*)(HDROP)> drop(win32::CreateDropFiles(paths), DragFinish);
  STGMEDIUM medium{TYMED_HGLOBAL, drop.get(), nullptr};
  std::vector<Item> items;
  if (ext.initialize(&medium) == S_OK) {
    HMENU menu = CreatePopupMenu();
    ext.queryContextMenu(menu, 0, kFirstCommandId, kLastCommandId, CMF_NORMAL);
    items = menuItems(menu);
    DestroyMenu(menu);
  }

  if (mode == kList) {
    for (const auto& it : items) printf("%u\t%s\n", it.verb, it.label.c_str());
    return 0;
  }
  if (items.empty()) {
    fprintf(stderr, "tarvik-ctxmenu: no commands for this selection (not on the mounted drive, or not signed in)\n");
    return mode == kInvoke ? 1 : 0;
  }

  std::unique_ptr<QApplication> app;
  if (haveDisplay()) {
    static int qargc = 1;
    app = std::make_unique<QApplication>(qargc, argv);
    win32::SetMessageBoxHandler(dialogMessageBox);
  }

  long verb = invokeVerb;
  if (mode == kMenu) {
    if (app) {
      QMenu menu;
      for (const auto& it : items) menu.addAction(QString::fromStdString(it.label))->setData(it.verb);
      QAction* chosen = menu.exec(QCursor::pos());
      verb = chosen ? chosen->data().toInt() : -1;
    } else {
      verb = terminalChoice(items);
    }
    if (verb < 0) return 0;
  }
  bool offered = false;
  for (const auto& it : items) offered |= it.verb == static_cast<UINT>(verb);
  if (!offered) {
    fprintf(stderr, "tarvik-ctxmenu: command %ld is not offered for this selection\n", verb);
    return 2;
  }
  CMINVOKECOMMANDINFO info{};
  info.cbSize = sizeof info;
  info.hwnd = window;
  info.lpVerb = MAKEINTRESOURCEA(static_cast<WORD>(verb));
  info.nShow = SW_SHOWNORMAL;
  ext.invokeCommand(&info, &medium);
  return 0;
}
