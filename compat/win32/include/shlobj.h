// The structures and codes a context-menu host hands to an extension.
#pragma once

#include "shellapi.h"
#include "winuser.h"

typedef LONG HRESULT;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

// The storage medium of a data object; here always a drop-file list.
constexpr DWORD TYMED_HGLOBAL = 1;
typedef struct tagSTGMEDIUM {
  DWORD tymed;
  HDROP hGlobal;
  void* pUnkForRelease;
} STGMEDIUM;

// QueryContextMenu flags.
constexpr UINT CMF_NORMAL = 0x0;
constexpr UINT CMF_VERBSONLY = 0x2;

// GetCommandString flags.
constexpr UINT GCS_VERBA = 0x0;
constexpr UINT GCS_HELPTEXTA = 0x1;
constexpr UINT GCS_UNICODE = 0x4;
constexpr UINT GCS_VERBW = 0x4;
constexpr UINT GCS_HELPTEXTW = 0x5;

typedef struct _CMINVOKECOMMANDINFO {
  DWORD cbSize;
  DWORD fMask;
  HWND hwnd;          // the file manager's window, or null
  const char* lpVerb; // a menu position in the low word (see IS_INTRESOURCE), or a verb text
  const char* lpParameters;
  const char* lpDirectory;
  int nShow;
  DWORD dwHotKey;
  HANDLE hIcon;
} CMINVOKECOMMANDINFO;

// A verb given as a number: everything above the low word is zero.
inline bool IS_INTRESOURCE(const void* p) { return (reinterpret_cast<uintptr_t>(p) >> 16) == 0; }
inline WORD LOWORD(uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
inline const char* MAKEINTRESOURCEA(WORD n) { return reinterpret_cast<const char*>(static_cast<uintptr_t>(n)); }
