#include "optable/decas.h"

#include <atomic>

namespace tarvik {
namespace {
std::atomic<RenameListener> g_renameListener{nullptr};
}  // namespace

void setRenameListener(RenameListener listener) { g_renameListener.store(listener); }

void notifyRenamed(const std::string& from, const std::string& to) {
  if (RenameListener listener = g_renameListener.load()) listener(from, to);
}

}  // namespace tarvik
