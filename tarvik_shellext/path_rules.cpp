// Root layout, path kinds and path conversion of the extension.
#include "path_rules.h"

#include "unicode.h"

namespace shellext {

RootLayout::RootLayout(const std::string& userId, const std::string& language) {
  bool ja = language == "ja";
  areas[0] = {ja ? "/ホーム" : "/Home", "/" + userId};
  areas[1] = {ja ? "/共有されているフォルダ" : "/Shared folders", ""};
  areas[2] = {ja ? "/ごみ箱" : "/Trash", "/!" + userId};
  areas[3] = {"/__system__", "/__system__"};
}

int RootLayout::kind(const std::string& drivePath, std::string* servicePath) const {
  servicePath->clear();
  if (drivePath == "/") return kKindDriveRoot;
  for (int area = 0; area < 4; ++area) {
    const std::string& local = areas[area].localName;
    if (drivePath.compare(0, local.size(), local) != 0) continue;
    if (drivePath.size() > local.size() && drivePath[local.size()] != '/') continue;
    const std::string& prefix = areas[area].servicePrefix;
    *servicePath = prefix + drivePath.substr(local.size());
    if (*servicePath == prefix) return 3 * area;
    size_t slash = servicePath->rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : servicePath->substr(0, slash);
    return parent == prefix ? 3 * area + 1 : 3 * area + 2;
  }
  return kKindNone;
}

namespace {
bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
}  // namespace

bool onDrive(const std::u16string& path, const std::u16string& mountPoint) {
  if (mountPoint.empty() || path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
  return path.size() == mountPoint.size() || isSeparator(path[mountPoint.size()]) ||
         isSeparator(mountPoint.back());
}

bool drivePathOf(const std::u16string& path, const std::u16string& mountPoint, std::string* drivePath) {
  std::u16string_view rest(path);
  rest.remove_prefix(std::min(path.size(), mountPoint.size()));
  // "E:\" and "/mnt/drive/" as mount points keep their separator.
  std::u16string converted = !mountPoint.empty() && isSeparator(mountPoint.back()) ? u"/" : u"";
  converted.append(rest.begin(), rest.end());
  size_t end = converted.size();
  for (size_t i = 0; i < end; ++i)
    if (converted[i] == u'\\') converted[i] = u'/';
  while (end > 1 && converted[end - 1] == u'/') --end;
  if (end == 0) return win32::Utf16ToUtf8(u"/", *drivePath);
  return win32::Utf16ToUtf8(std::u16string_view(converted).substr(0, end), *drivePath);
}

}  // namespace shellext
