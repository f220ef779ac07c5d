#include "core/library_registry.h"

#include <algorithm>
#include <mutex>

namespace dz::core {
namespace {

struct Libraries {
  std::mutex mutex;
  std::vector<std::string> names;
};

Libraries& libraries() {
  static auto* instance = new Libraries;
  return *instance;
}

}  // namespace

bool registerLibrary(const std::string& name, const std::function<void()>& start) {
  {
    Libraries& registry = libraries();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (std::find(registry.names.begin(), registry.names.end(), name) != registry.names.end()) {
      return false;
    }
    registry.names.push_back(name);
  }
  if (start) start();
  return true;
}

std::vector<std::string> registeredLibraries() {
  Libraries& registry = libraries();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.names;
}

}  // namespace dz::core
