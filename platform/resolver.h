// Resolver: host names to socket addresses, with overrides so that tests and the demo can give
// real three-label names to servers on 127.0.0.1. Overrides come from setOverride() and from the
// environment variable DZ_RESOLVE ("ns.dz.test=127.0.0.1,other.dz.test=127.0.0.1"), and win over
// the system's look-up. Thread-safe; resolve() blocks, so it runs off event loops; resolveAsync()
// runs look-ups on a few threads of its own, however many connections are opening.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace dz::platform {

inline constexpr char kResolverErrorDomain[] = "dz.platform.ResolverError";

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

class Resolver {
 public:
  // Makes `host` (any case) resolve to the numeric `address`; replaces an earlier override.
  static void setOverride(const std::string& host, const std::string& address);
  static void removeOverride(const std::string& host);
  // The numeric address an override (API or DZ_RESOLVE) gives `host`; none without one. For
  // clients that resolve names themselves (libcurl) but must honour the same overrides.
  static std::optional<std::string> overrideAddress(const std::string& host);

  // The addresses of `host` at `port`, overrides first. Empty with `error` set on failure.
  static std::vector<SocketAddress> resolve(const std::string& host, uint16_t port,
                                            ErrorPtr& error);

  // An IPv4 or IPv6 address in text form.
  static bool isNumericAddress(const std::string& host);

  using Completion = std::function<void(std::vector<SocketAddress>, ErrorPtr)>;
  // resolve() without blocking: `done` runs once, on the calling thread for numeric addresses and
  // overrides (which need no look-up), otherwise on one of at most kMaxLookUpThreads threads.
  static void resolveAsync(const std::string& host, uint16_t port, Completion done);
  static constexpr size_t kMaxLookUpThreads = 4;
};

}  // namespace dz::platform
