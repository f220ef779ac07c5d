// dz-devserver: runs the development server's database on 127.0.0.1 until SIGTERM or SIGINT.
// Prints "port <n>" and, with TLS, "ca <path>" on standard output once it listens.
//
//   dz-devserver [--port N] [--tls on|off] [--data file.json] [--namespace ns]
//                [--deny path] [--verbose]
#include <signal.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/devserver/dev_server.h"

namespace {

constexpr char kUsage[] =
    "usage: dz-devserver [--port N] [--tls on|off] [--data file.json] [--namespace ns]\n"
    "                    [--deny path] [--verbose]\n";

struct Arguments {
  dz::devserver::Options options;
  std::string dataFile;
  std::vector<std::string> deniedPaths;
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
    } else if (name == "--data") {
      arguments.dataFile = value;
    } else if (name == "--namespace") {
      arguments.options.defaultNamespace = value;
    } else if (name == "--deny") {
      arguments.deniedPaths.push_back(value);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
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
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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
    for (const auto& path : arguments.deniedPaths) server->denyPath(path);
    std::cout << "port " << server->port() << "\n";
    if (server->tls()) std::cout << "ca " << server->caFile().string() << "\n";
    std::cout << "url " << server->databaseUrl() << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    server->stop();
  } catch (const std::exception& e) {
    std::cerr << "dz-devserver: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
