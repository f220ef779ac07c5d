#include "tests/support/redis_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/redis_client.h"

namespace dz::testing {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);

std::filesystem::path findProgram() {
  const char* path = std::getenv("PATH");
  std::string directories = path ? path : "";
  directories += ":/usr/bin:/usr/sbin:/usr/local/bin";
  size_t begin = 0;
  while (begin <= directories.size()) {
    const size_t end = std::min(directories.find(':', begin), directories.size());
    const std::filesystem::path candidate =
        std::filesystem::path(directories.substr(begin, end - begin)) / "redis-server";
    if (end > begin && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  throw std::runtime_error("redis-server not found (scripts/setup installs it)");
}

// A port the kernel just handed out and took back: free unless another process grabs it in the
// moment before redis binds it, which start() detects and retries.
uint16_t pickFreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("no free port for redis");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

RedisServer::RedisServer() {
  char pattern[] = "/tmp/dz-redis-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (start(pickFreePort())) return;
  }
  std::filesystem::remove_all(directory_);
  throw std::runtime_error("redis-server did not start; see its log under /tmp");
}

RedisServer::~RedisServer() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

bool RedisServer::start(uint16_t port) {
  const std::string log = (directory_ / "redis.log").string();
  std::vector<std::string> arguments = {"--port",
                                        std::to_string(port),
                                        "--bind",
                                        "127.0.0.1",
                                        "--save",
                                        "",
                                        "--appendonly",
                                        "no",
                                        "--dir",
                                        directory_.string(),
                                        "--daemonize",
                                        "no",
                                        "--protected-mode",
                                        "yes",
                                        "--logfile",
                                        log};
  process_ = std::make_unique<Child>(findProgram().string(), std::move(arguments),
                                     directory_ / "redis.out", std::vector<std::string>{},
                                     /*diesWithParent=*/true);
  if (process_->pid() < 0) throw std::runtime_error("fork failed");
  port_ = port;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    process_->waitForExit(std::chrono::milliseconds(0));
    if (process_->pid() < 0) {  // the port was taken, or it failed
      process_.reset();
      return false;
    }
    try {
      RedisClient client(port_);
      if (client.command({"PING"}).text == "PONG") return true;
    } catch (const std::runtime_error&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop();
  return false;
}

void RedisServer::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  process_->waitForExit();
  process_.reset();
}

}  // namespace dz::testing
