// The library's directory tree and the small directory services other parts
// use: global initialisation, recursive delete and size, temporary names.
//
//   base       $USERPROFILE (or $HOME) + "/.korbel"
//   log        base + "/log"
//   cache root $TMPDIR (or $XDG_CACHE_HOME, or ~/.cache) + "/korbel";
//              must belong to the user with mode 0700
//   block      cache root + "/block"   (kept across starts)
//   temporary  cache root + "/tmp"     (emptied at global init when no other
//              process of the library uses it; a process started beside a
//              running one uses tmp/<pid> instead)
#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

// Status codes of the directory services beyond POSIX errno values.
constexpr int kStatusNoHomeDirectory = 720003;   // neither USERPROFILE nor HOME set
constexpr int kStatusCacheRootUnsafe = 720005;   // cache root not private to the user

// Runs once per process (later calls return the first result): APR and
// libcurl initialisation, the directory tree, the temporary directory
// emptied. Returns 0, or a negative status when the tree cannot be made
// (the exports that need it then fail with that status).
int globalInitialize();

// A step that the first successful globalInitialize runs once the tree is
// ready. Parts of the library above this one register theirs while the
// program loads (a namespace-scope initialiser), so that the step runs
// whichever export initialises first: the block cache counts the blocks
// that earlier runs left. Returns true, for use in such an initialiser.
using ReadyStep = void (*)();
bool runWhenDirectoriesReady(ReadyStep step);

// Removes a file or a directory tree. 0 on success or when `path` is absent;
// otherwise a negative status (-errno).
int removeRecursive(const std::string& path);

// Adds the size of a file or a directory tree to `bytes` (absent: untouched).
// 0, or a negative status (-errno).
int sizeRecursive(const std::string& path, int64_t& bytes);

// Creates `path` and its parents with mode 0700. 0 or -errno.
int makeDirectories(const std::string& path);

// temporary directory + "/" + n + ".tmp", n counting from 0 after init.
std::string temporaryFileName();

}  // namespace tarvik
