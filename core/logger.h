// The shared logger of the client libraries: one line "<tag>[<code>] <message>" per call, written
// to standard error in call order on the logger's own serial queue. Error and warning lines are
// always written; info and debug lines only in debug mode or while a debugger is attached.
// Messages are plain text, never format strings. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace dz::core {

void logError(std::string_view serviceTag, std::string_view code, std::string_view message);
void logWarning(std::string_view serviceTag, std::string_view code, std::string_view message);
void logInfo(std::string_view serviceTag, std::string_view code, std::string_view message);
void logDebug(std::string_view serviceTag, std::string_view code, std::string_view message);
// An info or debug line that a library's own logging switch asked for (the database's
// setLoggingEnabled): written in or out of debug mode, as a program that switches logging on
// passes no launch argument.
void logRequested(std::string_view serviceTag, std::string_view code, std::string_view message);

// Debug mode: launch argument "-DZDebugEnabled", or else the user-defaults switch
// "/vivuro/dezuvura/debug_mode" (both overruled by the launch argument "-DZDebugDisabled"), or a
// debugger attached. Read on every call, so a switch takes effect at once.
bool isDebugLoggingEnabled();

// Waits until every line queued so far has been written (tests, orderly exit).
void flushLog();

}  // namespace dz::core
