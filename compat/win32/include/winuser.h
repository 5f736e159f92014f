// Menus, message boxes and window messages for the context-menu extension.
//
// Menus are plain in-process lists that the host creates, the extension
// fills with InsertMenuW and the host shows. MessageBoxW asks the user
// through a handler the host installs (a dialog with a display, a terminal
// prompt otherwise); tests install their own. PostMessageW delivers the one
// message the system posts, the F5 key that asks a file manager's window to
// reload, as an X11 key event to that window when X11 is there.
#pragma once

#include <functional>
#include <string>

#include "windows_types.h"

typedef unsigned int UINT;
typedef uint64_t UINT_PTR;
typedef uint64_t WPARAM;
typedef int64_t LPARAM;
typedef struct HMENU__* HMENU;
typedef struct HWND__* HWND;  // an X11 window id on Linux, or null

// InsertMenuW flags.
constexpr UINT MF_BYCOMMAND = 0x0000;
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_BYPOSITION = 0x0400;
constexpr UINT MF_SEPARATOR = 0x0800;

// MessageBoxW styles and answers.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

constexpr UINT WM_KEYDOWN = 0x0100;
constexpr WPARAM VK_F5 = 0x74;

HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU menu);
// Inserts before the item at `position` (MF_BYPOSITION; at the end when past
// it) or before the item with command id `position` (MF_BYCOMMAND).
BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR idNewItem, LPCWSTR newItem);
int GetMenuItemCount(HMENU menu);                 // -1 for a null menu
UINT GetMenuItemID(HMENU menu, int position);     // 0xFFFFFFFF when out of range
UINT GetMenuState(HMENU menu, UINT position, UINT flags);  // MF_SEPARATOR bit; 0xFFFFFFFF when absent
// Copies the label (at most `size` - 1 characters and a NUL); returns its length.
int GetMenuStringW(HMENU menu, UINT position, LPWSTR buffer, int size, UINT flags);

// Asks the installed handler; IDNO (or IDCANCEL, IDOK by style) when none can ask.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// Only WM_KEYDOWN with a key is delivered; TRUE when it was sent.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The desktop's active window (X11 _NET_ACTIVE_WINDOW), or null.
HWND GetForegroundWindow();

namespace win32 {

// Answers a message box: (text, caption, style) -> IDYES, IDNO, IDOK, ...
using MessageBoxHandler = std::function<int(const std::u16string& text, const std::u16string& caption, UINT type)>;

// Installs the handler used by MessageBoxW; returns the previous one. An
// empty handler restores the terminal prompt.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// The terminal prompt: the caption and text on the controlling terminal (or
// standard error), the answer from it (or standard input). Anything but
// "y"/"yes" to a yes/no question, and end of input, is No.
int TerminalMessageBox(const std::u16string& text, const std::u16string& caption, UINT type);

}  // namespace win32
