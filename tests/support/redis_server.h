// RedisServer: a real redis-server child process for one test or benchmark, the independent
// reference for geo answers. It listens on 127.0.0.1 on a free port, saves nothing to disk, dies
// with this process, and is stopped when the object goes away. Construction waits until it
// answers; it throws std::runtime_error when redis-server is missing or does not come up.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "tests/support/child_process.h"

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

  std::unique_ptr<Child> process_;
  uint16_t port_ = 0;
  std::filesystem::path directory_;
};

}  // namespace dz::testing
