#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "tests/support/sandbox.h"

extern char** environ;

namespace dz::testing {

Child::Child(const std::string& program, std::vector<std::string> arguments,
             const std::filesystem::path& output, std::vector<std::string> extraEnvironment,
             bool diesWithParent) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  auto overridden = [&](std::string_view entry) {
    return std::any_of(extraEnvironment.begin(), extraEnvironment.end(), [&](const auto& extra) {
      return entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1);
    });
  };
  // The test's sandbox is no variable of this process: hand it over as the child's DZ_HOME.
  const std::filesystem::path* sandbox = ScopedSandbox::current();
  if (sandbox && !overridden("DZ_HOME=")) {
    extraEnvironment.push_back("DZ_HOME=" + sandbox->string());
  }
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry) {
    if (!overridden(*entry)) envp.push_back(*entry);
  }
  for (auto& entry : extraEnvironment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const std::string outputPath = output.string();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec: the test has other threads.
    if (diesWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
    }
    int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) _exit(127);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO) close(fd);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
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

std::vector<std::string> standardErrorOnly(const std::string& program,
                                           std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"-c", R"(exec "$0" "$@" >/dev/null)", program});
  return arguments;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::string> waitForFile(const std::filesystem::path& file,
                                       const std::function<bool(const std::string& text)>& ready,
                                       std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (std::filesystem::exists(file)) {
      std::string text = readFile(file);
      if (!ready || ready(text)) return text;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    // Another process writes the file: there is no condition of ours to wait on.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace dz::testing
