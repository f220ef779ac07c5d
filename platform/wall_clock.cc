#include "platform/wall_clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace dz::platform {
namespace {

struct Replacement {
  std::mutex mutex;
  std::function<double()> source;
  // Lets the common case, no replacement, read the clock without the lock.
  std::atomic<bool> installed{false};
};

Replacement& replacement() {
  static auto* shared = new Replacement;
  return *shared;
}

}  // namespace

double wallClockSeconds() {
  auto& hook = replacement();
  if (hook.installed.load(std::memory_order_acquire)) {
    std::lock_guard lock(hook.mutex);
    if (hook.source) return hook.source();
  }
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void setWallClockSource(std::function<double()> source) {
  auto& hook = replacement();
  std::lock_guard lock(hook.mutex);
  hook.installed.store(static_cast<bool>(source), std::memory_order_release);
  hook.source = std::move(source);
}

}  // namespace dz::platform
