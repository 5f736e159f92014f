// Gives a test process a home and temporary directory of its own, so the
// library's block cache, temporary files and logs never mix with those of
// test processes running at the same time (ctest -j). Call before anything
// initialises the library; later calls return the same directory.
#pragma once

#include <string>

namespace tarvik_test {

// Sets USERPROFILE, HOME and TMPDIR to a fresh directory (removed at exit).
const std::string& usePrivateDirectories();

}  // namespace tarvik_test
