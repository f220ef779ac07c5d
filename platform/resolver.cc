#include "platform/resolver.h"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace dz::platform {
namespace {

constexpr char kResolveEnvironment[] = "DZ_RESOLVE";

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Never destroyed: look-ups run on detached threads that may still work while the process exits.
std::mutex& overridesMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::map<std::string, std::string>& overrides() {
  static auto* map = new std::map<std::string, std::string>;
  return *map;
}

// DZ_RESOLVE is read on every look-up so that a test or the demo may set it at any time.
std::optional<std::string> environmentOverride(const std::string& host) {
  const char* value = std::getenv(kResolveEnvironment);
  if (!value) return std::nullopt;
  std::string_view rest(value);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view pair = rest.substr(0, comma);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos &&
        lowerCase(std::string(pair.substr(0, equals))) == host) {
      return std::string(pair.substr(equals + 1));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return std::nullopt;
}

std::vector<SocketAddress> lookUp(const std::string& host, uint16_t port, int flags,
                                  std::optional<Error>& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  addrinfo* results = nullptr;
  const std::string service = std::to_string(port);
  const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &results);
  std::vector<SocketAddress> addresses;
  if (status != 0) {
    error =
        Error(kResolverErrorDomain, status, "cannot resolve " + host + ": " + gai_strerror(status));
    return addresses;
  }
  for (addrinfo* info = results; info; info = info->ai_next) {
    SocketAddress address;
    std::memcpy(&address.storage, info->ai_addr, info->ai_addrlen);
    address.length = info->ai_addrlen;
    addresses.push_back(address);
  }
  ::freeaddrinfo(results);
  return addresses;
}

}  // namespace

void Resolver::setOverride(const std::string& host, const std::string& address) {
  std::lock_guard lock(overridesMutex());
  overrides()[lowerCase(host)] = address;
}

void Resolver::removeOverride(const std::string& host) {
  std::lock_guard lock(overridesMutex());
  overrides().erase(lowerCase(host));
}

std::optional<std::string> Resolver::overrideAddress(const std::string& host) {
  const std::string key = lowerCase(host);
  {
    std::lock_guard lock(overridesMutex());
    if (auto it = overrides().find(key); it != overrides().end()) return it->second;
  }
  return environmentOverride(key);
}

std::vector<SocketAddress> Resolver::resolve(const std::string& host, uint16_t port,
                                             std::optional<Error>& error) {
  if (std::optional<std::string> address = overrideAddress(host)) {
    return lookUp(*address, port, AI_NUMERICHOST, error);
  }
  return lookUp(host, port, 0, error);
}

}  // namespace dz::platform
