// Registry reads over the desktop client's native settings store.
//
// On Linux the key HKEY_CURRENT_USER "Software\<Organisation>\<Application>"
// is the INI file that QSettings(<Organisation>, <Application>) writes:
// $XDG_CONFIG_HOME/<Organisation>/<Application>.conf ($HOME/.config when
// XDG_CONFIG_HOME is unset or not absolute). Its values are the keys of the
// [General] section, read with the toolkit's INI escaping of keys and values.
// Only reading is offered: the desktop client is the one writer.
//
// RegOpenKeyExW reads the file once; the handle answers from that snapshot
// until RegCloseKey, so one reader sees one state of the file.
#pragma once

#include "windows_types.h"

typedef struct RegistryKey* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_READ = 0x20019;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr LSTATUS ERROR_MORE_DATA = 234;

// Opens `subKey` below `key` (HKEY_CURRENT_USER). ERROR_FILE_NOT_FOUND when
// the store does not exist or the key names no application store,
// ERROR_ACCESS_DENIED when write access is asked for, ERROR_INVALID_PARAMETER
// for bad arguments.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);

// Reads value `valueName`: its type, and its data when `data` is given.
// Strings are REG_SZ (UTF-16 with the terminating NUL; `*dataSize` in
// bytes), lists REG_MULTI_SZ, byte arrays REG_BINARY. ERROR_MORE_DATA with
// the needed size when the buffer is too small; ERROR_FILE_NOT_FOUND when the
// value is absent.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                         LPDWORD dataSize);

LSTATUS RegCloseKey(HKEY key);

namespace win32 {
// Path of the store behind "Software\<organisation>\<application>".
std::string RegistryStorePath(const std::string& organisation, const std::string& application);
}  // namespace win32
