// dz-devserver: runs the development server's database on 127.0.0.1 until SIGTERM or SIGINT.
// Prints "port <n>" and, with TLS, "ca <path>" on standard output once it listens; writes the
// same lines to the ready file when one is named. SIGUSR1 drops every connection. With a parent
// pid it also stops when that process ends, so a script that dies leaves no server behind.
//
//   dz-devserver [--port N] [--tls on|off] [--data file.json] [--namespace ns]
//                [--auth on|off] [--auth-users file.json] [--update-version V]
//                [--deny path] [--verbose] [--ready-file path] [--parent-pid pid] [--threads n]
//
// An argument it cannot read is named, with what it needs, above the usage (exit status 2).
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/devserver/dev_server.h"

namespace {

constexpr char kUsage[] =
    "usage: dz-devserver [--port N] [--tls on|off] [--data file.json] [--namespace ns]\n"
    "                    [--auth on|off] [--auth-users file.json] [--update-version V]\n"
    "                    [--deny path] [--verbose] [--ready-file path] [--parent-pid pid]\n"
    "                    [--threads n]\n";

struct Arguments {
  dz::devserver::Options options;
  std::string dataFile;
  std::vector<std::string> deniedPaths;
  std::string readyFile;
  pid_t parentPid = 0;
};

// An option's value: what it needs, said when it is missing or does not read, and its reader.
struct Option {
  std::string needs;
  std::function<bool(const std::string& value)> read;
};

template <typename Number>
Option numberOption(Number& number, long low, long high) {
  return {"a number from " + std::to_string(low) + " to " + std::to_string(high),
          [&number, low, high](const std::string& value) {
            long read = 0;
            const char* end = value.data() + value.size();
            auto [stop, error] = std::from_chars(value.data(), end, read);
            // "12x" is no number, though a prefix of it is.
            if (error != std::errc() || stop != end || read < low || read > high) return false;
            number = static_cast<Number>(read);
            return true;
          }};
}

Option switchOption(bool& on) {
  return {"on or off", [&on](const std::string& value) {
            if (value != "on" && value != "off") return false;
            on = value == "on";
            return true;
          }};
}

template <typename Text>
Option textOption(std::string needs, Text& text) {
  return {std::move(needs), [&text](const std::string& value) {
            text = value;
            return true;
          }};
}

// What is wrong with the arguments, naming the one at fault; none when they all read.
std::optional<std::string> parseArguments(int argc, char** argv, Arguments& arguments) {
  dz::devserver::Options& server = arguments.options;
  const std::map<std::string, Option, std::less<>> options{
      {"--port", numberOption(server.port, 0, 65535)},
      {"--tls", switchOption(server.tls)},
      {"--auth", switchOption(server.auth)},
      // Authentication endpoints too, with their users kept in this file.
      {"--auth-users",
       {"a file",
        [&](const std::string& value) {
          server.auth = true;
          server.authSettings.usersFile = value;
          return true;
        }}},
      // Serves the update documents naming this version.
      {"--update-version",
       {"a version",
        [&](const std::string& value) {
          server.updates = true;
          server.updateSettings.currentVersion = value;
          return true;
        }}},
      {"--data", textOption("a file", arguments.dataFile)},
      {"--namespace", textOption("a namespace", server.defaultNamespace)},
      {"--threads", numberOption(server.connectionThreads, 1, 64)},
      {"--deny",
       {"a path",
        [&](const std::string& value) {
          arguments.deniedPaths.push_back(value);
          return true;
        }}},
      {"--ready-file", textOption("a file", arguments.readyFile)},
      {"--parent-pid", numberOption(arguments.parentPid, 2, std::numeric_limits<pid_t>::max())},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--verbose") {
      server.verbose = true;
      continue;
    }
    auto option = options.find(name);
    if (option == options.end()) return "unknown option " + name;
    const std::string& needs = option->second.needs;
    if (i + 1 == argc) return name + " needs " + needs;
    const std::string value = argv[++i];
    if (!option->second.read(value)) return name + " needs " + needs + ", not " + value;
  }
  return std::nullopt;
}

// Written whole under a temporary name and renamed, so a reader polling for the file never sees
// half of it.
bool writeReadyFile(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    if (!(file << text) || !file.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// Turns the end of `parent` into a SIGTERM for this process. Watches a pid file descriptor where
// the kernel has them, else checks every 200 ms.
void stopWhenParentEnds(pid_t parent) {
  std::thread([parent] {
    int fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
    if (fd >= 0) {
      pollfd watch{.fd = fd, .events = POLLIN, .revents = 0};
      while (poll(&watch, 1, -1) < 0 && errno == EINTR) {
      }
    } else {
      while (kill(parent, 0) == 0 || errno == EPERM) usleep(200 * 1000);
    }
    kill(getpid(), SIGTERM);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  Arguments arguments;
  if (auto wrong = parseArguments(argc, argv, arguments)) {
    std::cerr << "dz-devserver: " << *wrong << "\n" << kUsage;
    return 2;
  }
  // Blocked before the server's thread starts, so only sigwait below sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (arguments.parentPid > 0) stopWhenParentEnds(arguments.parentPid);

  try {
    auto server = dz::devserver::DevServer::start(arguments.options);
    if (!arguments.dataFile.empty()) {
      std::ifstream file(arguments.dataFile);
      if (!file) {
        std::cerr << "dz-devserver: cannot read " << arguments.dataFile << "\n";
        return 1;
      }
      std::stringstream text;
      text << file.rdbuf();
      server->setJson("/", text.str());
    }
    for (const auto& path : arguments.deniedPaths) server->databaseService().denyPath(path);
    std::ostringstream ready;
    ready << "port " << server->port() << "\n";
    if (!server->caFile().empty()) ready << "ca " << server->caFile().string() << "\n";
    if (server->authService()) ready << "auth " << server->authHost() << "\n";
    if (server->updateService()) ready << "updates " << server->updateServerUrl() << "\n";
    ready << "url " << server->databaseUrl() << "\n";
    std::cout << ready.str() << std::flush;
    if (!arguments.readyFile.empty() && !writeReadyFile(arguments.readyFile, ready.str())) {
      std::cerr << "dz-devserver: cannot write " << arguments.readyFile << "\n";
      return 1;
    }
    int received = 0;
    while (sigwait(&signals, &received) == 0 && received == SIGUSR1) {
      std::cerr << "dz-devserver: dropping every connection\n";
      server->databaseService().dropConnections();
    }
    server->stop();
  } catch (const std::exception& e) {
    std::cerr << "dz-devserver: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
