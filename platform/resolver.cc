#include "platform/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/log.h"
#include "platform/text.h"

namespace dz::platform {
namespace {

constexpr char kResolveEnvironment[] = "DZ_RESOLVE";
constexpr char kResolverThreadName[] = "dz.resolver";
constexpr auto kIdleThreadLifetime = std::chrono::seconds(10);

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
    if (equals != std::string_view::npos && asciiLowercased(pair.substr(0, equals)) == host) {
      return std::string(pair.substr(equals + 1));
    }
    if (equals == std::string_view::npos && !pair.empty()) {
      logLineOnce(std::string(kResolveEnvironment) + ": ignoring the entry \"" + std::string(pair) +
                  "\", which has no \"=address\"");
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return std::nullopt;
}

std::vector<SocketAddress> lookUp(const std::string& host, uint16_t port, int flags,
                                  ErrorPtr& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  addrinfo* results = nullptr;
  const std::string service = std::to_string(port);
  const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &results);
  std::vector<SocketAddress> addresses;
  if (status != 0) {
    error = std::make_shared<Error>(kResolverErrorDomain, status,
                                    "cannot resolve " + host + ": " + gai_strerror(status));
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

// The system's look-up blocks for as long as name servers take; a few threads do them in turn,
// and leave when there has been nothing to do for a while. Never destroyed, as above.
class LookUpPool {
 public:
  static LookUpPool& shared() {
    static auto* pool = new LookUpPool;
    return *pool;
  }

  void submit(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ > 0) {
      wake_.notify_one();
    } else if (threads_ < Resolver::kMaxLookUpThreads) {
      ++threads_;
      std::thread([this] { work(); }).detach();
    }
  }

 private:
  void work() {
    ::pthread_setname_np(::pthread_self(), kResolverThreadName);
    std::unique_lock lock(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        ++idle_;
        const bool woken =
            wake_.wait_for(lock, kIdleThreadLifetime, [&] { return !jobs_.empty(); });
        --idle_;
        if (!woken) {
          --threads_;
          return;
        }
      }
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  size_t threads_ = 0;
  size_t idle_ = 0;
};

}  // namespace

void Resolver::setOverride(const std::string& host, const std::string& address) {
  std::lock_guard lock(overridesMutex());
  overrides()[asciiLowercased(host)] = address;
}

void Resolver::removeOverride(const std::string& host) {
  std::lock_guard lock(overridesMutex());
  overrides().erase(asciiLowercased(host));
}

std::optional<std::string> Resolver::overrideAddress(const std::string& host) {
  const std::string key = asciiLowercased(host);
  {
    std::lock_guard lock(overridesMutex());
    if (auto it = overrides().find(key); it != overrides().end()) return it->second;
  }
  return environmentOverride(key);
}

std::vector<SocketAddress> Resolver::resolve(const std::string& host, uint16_t port,
                                             ErrorPtr& error) {
  if (std::optional<std::string> address = overrideAddress(host)) {
    std::vector<SocketAddress> found = lookUp(*address, port, AI_NUMERICHOST, error);
    // Numbers only: "no such name" here means the override gave a name.
    if (error && error->code() == EAI_NONAME) {
      error = std::make_shared<Error>(kResolverErrorDomain, EAI_NONAME,
                                      "cannot resolve " + host + ": its " + kResolveEnvironment +
                                          " entry or override needs a numeric address, not \"" +
                                          *address + "\"");
    }
    return found;
  }
  return lookUp(host, port, 0, error);
}

bool Resolver::isNumericAddress(const std::string& host) {
  in6_addr address;
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

void Resolver::resolveAsync(const std::string& host, uint16_t port, Completion done) {
  auto lookUpNow = [host, port, done = std::move(done)] {
    ErrorPtr error;
    auto found = resolve(host, port, error);
    done(std::move(found), std::move(error));
  };
  if (isNumericAddress(host) || overrideAddress(host)) return lookUpNow();
  LookUpPool::shared().submit(std::move(lookUpNow));
}

}  // namespace dz::platform
