#include "platform/task_guard.h"

#include <exception>
#include <string>

#include "platform/exception.h"
#include "platform/log.h"

namespace dz::platform {

void runCatchingAll(const std::function<void()>& task, std::string_view owner) noexcept {
  if (!task) return;
  std::string line;
  try {
    task();
    return;
  } catch (const dz::Exception& e) {
    line = std::string(owner) + ": task threw " + e.name() + ": " + e.what();
  } catch (const std::exception& e) {
    line = std::string(owner) + ": task threw: " + e.what();
  } catch (...) {
    line = std::string(owner) + ": task threw an unknown exception";
  }
  logLine(line);
}

}  // namespace dz::platform
