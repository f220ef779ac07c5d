#include "database/utilities/repo_info.h"

#include <charconv>
#include <functional>

#include "database/utilities/logging.h"
#include "database/utilities/string_utilities.h"
#include "database/utilities/wire_protocol.h"
#include "platform/user_defaults.h"

namespace dz::database {
namespace {

constexpr char kInternalHostCacheKeyPrefix[] = "dezuvura:host:";
constexpr char kRejectedHostCode[] = "I-RDB09001";
constexpr char kRejectedHostMessage[] =
    "Ignoring a host named by the server that is not a plain host name with an optional port.";

std::string domainOf(const std::string& host) {
  size_t dot = host.find('.');
  return dot == std::string::npos ? std::string() : host.substr(dot + 1);
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}

}  // namespace

bool isPlainHostAndPort(std::string_view text) {
  size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (host.empty()) return false;
  for (char c : host) {
    if (!isHostCharacter(c)) return false;
  }
  if (colon == std::string_view::npos) return true;
  std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  return error == std::errc() && end == port.data() + port.size() && value >= 1 && value <= 65535;
}

RepoInfoPtr RepoInfo::create(std::string host, bool secure, std::string ns) {
  return RepoInfoPtr(new RepoInfo(std::move(host), secure, std::move(ns)));
}

RepoInfo::RepoInfo(std::string host, bool secure, std::string ns)
    : namespace_(std::move(ns)),
      host_(std::move(host)),
      secure_(secure),
      domain_(domainOf(host_)),
      defaults_(platform::UserDefaults::standard()) {
  std::optional<std::string> cached = defaults_->stringForKey(cacheKey());
  // A cache written by an older build is held to the same rule as a fresh redirect.
  internalHost_ = cached && isPlainHostAndPort(*cached) ? *cached : host_;
}

std::string RepoInfo::cacheKey() const { return kInternalHostCacheKeyPrefix + host_; }

std::string RepoInfo::internalHost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return internalHost_;
}

std::string RepoInfo::connectionURL(const std::optional<std::string>& lastSessionID) const {
  std::string url = secure_ ? "wss" : "ws";
  url.append("://").append(internalHost()).append("/.ws?");
  url.append(wire::kUrlVersionParam).append("=").append(wire::kProtocolVersion);
  url.append("&").append(wire::kUrlNamespaceParam).append("=").append(namespace_);
  if (lastSessionID) {
    url.append("&").append(wire::kUrlLastSessionParam).append("=");
    url.append(urlEncoded(*lastSessionID));
  }
  return url;
}

void RepoInfo::setInternalHost(const std::string& internalHost) {
  if (!isPlainHostAndPort(internalHost)) {
    logWarning(kRejectedHostCode, kRejectedHostMessage);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (internalHost_ == internalHost) return;
    internalHost_ = internalHost;
  }
  defaults_->setString(internalHost, cacheKey());
  defaults_->synchronize();
}

void RepoInfo::clearInternalHostCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    internalHost_ = host_;
  }
  defaults_->removeObjectForKey(cacheKey());
  defaults_->synchronize();
}

std::string RepoInfo::description() const {
  return std::string(secure_ ? "https://" : "http://") + host_;
}

size_t RepoInfo::hash() const {
  size_t h = std::hash<std::string>()(host_);
  h = h * 31 + std::hash<std::string>()(namespace_);
  return h * 31 + (secure_ ? 1 : 0);
}

}  // namespace dz::database
