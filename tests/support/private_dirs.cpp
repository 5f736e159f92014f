#include "private_dirs.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tarvik_test {
namespace {

std::string* g_dir = nullptr;

void removeDir() {
  std::error_code ignored;
  if (g_dir != nullptr && std::getenv("TARVIK_TEST_KEEP") == nullptr) std::filesystem::remove_all(*g_dir, ignored);
}

}  // namespace

const std::string& usePrivateDirectories() {
  if (g_dir == nullptr) {
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a private test directory");
    g_dir = new std::string(tmpl);
    setenv("USERPROFILE", g_dir->c_str(), 1);
    setenv("HOME", g_dir->c_str(), 1);
    setenv("TMPDIR", g_dir->c_str(), 1);
    std::atexit(removeDir);
  }
  return *g_dir;
}

}  // namespace tarvik_test
