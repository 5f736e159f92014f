// Menus, message boxes and the refresh key (see winuser.h).
//
// X11 is loaded at run time (dlopen), so the layer works, and simply cannot
// post keys, on a machine or session without it.
#include "winuser.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "errhandlingapi.h"
#include "unicode.h"

struct HMENU__ {
  struct Item {
    UINT flags;
    UINT_PTR id;
    std::u16string text;
  };
  std::vector<Item> items;
};

namespace {

std::mutex g_handlerMutex;
win32::MessageBoxHandler g_handler;

int FindItem(HMENU menu, UINT position, UINT flags) {
  if (!menu) return -1;
  if (flags & MF_BYPOSITION) return position < menu->items.size() ? static_cast<int>(position) : -1;
  for (size_t i = 0; i < menu->items.size(); ++i)
    if (!(menu->items[i].flags & MF_SEPARATOR) && menu->items[i].id == position) return static_cast<int>(i);
  return -1;
}

// The few Xlib entry points used, resolved from libX11 at run time.
struct X11 {
  void* lib = nullptr;
  void* (*openDisplay)(const char*) = nullptr;
  int (*closeDisplay)(void*) = nullptr;
  unsigned long (*defaultRoot)(void*) = nullptr;
  unsigned long (*internAtom)(void*, const char*, int) = nullptr;
  int (*getWindowProperty)(void*, unsigned long, unsigned long, long, long, int, unsigned long,
                           unsigned long*, int*, unsigned long*, unsigned long*, unsigned char**) = nullptr;
  int (*freeMem)(void*) = nullptr;
  unsigned char (*keysymToKeycode)(void*, unsigned long) = nullptr;
  int (*sendEvent)(void*, unsigned long, int, long, void*) = nullptr;
  int (*flush)(void*) = nullptr;

  bool load() {
    if (!getenv("DISPLAY")) return false;
    lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    bool ok = sym(openDisplay, "XOpenDisplay") && sym(closeDisplay, "XCloseDisplay") &&
              sym(defaultRoot, "XDefaultRootWindow") && sym(internAtom, "XInternAtom") &&
              sym(getWindowProperty, "XGetWindowProperty") && sym(freeMem, "XFree") &&
              sym(keysymToKeycode, "XKeysymToKeycode") && sym(sendEvent, "XSendEvent") &&
              sym(flush, "XFlush");
    return ok;
  }
  template <class F>
  bool sym(F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(lib, name));
    return f != nullptr;
  }
  ~X11() {
    if (lib) dlclose(lib);
  }
};

// XKeyEvent's layout on LP64 (Xlib.h), so that no X11 header is needed.
struct KeyEvent {
  int type;
  unsigned long serial;
  int send_event;
  void* display;
  unsigned long window, root, subwindow, time;
  int x, y, x_root, y_root;
  unsigned int state, keycode;
  int same_screen;
  long pad[12];  // XEvent is 24 longs
};
constexpr int kKeyPress = 2, kKeyRelease = 3;
constexpr long kKeyPressMask = 1L << 0, kKeyReleaseMask = 1L << 1;
constexpr unsigned long kXK_F5 = 0xFFC2;

std::string Narrow(const std::u16string& s) { return win32::ToUtf8(s); }

}  // namespace

HMENU CreatePopupMenu() { return new HMENU__(); }

BOOL DestroyMenu(HMENU menu) {
  if (!menu) return FALSE;
  delete menu;
  return TRUE;
}

BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR text) {
  if (!menu) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HMENU__::Item item{flags & ~MF_BYPOSITION, id, (flags & MF_SEPARATOR) || !text ? u"" : std::u16string(text)};
  size_t at;
  if (flags & MF_BYPOSITION) {
    at = position < menu->items.size() ? position : menu->items.size();
  } else {
    int found = FindItem(menu, position, MF_BYCOMMAND);
    if (found < 0) {
      SetLastError(ERROR_NOT_FOUND);
      return FALSE;
    }
    at = static_cast<size_t>(found);
  }
  menu->items.insert(menu->items.begin() + static_cast<long>(at), item);
  return TRUE;
}

int GetMenuItemCount(HMENU menu) { return menu ? static_cast<int>(menu->items.size()) : -1; }

UINT GetMenuItemID(HMENU menu, int position) {
  if (!menu || position < 0 || static_cast<size_t>(position) >= menu->items.size()) return 0xFFFFFFFFu;
  const auto& item = menu->items[static_cast<size_t>(position)];
  return item.flags & MF_SEPARATOR ? 0 : static_cast<UINT>(item.id);
}

UINT GetMenuState(HMENU menu, UINT position, UINT flags) {
  int i = FindItem(menu, position, flags);
  return i < 0 ? 0xFFFFFFFFu : (menu->items[static_cast<size_t>(i)].flags & MF_SEPARATOR);
}

int GetMenuStringW(HMENU menu, UINT position, LPWSTR buffer, int size, UINT flags) {
  int i = FindItem(menu, position, flags);
  if (i < 0) return 0;
  const std::u16string& t = menu->items[static_cast<size_t>(i)].text;
  if (!buffer || size <= 0) return static_cast<int>(t.size());
  size_t n = std::min(t.size(), static_cast<size_t>(size - 1));
  std::copy(t.begin(), t.begin() + static_cast<long>(n), buffer);
  buffer[n] = u'\0';
  return static_cast<int>(n);
}

namespace win32 {

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(g_handlerMutex);
  std::swap(handler, g_handler);
  return handler;
}

int TerminalMessageBox(const std::u16string& text, const std::u16string& caption, UINT type) {
  UINT buttons = type & 0xF;
  // The controlling terminal when there is one, so that a file manager's
  // piped standard streams do not answer for the user.
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  FILE* out = tty >= 0 ? fdopen(dup(tty), "w") : nullptr;
  FILE* in = tty >= 0 ? fdopen(tty, "r") : stdin;
  FILE* o = out ? out : stderr;
  const char* question = buttons == MB_YESNO ? " [y/N] " : buttons == MB_OKCANCEL ? " [o/C] " : "";
  fprintf(o, "%s\n%s%s%s", Narrow(caption).c_str(), Narrow(text).c_str(), question,
          buttons == MB_OK ? "\n" : "");
  fflush(o);
  int answer = buttons == MB_YESNO ? IDNO : buttons == MB_OKCANCEL ? IDCANCEL : IDOK;
  if (buttons == MB_YESNO || buttons == MB_OKCANCEL) {
    char line[64] = {0};
    if (fgets(line, sizeof line, in)) {
      std::string a(line);
      while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' ')) a.pop_back();
      for (char& c : a) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (buttons == MB_YESNO && (a == "y" || a == "yes")) answer = IDYES;
      if (buttons == MB_OKCANCEL && (a == "o" || a == "ok")) answer = IDOK;
    } else {
      fputc('\n', o);
    }
  }
  if (out) fclose(out);
  if (in != stdin) fclose(in);
  return answer;
}

}  // namespace win32

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
  win32::MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_handlerMutex);
    handler = g_handler;
  }
  std::u16string t = text ? text : u"", c = caption ? caption : u"Error";
  return handler ? handler(t, c, type) : win32::TerminalMessageBox(t, c, type);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message != WM_KEYDOWN || wParam != VK_F5) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (!window) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  X11 x;
  if (!x.load()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  void* dpy = x.openDisplay(nullptr);
  if (!dpy) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  KeyEvent ev{};
  ev.display = dpy;
  ev.window = reinterpret_cast<uintptr_t>(window);
  ev.root = x.defaultRoot(dpy);
  ev.keycode = x.keysymToKeycode(dpy, kXK_F5);
  ev.same_screen = 1;
  ev.type = kKeyPress;
  int sent = x.sendEvent(dpy, ev.window, 1, kKeyPressMask, &ev);
  ev.type = kKeyRelease;
  sent = sent && x.sendEvent(dpy, ev.window, 1, kKeyReleaseMask, &ev);
  x.flush(dpy);
  x.closeDisplay(dpy);
  return sent ? TRUE : FALSE;
}

HWND GetForegroundWindow() {
  X11 x;
  if (!x.load()) return nullptr;
  void* dpy = x.openDisplay(nullptr);
  if (!dpy) return nullptr;
  unsigned long atom = x.internAtom(dpy, "_NET_ACTIVE_WINDOW", 1);
  unsigned long window = 0;
  if (atom) {
    unsigned long actualType = 0, items = 0, after = 0;
    int format = 0;
    unsigned char* data = nullptr;
    constexpr unsigned long kXA_WINDOW = 33;
    if (x.getWindowProperty(dpy, x.defaultRoot(dpy), atom, 0, 1, 0, kXA_WINDOW, &actualType, &format, &items,
                            &after, &data) == 0 &&
        data) {
      if (items == 1 && format == 32) window = *reinterpret_cast<unsigned long*>(data);
      x.freeMem(data);
    }
  }
  x.closeDisplay(dpy);
  return reinterpret_cast<HWND>(window);
}
