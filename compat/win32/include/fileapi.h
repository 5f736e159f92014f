// Files by Windows path: moves, the temporary folder, unique temporary names
// and the runtime library's Unicode text files.
//
// Windows paths map onto Linux ones in one place (NativePath): "X:" and
// what follows names the directory of drive letter X ($HOME/Ambermoor/X,
// as the drive layer mounts it) with "\" as the separator; a path that
// begins with "/" is a Linux path whose "\" are separators too, as they are
// on the drive. WindowsPath is the reverse for paths below a drive letter's
// directory.
#pragma once

#include <cstdio>
#include <string>

#include "windows_types.h"

typedef unsigned int UINT;
constexpr DWORD MAX_PATH = 260;

// Moves a file or folder; fails (ERROR_ALREADY_EXISTS) when the target
// exists and (ERROR_NOT_SAME_DEVICE) across file systems: nothing is copied.
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);
BOOL DeleteFileW(LPCWSTR path);

// The user's temporary folder with a trailing "/": TMPDIR, else
// $XDG_CACHE_HOME, else $HOME/.cache. Returns its length, or the size needed
// (with the NUL) when `size` is too small, 0 on failure.
DWORD GetTempPathW(DWORD size, LPWSTR buffer);

// Creates a new empty file "<dir><first three characters of prefix><hex>.tmp"
// readable by the owner only, and writes its name to `tempFileName` (room for
// MAX_PATH characters). With `unique` non-zero the name is built from it and
// no file is created. Returns the number used, 0 on failure.
UINT GetTempFileNameW(LPCWSTR dir, LPCWSTR prefix, UINT unique, LPWSTR tempFileName);

// The runtime library's _wfopen for the modes the system uses: "r", "w" and
// "a", optionally with "x" (the file must not exist) and ",ccs=UTF-8". With
// ccs=UTF-8 a new or emptied file first receives the UTF-8 byte-order mark,
// written by itself at offset 0, and wide text written with fputws is
// stored as UTF-8. Files are created readable and writable by the owner
// only. Null with errno set on failure.
FILE* _wfopen(LPCWSTR path, LPCWSTR mode);
// Writes UTF-16 text as UTF-8. Returns a non-negative value, or EOF.
int fputws(LPCWSTR text, FILE* stream);

namespace win32 {
// The Linux path for a Windows path (see above); empty when it names neither.
std::string NativePath(std::u16string_view windowsPath);
// "X:\rest" for a path in drive letter X's directory, else the path itself.
std::u16string WindowsPath(const std::string& nativePath);
// The directory that drive letter X names.
std::string DriveLetterDirectory(char letter);
}  // namespace win32
