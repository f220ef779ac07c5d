// RedisServer: a real redis-server child process for one test or benchmark, the independent
// reference for geo answers. It listens on 127.0.0.1 on a free port, saves nothing to disk, dies
// with this process, and is stopped when the object goes away. Construction waits until it
// answers; it throws std::runtime_error when redis-server is missing or does not come up.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>

namespace dz::testing {

class RedisServer {
 public:
  RedisServer();
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  uint16_t port() const { return port_; }

 private:
  bool start(uint16_t port);
  void stop();

  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::filesystem::path directory_;
};

}  // namespace dz::testing
