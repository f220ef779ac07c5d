// The platform's own last-resort log: one line to standard error, written whole. Used where no
// higher logger exists (a task that threw on a queue) and under the shared logger. Line breaks
// inside `line` are written as blanks, so that text from elsewhere cannot pass for further log
// lines. Thread-safe.
#pragma once

#include <string_view>

namespace dz::platform {

void logLine(std::string_view line);
// logLine for a set-up mistake that every attempt meets again: each distinct line is written once
// per process. Defined apart from logLine, which the fuzz targets replace.
void logLineOnce(std::string_view line);

}  // namespace dz::platform
