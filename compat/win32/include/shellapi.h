// Drop-file lists and opening documents.
//
// An HDROP is a DROPFILES block followed by the paths as NUL-terminated
// UTF-16 texts and one more NUL, as the desktop's data objects hand it over.
// Paths are in Windows form: items below a drive letter's directory read
// "X:\dir\name" (see fileapi.h), others keep their Linux form.
#pragma once

#include <string>
#include <vector>

#include "windows_types.h"
#include "winuser.h"

typedef struct _DROPFILES {
  DWORD pFiles;  // offset of the path list from the start of the block
  LONG ptX, ptY;
  BOOL fNC;
  BOOL fWide;    // TRUE: the paths are UTF-16
} DROPFILES;

typedef struct HDROP__* HDROP;
typedef void* HINSTANCE;

// With `file` 0xFFFFFFFF: the number of paths. With `buffer` null: the length
// of path `file` in characters, without the NUL. Otherwise copies at most
// `size` - 1 characters and a NUL and returns the characters copied. 0 for an
// index out of range or a null list.
UINT DragQueryFileW(HDROP drop, UINT file, LPWSTR buffer, UINT size);
void DragFinish(HDROP drop);

// Opens `file` with the desktop's handler for it (xdg-open) without waiting
// for it. Only the "open" verb (or null) is known. Returns a value above 32
// when the handler started; SE_ERR_NOASSOC when it could not be started,
// ERROR_FILE_NOT_FOUND when the file does not exist.
HINSTANCE ShellExecuteW(HWND window, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, int showCommand);

constexpr int SW_SHOWNORMAL = 1;
constexpr int SE_ERR_NOASSOC = 31;

namespace win32 {
// Builds the drop-file list of `paths` (Windows form); release with DragFinish.
HDROP CreateDropFiles(const std::vector<std::u16string>& paths);
}  // namespace win32
