// Drive letters and mount points on Linux.
//
// A mount point text "X:" (optionally followed by "\" or "/") names the
// directory $HOME/Ambermoor/X; a text beginning with "/" is the directory
// itself. Letters A to C always count as in use; any other letter is in use
// while its directory is a mount point.
#pragma once

#include <string>

#include "windows_types.h"

namespace dokan {

// Directory for a mount point text; empty when the text names neither a drive
// letter nor an absolute directory.
std::string MountDirectoryFor(const std::string& mountPoint);

// Creates the directory (and its parents) when missing. False on failure.
bool EnsureMountDirectory(const std::string& dir);

// True while `dir` appears as a mount point in /proc/self/mountinfo.
bool IsMountPoint(const std::string& dir);

// Minor device number of the file system mounted on `dir`, or -1.
long MountMinor(const std::string& dir);

}  // namespace dokan

// Bit n set: drive letter 'A' + n is in use.
DWORD GetLogicalDrives();
