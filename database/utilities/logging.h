// The database client's log level gate and its log helpers. Every database log line goes through
// one of logDebug/logInfo/logWarning/logError, which drop the line unless the level admits it and
// otherwise hand it to the shared logger under the tag "[Dezuvura/Database]". With logging switched
// on, info and debug lines are written without the shared logger's debug mode. Messages are plain
// text, never format strings. Thread-safe.
#pragma once

#include <string_view>

namespace dz::database {

inline constexpr int kLogLevelDebug = 1;
inline constexpr int kLogLevelInfo = 2;
inline constexpr int kLogLevelWarning = 3;
inline constexpr int kLogLevelError = 4;

inline constexpr char kDatabaseLogTag[] = "[Dezuvura/Database]";

// True when the current level is at or below `level` (2, info, by default).
bool logLevelEnabled(int level);

// Switches debug logging: level 1 when on, 2 when off.
void setLoggingEnabled(bool enabled);

void logDebug(std::string_view code, std::string_view message);
void logInfo(std::string_view code, std::string_view message);
void logWarning(std::string_view code, std::string_view message);
void logError(std::string_view code, std::string_view message);

}  // namespace dz::database
