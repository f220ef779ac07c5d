// Child processes and the files they write, for tests that run programs: a Child is started
// with its standard output and error going to one file, and killed (SIGKILL) and reaped when the
// object goes. waitForFile() is how a test waits for what a child (or anything else) writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dz::testing {

class Child {
 public:
  // `extraEnvironment` entries ("NAME=value") are added to this process's environment, in place
  // of any of the same name; DZ_HOME is the current test sandbox's root, when there is one and
  // the entries name none. With `diesWithParent`, the child is killed when the thread that
  // started it ends, so that a server outlives no test, however the test ends.
  Child(const std::string& program, std::vector<std::string> arguments,
        const std::filesystem::path& output, std::vector<std::string> extraEnvironment = {},
        bool diesWithParent = false);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // -1 when it could not be started, or after it was reaped.
  pid_t pid() const { return pid_; }
  // Sends `signal`; false when there is no process.
  bool signal(int signal) const;

  // The exit status once the process ended within `timeout`; none when it did not (or was
  // killed by a signal). Once it ended, pid() is -1.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  pid_t pid_ = -1;
};

// The arguments of a Child of /bin/sh that runs `program` with `arguments`, its standard output
// thrown away, so that the Child's file holds only what `program` writes to standard error.
std::vector<std::string> standardErrorOnly(const std::string& program,
                                           std::vector<std::string> arguments);

// The whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Waits until `file` exists and its text satisfies `ready` (by default, as soon as it exists);
// returns that text, or none after `timeout`.
std::optional<std::string> waitForFile(
    const std::filesystem::path& file,
    const std::function<bool(const std::string& text)>& ready = nullptr,
    std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace dz::testing
