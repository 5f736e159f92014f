// The drive's root layout and path kinds, as the drive applies them, and the
// conversion of a selected Windows-form path into a drive path. The
// extension keeps its own copy: it never links the filesystem library.
#pragma once

#include <array>
#include <string>

namespace shellext {

// Kind of a drive path: 3 x area + 0 (the area folder), + 1 (a direct
// child), + 2 (deeper); 99 for "/"; -1 outside every area. Areas in order:
// Home, Shared folders, Trash, the system folder.
constexpr int kKindNone = -1;
constexpr int kKindDriveRoot = 99;

struct RootLayout {
  struct Area {
    std::string localName;      // "/Home", "/ホーム", ...
    std::string servicePrefix;  // "/" + user id, "", "/!" + user id, "/__system__"
  };
  std::array<Area, 4> areas;

  // Japanese local names when `language` is exactly "ja", English otherwise.
  RootLayout(const std::string& userId, const std::string& language);

  // Kind of `drivePath` (UTF-8, "/" separators) and its service path. An
  // area's name matches only as a whole component, as on the drive.
  int kind(const std::string& drivePath, std::string* servicePath) const;
};

// True when the area folders and the drive root: the kind divides by 3.
inline bool isAreaRoot(int kind) { return kind >= 0 && kind % 3 == 0; }

// True when `path` lies on the drive whose mount point is `mountPoint`
// ("E:" or a directory): it begins with it and a separator or nothing
// follows.
bool onDrive(const std::u16string& path, const std::u16string& mountPoint);

// The drive path of a selected path on the drive: the mount point dropped,
// the rest in UTF-8 with "\" turned into "/" ("/" for the drive itself).
// False for text that is not valid UTF-16.
bool drivePathOf(const std::u16string& path, const std::u16string& mountPoint, std::string* drivePath);

}  // namespace shellext
