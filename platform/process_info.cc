#include "platform/process_info.h"

#include <sys/utsname.h>

#include <charconv>

#include "platform/file_manager.h"

namespace dz::platform {
namespace {

constexpr char kUnknown[] = "unknown";
constexpr std::string_view kTracerField = "TracerPid:";

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
  static ProcessInfo* info = new ProcessInfo();  // never destroyed: used until exit
  return *info;
}

std::vector<std::string> ProcessInfo::arguments() const {
  std::lock_guard lock(mutex_);
  return arguments_;
}

void ProcessInfo::setArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; argv && i < argc; ++i) {
    if (argv[i]) arguments.emplace_back(argv[i]);
  }
  setArguments(std::move(arguments));
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(mutex_);
  arguments_ = std::move(arguments);
}

std::string ProcessInfo::operatingSystemVersionString() const {
  struct utsname name;
  if (::uname(&name) != 0) return kUnknown;
  std::string text = name.sysname;
  text += ' ';
  text += name.release;
  text += ' ';
  text += name.version;
  return text;
}

std::string ProcessInfo::machineModel() const {
  struct utsname name;
  if (::uname(&name) != 0) return kUnknown;
  return name.machine;
}

bool ProcessInfo::isDebuggerAttached() const {
  std::optional<std::string> status = FileManager::readFile("/proc/self/status");
  return status && statusTextShowsTracer(*status);
}

bool statusTextShowsTracer(std::string_view statusText) {
  size_t lineStart = 0;
  while (lineStart < statusText.size()) {
    size_t lineEnd = statusText.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = statusText.size();
    std::string_view line = statusText.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (!line.starts_with(kTracerField)) continue;
    line.remove_prefix(kTracerField.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    long pid = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
    return error == std::errc() && pid != 0;
  }
  return false;
}

}  // namespace dz::platform
