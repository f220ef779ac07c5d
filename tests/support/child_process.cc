#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "tests/support/sandbox.h"

extern char** environ;

namespace dz::testing {

Child::Child(const std::string& program, std::vector<std::string> arguments,
             const std::filesystem::path& output, std::vector<std::string> extraEnvironment) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // The test's sandbox is no variable of this process: hand it over as the child's DZ_HOME.
  if (const std::filesystem::path* sandbox = ScopedSandbox::current()) {
    extraEnvironment.push_back("DZ_HOME=" + sandbox->string());
  }
  auto overridden = [&](std::string_view entry) {
    return std::any_of(extraEnvironment.begin(), extraEnvironment.end(), [&](const auto& extra) {
      return entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1);
    });
  };
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry) {
    if (!overridden(*entry)) envp.push_back(*entry);
  }
  for (auto& entry : extraEnvironment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Child::signal(int signal) const { return pid_ > 0 && kill(pid_, signal) == 0; }

std::optional<int> Child::waitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (fd < 0) return std::nullopt;
  pollfd ended{.fd = fd, .events = POLLIN, .revents = 0};
  int ready = poll(&ended, 1, static_cast<int>(timeout.count()));
  close(fd);
  if (ready != 1) return std::nullopt;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace dz::testing
