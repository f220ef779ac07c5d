#include "database/utilities/logging.h"

#include <atomic>

#include "core/logger.h"

namespace dz::database {
namespace {

std::atomic<int> gLogLevel{kLogLevelInfo};

}  // namespace

bool logLevelEnabled(int level) { return gLogLevel.load(std::memory_order_relaxed) <= level; }

void setLoggingEnabled(bool enabled) {
  gLogLevel.store(enabled ? kLogLevelDebug : kLogLevelInfo, std::memory_order_relaxed);
}

// Debug level is reached only through setLoggingEnabled(true), the program's request for the lines.
void logDebug(std::string_view code, std::string_view message) {
  if (logLevelEnabled(kLogLevelDebug)) core::logRequested(kDatabaseLogTag, code, message);
}

void logInfo(std::string_view code, std::string_view message) {
  if (logLevelEnabled(kLogLevelDebug)) {
    core::logRequested(kDatabaseLogTag, code, message);
  } else if (logLevelEnabled(kLogLevelInfo)) {
    core::logInfo(kDatabaseLogTag, code, message);
  }
}

void logWarning(std::string_view code, std::string_view message) {
  if (logLevelEnabled(kLogLevelWarning)) core::logWarning(kDatabaseLogTag, code, message);
}

void logError(std::string_view code, std::string_view message) {
  if (logLevelEnabled(kLogLevelError)) core::logError(kDatabaseLogTag, code, message);
}

}  // namespace dz::database
