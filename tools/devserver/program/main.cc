// dz-devserver: runs the development server's database on 127.0.0.1 until SIGTERM or SIGINT.
// Prints "port <n>" and, with TLS, "ca <path>" on standard output once it listens; writes the
// same lines to the ready file when one is named. SIGUSR1 drops every connection. With a parent
// pid it also stops when that process ends, so a script that dies leaves no server behind.
//
//   dz-devserver [--port N] [--tls on|off] [--data file.json] [--namespace ns]
//                [--auth on|off] [--auth-users file.json] [--update-version V]
//                [--deny path] [--verbose] [--ready-file path] [--parent-pid pid] [--threads n]
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
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

bool parseArguments(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--verbose") {
      arguments.options.verbose = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (name == "--port") {
      try {
        int port = std::stoi(value);
        if (port < 0 || port > 65535) return false;
        arguments.options.port = static_cast<uint16_t>(port);
      } catch (const std::exception&) {
        return false;
      }
    } else if (name == "--tls") {
      if (value != "on" && value != "off") return false;
      arguments.options.tls = value == "on";
    } else if (name == "--auth-users") {
      // Authentication endpoints too, with their users kept in this file.
      arguments.options.auth = true;
      arguments.options.authSettings.usersFile = value;
    } else if (name == "--auth") {
      if (value != "on" && value != "off") return false;
      arguments.options.auth = value == "on";
    } else if (name == "--update-version") {
      // Serves the update documents naming this version.
      arguments.options.updates = true;
      arguments.options.updateSettings.currentVersion = value;
    } else if (name == "--data") {
      arguments.dataFile = value;
    } else if (name == "--namespace") {
      arguments.options.defaultNamespace = value;
    } else if (name == "--threads") {
      try {
        int threads = std::stoi(value);
        if (threads < 1 || threads > 64) return false;
        arguments.options.connectionThreads = static_cast<unsigned>(threads);
      } catch (const std::exception&) {
        return false;
      }
    } else if (name == "--deny") {
      arguments.deniedPaths.push_back(value);
    } else if (name == "--ready-file") {
      arguments.readyFile = value;
    } else if (name == "--parent-pid") {
      try {
        arguments.parentPid = std::stoi(value);
      } catch (const std::exception&) {
        return false;
      }
      if (arguments.parentPid <= 1) return false;
    } else {
      return false;
    }
  }
  return true;
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
  if (!parseArguments(argc, argv, arguments)) {
    std::cerr << kUsage;
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
