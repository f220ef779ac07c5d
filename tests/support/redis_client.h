// RedisClient: a minimal blocking RESP client over one TCP connection to 127.0.0.1, enough for
// tests and benchmarks to ask a real redis-server the reference answer. Not thread-safe; errors
// (connection lost, malformed reply) throw std::runtime_error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dz::testing {

struct RedisReply {
  enum class Type { Status, Error, Integer, Bulk, Nil, Array };
  Type type = Type::Nil;
  std::string text;  // status, error or bulk text
  int64_t integer = 0;
  std::vector<RedisReply> elements;
};

class RedisClient {
 public:
  explicit RedisClient(uint16_t port);
  ~RedisClient();
  RedisClient(const RedisClient&) = delete;
  RedisClient& operator=(const RedisClient&) = delete;

  // Sends one command and reads its reply; an error reply is returned, not thrown.
  RedisReply command(const std::vector<std::string>& arguments);
  // The texts of an array reply of bulk strings (GEOSEARCH members, ...); throws for others.
  std::vector<std::string> strings(const std::vector<std::string>& arguments);

 private:
  void fill();
  std::string readLine();
  RedisReply readReply();

  int fd_ = -1;
  std::string buffer_;
  size_t offset_ = 0;
};

}  // namespace dz::testing
