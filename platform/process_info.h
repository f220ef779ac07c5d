// ProcessInfo: facts about the running process and its machine: the launch arguments (handed over
// by the program's main(), or set by tests), the operating-system version and machine model
// (uname), and whether a debugger is attached (TracerPid in /proc/self/status). Thread-safe;
// processInfo() lives until exit.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dz::platform {

class ProcessInfo {
 public:
  static ProcessInfo& processInfo();

  ProcessInfo(const ProcessInfo&) = delete;
  ProcessInfo& operator=(const ProcessInfo&) = delete;

  // Empty until set.
  std::vector<std::string> arguments() const;
  void setArguments(int argc, const char* const* argv);
  void setArguments(std::vector<std::string> arguments);

  // "<system name> <release> <version>" of uname, e.g. "Linux 6.1.0 #1 SMP ..."; "unknown" when
  // uname fails.
  std::string operatingSystemVersionString() const;
  // The machine of uname ("x86_64", "aarch64"); "unknown" when uname fails.
  std::string machineModel() const;
  // True when /proc/self/status names a non-zero TracerPid; false when it cannot be read.
  bool isDebuggerAttached() const;

 private:
  ProcessInfo() = default;
  mutable std::mutex mutex_;
  std::vector<std::string> arguments_;
};

// The TracerPid rule on the text of a status file, apart for tests.
bool statusTextShowsTracer(std::string_view statusText);

}  // namespace dz::platform
