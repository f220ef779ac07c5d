// A child process for end-to-end tests: started with posix_spawn, its standard output and error
// going to one file, killed (SIGKILL) and reaped when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dz::testing {

class Child {
 public:
  // `extraEnvironment` entries ("NAME=value") are added to this process's environment, in place
  // of any of the same name; DZ_HOME is the current test sandbox's root, when there is one.
  Child(const std::string& program, std::vector<std::string> arguments,
        const std::filesystem::path& output, std::vector<std::string> extraEnvironment = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // -1 when it could not be started, or after it was reaped.
  pid_t pid() const { return pid_; }
  // Sends `signal`; false when there is no process.
  bool signal(int signal) const;

  // The exit status once the process ended within `timeout`; none when it did not (or was
  // killed by a signal).
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  pid_t pid_ = -1;
};

}  // namespace dz::testing
