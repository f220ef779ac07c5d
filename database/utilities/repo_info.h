// RepoInfo: one database endpoint: host and namespace from the database URL, whether the
// connection is secure, and the internal host the server last sent the client to, which is cached
// across launches in the standard UserDefaults. Made by URL parsing; shared by the repository, the
// database object and the connection layers (std::shared_ptr). The internal host is set and
// cleared on the work queue and read from any thread; every method is thread-safe.
//
// Equality and hash (for keying repositories) cover host, namespace and secure: the internal host
// is a cached detail of the connection, not part of the endpoint's identity.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace dz::platform {
class UserDefaults;
}

namespace dz::database {

class RepoInfo;
using RepoInfoPtr = std::shared_ptr<RepoInfo>;

class RepoInfo {
 public:
  // `host` lower-cased with its port when one was given, `ns` its first label. Reads the cached
  // internal host of `host`.
  static RepoInfoPtr create(std::string host, bool secure, std::string ns);

  RepoInfo(const RepoInfo&) = delete;
  RepoInfo& operator=(const RepoInfo&) = delete;

  const std::string& namespaceName() const { return namespace_; }
  const std::string& host() const { return host_; }
  bool secure() const { return secure_; }
  // The part of `host` after its first ".".
  const std::string& domain() const { return domain_; }
  std::string internalHost() const;

  // "ws[s]://<internal host>/.ws?v=5&ns=<namespace>", plus "&ls=<session id>" (percent-encoded)
  // when a last session id is given.
  std::string connectionURL(const std::optional<std::string>& lastSessionID = std::nullopt) const;

  // A host named by the server (handshake or reset). Used and cached only when it is a plain
  // host[:port] (letters, digits, '-', '.', port 1 to 65535); anything else is logged and ignored,
  // as it would otherwise be spliced into the connection URL and kept for later launches. An
  // unchanged host writes nothing.
  void setInternalHost(const std::string& internalHost);
  // Falls back to `host` and removes the cached entry.
  void clearInternalHostCache();

  // "http[s]://<host>".
  std::string description() const;

  friend bool operator==(const RepoInfo& a, const RepoInfo& b) {
    return a.host_ == b.host_ && a.namespace_ == b.namespace_ && a.secure_ == b.secure_;
  }
  size_t hash() const;

 private:
  RepoInfo(std::string host, bool secure, std::string ns);
  std::string cacheKey() const;

  const std::string namespace_;
  const std::string host_;
  const bool secure_;
  const std::string domain_;
  const std::shared_ptr<platform::UserDefaults> defaults_;
  mutable std::mutex mutex_;  // guards internalHost_
  std::string internalHost_;
};

// True for "host" or "host:port" made of letters, digits, '-' and '.', with a port of 1 to 65535.
bool isPlainHostAndPort(std::string_view text);

}  // namespace dz::database

template <>
struct std::hash<dz::database::RepoInfo> {
  size_t operator()(const dz::database::RepoInfo& info) const { return info.hash(); }
};
