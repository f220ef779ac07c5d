#include "tests/support/redis_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace dz::testing {

RedisClient::RedisClient(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("connect to redis: " + reason);
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RedisClient::~RedisClient() {
  if (fd_ >= 0) ::close(fd_);
}

RedisReply RedisClient::command(const std::vector<std::string>& arguments) {
  std::string request = "*" + std::to_string(arguments.size()) + "\r\n";
  for (const std::string& argument : arguments) {
    request += "$" + std::to_string(argument.size()) + "\r\n" + argument + "\r\n";
  }
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("send to redis: " + std::string(std::strerror(errno)));
    sent += static_cast<size_t>(n);
  }
  return readReply();
}

std::vector<std::string> RedisClient::strings(const std::vector<std::string>& arguments) {
  const RedisReply reply = command(arguments);
  if (reply.type != RedisReply::Type::Array) {
    throw std::runtime_error("redis: expected an array, got " + reply.text);
  }
  std::vector<std::string> texts;
  for (const RedisReply& element : reply.elements) texts.push_back(element.text);
  return texts;
}

void RedisClient::fill() {
  if (offset_ > 0) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  char chunk[65536];
  ssize_t n;
  do {
    n = ::recv(fd_, chunk, sizeof chunk, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) throw std::runtime_error("redis closed the connection");
  buffer_.append(chunk, static_cast<size_t>(n));
}

std::string RedisClient::readLine() {
  size_t end;
  while ((end = buffer_.find("\r\n", offset_)) == std::string::npos) fill();
  std::string line = buffer_.substr(offset_, end - offset_);
  offset_ = end + 2;
  return line;
}

RedisReply RedisClient::readReply() {
  const std::string line = readLine();
  if (line.empty()) throw std::runtime_error("redis: empty reply line");
  RedisReply reply;
  const std::string rest = line.substr(1);
  switch (line[0]) {
    case '+':
      reply.type = RedisReply::Type::Status;
      reply.text = rest;
      return reply;
    case '-':
      reply.type = RedisReply::Type::Error;
      reply.text = rest;
      return reply;
    case ':':
      reply.type = RedisReply::Type::Integer;
      reply.integer = std::stoll(rest);
      return reply;
    case '$': {
      const long long length = std::stoll(rest);
      if (length < 0) return reply;
      while (buffer_.size() - offset_ < static_cast<size_t>(length) + 2) fill();
      reply.type = RedisReply::Type::Bulk;
      reply.text = buffer_.substr(offset_, static_cast<size_t>(length));
      offset_ += static_cast<size_t>(length) + 2;
      return reply;
    }
    case '*': {
      const long long count = std::stoll(rest);
      if (count < 0) return reply;
      reply.type = RedisReply::Type::Array;
      for (long long i = 0; i < count; ++i) reply.elements.push_back(readReply());
      return reply;
    }
  }
  throw std::runtime_error("redis: malformed reply " + line);
}

}  // namespace dz::testing
