#include <mutex>
#include <set>
#include <string>

#include "platform/log.h"

namespace dz::platform {

void logLineOnce(std::string_view line) {
  // Never destroyed: connections may still be set up while the process exits.
  static auto* mutex = new std::mutex;
  static auto* written = new std::set<std::string, std::less<>>;
  {
    std::lock_guard lock(*mutex);
    if (!written->emplace(line).second) return;
  }
  logLine(line);
}

}  // namespace dz::platform
