// Drive letters and mount directories (see mount_points.h).
#include "mount_points.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string HomeDir() {
  const char* home = getenv("HOME");
  return home && *home ? home : "/root";
}

// mountinfo escapes blanks and backslashes as octal "\ooo".
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8)));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string Normalise(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

namespace dokan {

std::string MountDirectoryFor(const std::string& mountPoint) {
  if (!mountPoint.empty() && mountPoint[0] == '/') return Normalise(mountPoint);
  if (mountPoint.size() >= 2 && isalpha(static_cast<unsigned char>(mountPoint[0])) &&
      mountPoint[1] == ':' &&
      (mountPoint.size() == 2 ||
       (mountPoint.size() == 3 && (mountPoint[2] == '\\' || mountPoint[2] == '/')))) {
    char letter = static_cast<char>(toupper(static_cast<unsigned char>(mountPoint[0])));
    return HomeDir() + "/Ambermoor/" + std::string(1, letter);
  }
  return {};
}

bool EnsureMountDirectory(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') return false;
  std::string partial;
  std::stringstream ss(dir.substr(1));
  std::string piece;
  while (std::getline(ss, piece, '/')) {
    if (piece.empty()) continue;
    partial += "/" + piece;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the mount table without touching the mounted file system itself (a
// stat of the directory would wait for the file system's own loop).
long MountMinor(const std::string& dir) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  const std::string want = Normalise(dir);
  long found = -1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, mountPoint;
    if (fields >> id >> parent >> dev >> root >> mountPoint) {
      size_t colon = dev.find(':');
      if (Unescape(mountPoint) == want && colon != std::string::npos)
        found = std::strtol(dev.c_str() + colon + 1, nullptr, 10);  // the last mount wins
    }
  }
  return found;
}

bool IsMountPoint(const std::string& dir) { return MountMinor(dir) >= 0; }

}  // namespace dokan

DWORD GetLogicalDrives() {
  DWORD mask = 0x7;  // A, B and C are always taken
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    std::string dir = dokan::MountDirectoryFor(std::string(1, letter) + ":");
    if (dokan::IsMountPoint(dir)) mask |= 1u << (letter - 'A');
  }
  return mask;
}
