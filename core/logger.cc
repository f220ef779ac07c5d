#include "core/logger.h"

#include <memory>
#include <string>

#include "platform/dispatch_queue.h"
#include "platform/log.h"
#include "platform/process_info.h"
#include "platform/user_defaults.h"

namespace dz::core {
namespace {

constexpr char kLoggerQueueLabel[] = "com.vivuro.dezuvura.logger";
constexpr char kDebugModeDefaultsKey[] = "/vivuro/dezuvura/debug_mode";
constexpr char kDebugEnabledArgument[] = "-DZDebugEnabled";
constexpr char kDebugDisabledArgument[] = "-DZDebugDisabled";

// Never released: lines may still be queued while the process exits.
platform::DispatchQueue& loggerQueue() {
  static auto* queue =
      new platform::DispatchQueuePtr(platform::DispatchQueue::create(kLoggerQueueLabel));
  return **queue;
}

// A launch argument decides for this run; without one, the stored switch does.
bool debugModeSwitch() {
  bool enabledByArgument = false;
  for (const std::string& argument : platform::ProcessInfo::processInfo().arguments()) {
    if (argument == kDebugDisabledArgument) return false;
    if (argument == kDebugEnabledArgument) enabledByArgument = true;
  }
  return enabledByArgument || platform::UserDefaults::standard()->boolForKey(kDebugModeDefaultsKey);
}

void writeLine(std::string_view serviceTag, std::string_view code, std::string_view message) {
  std::string line;
  line.reserve(serviceTag.size() + code.size() + message.size() + 3);
  line.append(serviceTag).append("[").append(code).append("] ").append(message);
  loggerQueue().async([line = std::move(line)] { platform::logLine(line); });
}

}  // namespace

bool isDebugLoggingEnabled() {
  return debugModeSwitch() || platform::ProcessInfo::processInfo().isDebuggerAttached();
}

void logError(std::string_view serviceTag, std::string_view code, std::string_view message) {
  writeLine(serviceTag, code, message);
}

void logWarning(std::string_view serviceTag, std::string_view code, std::string_view message) {
  writeLine(serviceTag, code, message);
}

void logInfo(std::string_view serviceTag, std::string_view code, std::string_view message) {
  if (isDebugLoggingEnabled()) writeLine(serviceTag, code, message);
}

void logDebug(std::string_view serviceTag, std::string_view code, std::string_view message) {
  if (isDebugLoggingEnabled()) writeLine(serviceTag, code, message);
}

void logRequested(std::string_view serviceTag, std::string_view code, std::string_view message) {
  writeLine(serviceTag, code, message);
}

void flushLog() {
  loggerQueue().sync([] {});
}

}  // namespace dz::core
