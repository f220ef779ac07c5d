#include "auth/rpc/auth_clock.h"

#include <chrono>
#include <mutex>

namespace dz::auth {
namespace {

std::mutex& clockMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::function<double()>& source() {
  static auto* function = new std::function<double()>;
  return *function;
}

}  // namespace

double currentTime() {
  {
    std::lock_guard lock(clockMutex());
    if (source()) return source()();
  }
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void setTimeSource(std::function<double()> function) {
  std::lock_guard lock(clockMutex());
  source() = std::move(function);
}

}  // namespace dz::auth
