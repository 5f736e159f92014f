// Send-key page text and page-file upkeep.
#include "send_key_page.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "crypt_string.h"
#include "unicode.h"

namespace shellext {

std::u16string escapeHtml(const std::u16string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'"': out += u"&quot;"; break;
      case u'\'': out += u"&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::u16string sendKeyPage(const std::u16string& fileName, const std::string& servicePath,
                           const SendKeySession& s) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(servicePath.data());
  DWORD size = static_cast<DWORD>(servicePath.size());
  DWORD chars = 0;
  if (!CryptBinaryToStringW(bytes, size, CRYPT_STRING_BASE64, nullptr, &chars)) return {};
  std::u16string base64(chars, u'\0');
  if (!CryptBinaryToStringW(bytes, size, CRYPT_STRING_BASE64, base64.data(), &chars)) return {};
  base64.resize(chars);

  std::u16string page;
  page += u"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" /><title>";
  page += escapeHtml(fileName);
  page += u" - Ambermoor</title></head><body style=\"margin:0; padding:0; overflow:hidden\"><iframe name=\"";
  page += base64 + u"," + s.language;
  page += u"\" id=\"frameForAKonQWO\" width=\"100%\" height=\"100%\" frameborder=\"0\" marginheight=\"0\" "
          u"marginwidth=\"0\" src=";
  page += s.baseURL;
  page += u"v2/browse?arrayid=";
  page += s.arrayid;
  page += u"&jsessionid=";
  page += s.jsessionid;
  page += u"#";
  page += s.corpId;
  page += u"></iframe></body></html>";
  return page;
}

int removeOldPageFiles(const std::string& dir, time_t now) {
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  std::vector<std::string> old;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() < 8 || name.compare(0, 3, "ack") != 0 || name.compare(name.size() - 5, 5, ".html") != 0)
      continue;
    std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) continue;
    if (now - st.st_mtime > kPageFileLifetimeSeconds) old.push_back(path);
  }
  closedir(d);
  int removed = 0;
  for (const auto& p : old) removed += unlink(p.c_str()) == 0;
  return removed;
}

}  // namespace shellext
