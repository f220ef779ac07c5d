#include "platform/log.h"

#include <unistd.h>

#include <string>

namespace dz::platform {

void logLine(std::string_view line) {
  // One write() per line keeps lines from different threads whole.
  std::string text(line);
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  text.push_back('\n');
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace dz::platform
