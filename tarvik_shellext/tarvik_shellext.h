// The context-menu extension's four exports, as its host calls them.
//
// Initialize reads the selection (a drop-file list of Windows-form paths)
// and the session values the desktop client keeps in the registry, and
// decides which commands to offer; QueryContextMenu puts them into the
// host's menu; InvokeCommand runs the chosen one for every selected item;
// GetCommandString has no verbs or help texts to give.
#pragma once

#include "shlobj.h"

#define TARVIK_SHELLEXT_EXPORT extern "C" __attribute__((visibility("default")))

// 0, or E_FAIL when the medium is missing, a session value cannot be read or
// is empty, or the first selected item is not on the mounted drive.
TARVIK_SHELLEXT_EXPORT HRESULT Initialize(const STGMEDIUM* medium);
// The number of commands added (separators not counted).
TARVIK_SHELLEXT_EXPORT HRESULT QueryContextMenu(HMENU menu, UINT index, UINT idCmdFirst, UINT idCmdLast,
                                                UINT flags);
// Runs the command at the verb's menu position; always 0.
TARVIK_SHELLEXT_EXPORT HRESULT InvokeCommand(const CMINVOKECOMMANDINFO* info, const STGMEDIUM* medium);
// Copies an empty text (UTF-16 with GCS_UNICODE, else 8-bit); always 0.
TARVIK_SHELLEXT_EXPORT HRESULT GetCommandString(UINT_PTR idCmd, UINT flags, char* buffer, UINT size);

// Function types for a host that loads the extension at run time.
typedef HRESULT (*InitializeFn)(const STGMEDIUM*);
typedef HRESULT (*QueryContextMenuFn)(HMENU, UINT, UINT, UINT, UINT);
typedef HRESULT (*InvokeCommandFn)(const CMINVOKECOMMANDINFO*, const STGMEDIUM*);
typedef HRESULT (*GetCommandStringFn)(UINT_PTR, UINT, char*, UINT);
