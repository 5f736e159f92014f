// The extension's exports: selection and session values in Initialize, the
// menu in QueryContextMenu, the four commands in InvokeCommand.
//
// State: one record per loaded extension, set by Initialize, completed by
// QueryContextMenu and read by InvokeCommand, guarded by one mutex that is
// never held while the user is asked or a command runs.
//
// The commands act only through the drive's system names: a text written to
// "<drive>\__system__\__cmd__", and moves onto "<drive>\__system__\__restore__"
// and "<drive>\__system__\__remove__". The filesystem library behind the
// drive carries them out against the service.
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "crypt_string.h"
#include "fileapi.h"
#include "path_rules.h"
#include "send_key_page.h"
#include "stringapiset.h"
#include "tarvik_shellext.h"
#include "texts.h"
#include "unicode.h"
#include "winreg.h"

namespace shellext {
namespace {

// Largest size read of each session value, in bytes with the terminating
// NUL. The mount point is a drive letter on the desktop client's home
// platform but may be a directory here, so it gets a path's room.
struct SessionValueRule {
  const char16_t* name;
  DWORD maxBytes;
};
constexpr SessionValueRule kUserId{u"userId", 258};
constexpr SessionValueRule kCorpId{u"corpId", 258};
constexpr SessionValueRule kLanguage{u"language", 130};
constexpr SessionValueRule kBaseURL{u"baseURL", 1026};
constexpr SessionValueRule kArrayId{u"arrayid", 514};
constexpr SessionValueRule kJSessionId{u"jsessionid", 258};
constexpr SessionValueRule kMountPoint{u"mountPoint", 8192};

constexpr const char16_t* kSessionKey = u"Software\\Kindrel\\Ambermoor";

struct Session {
  std::u16string userId, corpId, language, baseURL, arrayid, jsessionid, mountPoint;
  bool ja() const { return language == u"ja"; }
};

struct State {
  UINT count = 0;                // selected items
  bool offered[4] = {};          // by CommandKind
  Session session;
  std::vector<CommandKind> table;  // menu position -> command
};

std::mutex g_mutex;
State g_state;

bool readValue(HKEY key, const SessionValueRule& rule, std::u16string* out) {
  std::vector<BYTE> buf(rule.maxBytes);
  DWORD type = 0, size = rule.maxBytes;
  if (RegQueryValueExW(key, rule.name, nullptr, &type, buf.data(), &size) != ERROR_SUCCESS || type != REG_SZ)
    return false;
  out->assign(reinterpret_cast<const char16_t*>(buf.data()), size / sizeof(char16_t));
  while (!out->empty() && out->back() == u'\0') out->pop_back();
  return !out->empty();
}

bool readSession(Session* s) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSessionKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  bool ok = readValue(key, kUserId, &s->userId) && readValue(key, kCorpId, &s->corpId) &&
            readValue(key, kLanguage, &s->language) && readValue(key, kBaseURL, &s->baseURL) &&
            readValue(key, kArrayId, &s->arrayid) && readValue(key, kJSessionId, &s->jsessionid) &&
            readValue(key, kMountPoint, &s->mountPoint);
  RegCloseKey(key);
  return ok;
}

HDROP dropOf(const STGMEDIUM* medium) {
  return medium && medium->tymed == TYMED_HGLOBAL ? medium->hGlobal : nullptr;
}

// Path `i` of the selection at its full length; a path cut to a buffer
// would name some other item.
std::u16string selectedPath(HDROP drop, UINT i) {
  UINT len = DragQueryFileW(drop, i, nullptr, 0);
  std::u16string path(len, u'\0');
  if (len == 0) return path;
  std::vector<WCHAR> buf(len + 1);
  UINT got = DragQueryFileW(drop, i, buf.data(), len + 1);
  return std::u16string(buf.data(), got);
}

// Kind and service path of an item on the drive.
int classify(const Session& s, const std::u16string& path, std::string* servicePath) {
  std::string drivePath;
  if (!drivePathOf(path, s.mountPoint, &drivePath)) return kKindNone;
  RootLayout layout(win32::ToUtf8(s.userId), win32::ToUtf8(s.language));
  return layout.kind(drivePath, servicePath);
}

std::u16string systemName(const Session& s, const char16_t* name) {
  return s.mountPoint + u"\\__system__\\" + name;
}

void emptyTrash(const Session& s) {
  FILE* f = _wfopen(systemName(s, u"__cmd__").c_str(), u"w,ccs=UTF-8");
  if (!f) return;  // the drive is not there: nothing to tell the service
  fputws(u"emptyTrash", f);
  fclose(f);
}

void issueSendKey(const Session& s, const std::u16string& path) {
  size_t cut = path.find_last_of(u"\\/");
  std::u16string fileName = cut == std::u16string::npos ? path : path.substr(cut + 1);
  std::string servicePath;
  if (classify(s, path, &servicePath) == kKindNone) return;
  std::u16string page = sendKeyPage(fileName, servicePath,
                                    SendKeySession{s.baseURL, s.arrayid, s.jsessionid, s.corpId, s.language});
  if (page.empty()) return;

  WCHAR dir[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH) return;
  // The pages carry the session id: earlier ones go once they are a day old.
  removeOldPageFiles(win32::NativePath(dir), time(nullptr));
  WCHAR name[MAX_PATH];
  if (GetTempFileNameW(dir, u"ack", 0, name) == 0) return;
  DeleteFileW(name);
  std::u16string pageFile = std::u16string(name) + u".html";
  // Created anew and for this user only ("x"): the page holds the session id.
  FILE* f = _wfopen(pageFile.c_str(), u"ax,ccs=UTF-8");
  if (!f) return;
  bool written = fputws(page.c_str(), f) >= 0;
  written = fclose(f) == 0 && written;
  if (!written) {
    DeleteFileW(pageFile.c_str());  // a cut page would show a broken frame
    return;
  }
  ShellExecuteW(nullptr, u"open", pageFile.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void runCommand(CommandKind kind, const Session& s, const std::u16string& path) {
  switch (kind) {
    case kSendKey: issueSendKey(s, path); break;
    case kEmptyTrash: emptyTrash(s); break;
    case kRestore: MoveFileW(path.c_str(), systemName(s, u"__restore__").c_str()); break;
    case kForceDelete: MoveFileW(path.c_str(), systemName(s, u"__remove__").c_str()); break;
  }
}

}  // namespace
}  // namespace shellext

using namespace shellext;

HRESULT Initialize(const STGMEDIUM* medium) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = State();
  HDROP drop = dropOf(medium);
  if (!drop) return E_FAIL;
  UINT count = DragQueryFileW(drop, 0xFFFFFFFFu, nullptr, 0);
  Session s;
  if (!readSession(&s)) return E_FAIL;
  if (count == 0) return E_FAIL;
  std::u16string first = selectedPath(drop, 0);
  if (!onDrive(first, s.mountPoint)) return E_FAIL;
  std::string servicePath;
  int kind = classify(s, first, &servicePath);

  State st;
  st.count = count;
  st.session = s;
  st.offered[kSendKey] = count == 1 && (kind == 1 || kind == 2 || kind == 4 || kind == 5 || kind == 10 || kind == 11);
  st.offered[kEmptyTrash] = count == 1 && kind == 6;
  st.offered[kRestore] = kind == 7;
  st.offered[kForceDelete] = kind % 3 != 0;  // not an area root; -1 too
  g_state = st;
  return S_OK;
}

HRESULT QueryContextMenu(HMENU menu, UINT index, UINT idCmdFirst, UINT idCmdLast, UINT flags) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.table.clear();
  if (flags & CMF_VERBSONLY) return 0;
  bool ja = g_state.session.ja();
  UINT position = index;
  InsertMenuW(menu, position++, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
  for (int k = kSendKey; k <= kForceDelete; ++k) {
    if (!g_state.offered[k]) continue;
    UINT id = idCmdFirst + static_cast<UINT>(g_state.table.size());
    if (id > idCmdLast) break;  // the host has no more command ids to give
    if (!InsertMenuW(menu, position++, MF_BYPOSITION | MF_STRING, id, menuLabel(static_cast<CommandKind>(k), ja)))
      break;
    g_state.table.push_back(static_cast<CommandKind>(k));
  }
  InsertMenuW(menu, position, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
  return static_cast<HRESULT>(g_state.table.size());
}

HRESULT InvokeCommand(const CMINVOKECOMMANDINFO* info, const STGMEDIUM* medium) {
  HDROP drop = dropOf(medium);
  // A verb given as text names no menu position.
  if (!info || !drop || !IS_INTRESOURCE(info->lpVerb)) return S_OK;
  WORD position = LOWORD(reinterpret_cast<uintptr_t>(info->lpVerb));
  CommandKind kind;
  Session s;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (position >= g_state.table.size()) return S_OK;
    kind = g_state.table[position];
    s = g_state.session;
  }
  bool ja = s.ja();
  if (const char16_t* question = confirmationText(kind, ja)) {
    if (MessageBoxW(nullptr, question, cautionCaption(ja), MB_YESNO | MB_ICONWARNING) != IDYES) return S_OK;
  }
  UINT count = DragQueryFileW(drop, 0xFFFFFFFFu, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    std::u16string path = selectedPath(drop, i);
    // Items off the drive are never moved: a move across file systems would
    // not reach the drive's system names.
    if (!onDrive(path, s.mountPoint)) continue;
    runCommand(kind, s, path);
  }
  PostMessageW(info->hwnd, WM_KEYDOWN, VK_F5, 1);
  return S_OK;
}

HRESULT GetCommandString(UINT_PTR, UINT flags, char* buffer, UINT size) {
  if (!buffer || size == 0) return S_OK;
  if (flags & GCS_UNICODE) {
    reinterpret_cast<WCHAR*>(buffer)[0] = u'\0';
    return S_OK;
  }
  const WCHAR empty[1] = {u'\0'};
  int n = WideCharToMultiByte(CP_ACP, 0, empty, -1, buffer, static_cast<int>(size), nullptr, nullptr);
  if (n <= 0) buffer[0] = '\0';
  return S_OK;
}
