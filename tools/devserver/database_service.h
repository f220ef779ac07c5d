// DatabaseService: the hosted database's side of the realtime protocol for every accepted
// WebSocket: the handshake, requests and replies, listens and the data pushes they receive,
// writes with hashes and server values, on-disconnect operations, auth, and the controls that
// tests use to make the server misbehave. Trees are kept per namespace.
//
// Threads: peers run on threads of their own, where each connection's frames are joined and
// parsed and its messages handled, one at a time per connection; the state (trees, connections,
// listens, controls) is kept under one lock, taken by every public call, the message handlers
// and the timers (on the server's thread); the private helpers run with it held. Pushes are
// serialized once for every connection they go to and written on the peers' threads. The counters
// and the request log may be read from any thread.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/json/value.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/snapshot/path.h"
#include "database/utilities/wire_protocol.h"
#include "platform/thread_annotations.h"
#include "tools/devserver/auth_service.h"
#include "tools/devserver/database_tree.h"
#include "tools/devserver/message_frames.h"
#include "tools/devserver/node_push_cache.h"
#include "tools/devserver/web_socket_listener.h"

namespace dz::devserver {

struct ClientConnection;
struct ClientListen;
class PushCache;

// A request as the server received it.
struct ReceivedRequest {
  uint64_t connectionId = 0;
  std::string action;
  boost::json::value body;
};

// A connection as the server accepted it.
struct AcceptedConnection {
  uint64_t connectionId = 0;
  std::string target;     // the upgrade request's target, "/.ws?v=5&ns=...[&ls=...]"
  std::string host;       // its Host header
  std::string sessionId;  // sent in the handshake; empty when the connection was redirected
  std::string uid = {};   // the user its "auth" credential named while authenticated (checked)
};

// What a denied path refuses.
enum class Access { kRead = 1, kWrite = 2, kReadWrite = 3 };

struct ServiceSettings {
  // The tree of connections that name no namespace, and of the test API's default.
  std::string defaultNamespace = "ns";
  // The server's clock, milliseconds since 1970 (handshake time, server values).
  std::function<int64_t()> clockMs;
  // A "0" frame goes out when nothing else was sent for this long; zero turns it off.
  std::chrono::milliseconds keepAliveInterval = std::chrono::seconds(45);
  size_t maxFrameCharacters = database::wire::kMaxFrameCharacters;
  // Logs every message in and out to standard error.
  bool verbose = false;
  // Checks "auth" credentials (the refusal status, or the uid they name); unset accepts any.
  std::function<CredentialCheck(const std::string& credential)> checkCredential;
  // See Options::afterMessage.
  std::function<void(uint64_t connectionId)> afterMessage;
};

class DatabaseService : public std::enable_shared_from_this<DatabaseService> {
 public:
  // `onEvent` runs on the server's thread after every connection, request and close, so waiters
  // can look at the counters again.
  static std::shared_ptr<DatabaseService> create(boost::asio::io_context& io,
                                                 ServiceSettings settings,
                                                 std::function<void()> onEvent);
  ~DatabaseService();
  DatabaseService(const DatabaseService&) = delete;
  DatabaseService& operator=(const DatabaseService&) = delete;

  // The listener's factory, on the peer's strand: greets the peer (handshake, or a reset when it
  // is redirected) and returns the handler of its messages. Takes the lock itself.
  std::shared_ptr<PeerHandler> accept(std::shared_ptr<Peer> peer, const UpgradeRequest& request)
      DZ_EXCLUDES(mutex_);

  // ---- Any thread; each takes the lock itself. An empty namespace means the default one. ----
  // Writes data as a client's put would (server values resolved, listeners told).
  void set(const std::string& ns, const database::Path& path, const boost::json::value& data)
      DZ_EXCLUDES(mutex_);
  boost::json::value snapshot(const std::string& ns, const database::Path& path) const
      DZ_EXCLUDES(mutex_);
  std::string hash(const std::string& ns, const database::Path& path) const DZ_EXCLUDES(mutex_);

  // Drops every connection and forgets pending timers; the service takes nothing new after it.
  void shutdown() DZ_EXCLUDES(mutex_);

  // ---- Test controls: any thread, each takes the lock itself. ----
  // Reads (listens) and/or writes (puts, merges, on-disconnect) at or below `path` are answered
  // "permission_denied".
  void denyPath(const std::string& path, Access access = Access::kReadWrite) DZ_EXCLUDES(mutex_);
  void allowAll() DZ_EXCLUDES(mutex_);
  // Replies to `action` ("" for every action) wait `delay` before they go out.
  void delayReplies(const std::string& action, std::chrono::milliseconds delay) DZ_EXCLUDES(mutex_);
  // Replies to `action` ("" for every action) are kept back (the request still takes effect)
  // until released or the connection ends; `withhold` false sends them normally again.
  void withholdReplies(const std::string& action, bool withhold = true) DZ_EXCLUDES(mutex_);
  void releaseWithheldReplies() DZ_EXCLUDES(mutex_);
  // "auth" requests are refused with `status` from now on; none accepts them again.
  void refuseAuth(std::optional<std::string> status = std::string("invalid_token"))
      DZ_EXCLUDES(mutex_);
  // "ac" to every authenticated connection; they count as unauthenticated afterwards.
  void revokeAuth(const std::string& status, const std::string& reason) DZ_EXCLUDES(mutex_);
  // "c" for every listen at exactly `path`, which the server forgets.
  void revokeListens(const std::string& path) DZ_EXCLUDES(mutex_);
  void sendSecurityDebug(const std::string& message) DZ_EXCLUDES(mutex_);
  void sendRangeMerge(const std::string& path, const boost::json::value& ranges,
                      std::optional<int64_t> tag = std::nullopt) DZ_EXCLUDES(mutex_);
  void sendPush(const std::string& action, const boost::json::value& body) DZ_EXCLUDES(mutex_);
  // A data message {"error": text}.
  void sendError(const std::string& text) DZ_EXCLUDES(mutex_);
  // Control messages: shutdown ("s", the client stops for good) and reset ("r", to `host`).
  void sendShutdown(const std::string& reason) DZ_EXCLUDES(mutex_);
  void sendReset(const std::string& host) DZ_EXCLUDES(mutex_);
  // Sends the message text as it stands (framed), for malformed-input tests.
  void sendRaw(const std::string& text) DZ_EXCLUDES(mutex_);
  // New connections whose Host header is `fromHost` get a reset to `toHost` instead of the
  // handshake; an empty `toHost` removes the redirect.
  void redirect(const std::string& fromHost, const std::string& toHost) DZ_EXCLUDES(mutex_);
  // The host named in handshakes; empty names the host the client asked for.
  void setHandshakeHost(const std::string& host) DZ_EXCLUDES(mutex_);
  // Closes every connection's TCP socket at once; their on-disconnect operations then run.
  void dropConnections() DZ_EXCLUDES(mutex_);

  // ---- Any thread. ----
  // For a plain "GET /<path>.json[?ns=<namespace>]": the data there in export form as JSON
  // ("null" where there is none); none for any other target. Takes the lock itself.
  std::optional<std::string> readData(const std::string& target) DZ_EXCLUDES(mutex_);
  size_t openConnections() const;
  size_t acceptedConnections() const;
  // Requests received, all or of one action.
  size_t requestCount(const std::string& action = {}) const;
  // Every connection accepted, oldest first.
  std::vector<AcceptedConnection> acceptedConnectionLog() const;
  // The requests received, oldest first (the latest 10,000).
  std::vector<ReceivedRequest> requests() const;

 private:
  friend class ConnectionHandler;
  struct ReplyRule {
    std::chrono::milliseconds delay{0};
    bool withhold = false;
  };
  struct Denial {
    database::Path path;
    Access access;
  };

  DatabaseService(boost::asio::io_context& io, ServiceSettings settings,
                  std::function<void()> onEvent);

  void open(uint64_t id, std::shared_ptr<Peer> peer, const UpgradeRequest& request)
      DZ_EXCLUDES(mutex_);
  void onMessage(uint64_t id, const boost::json::value& message) DZ_EXCLUDES(mutex_);
  void onClosed(uint64_t id) DZ_EXCLUDES(mutex_);
  void handleMessage(ClientConnection& connection, const boost::json::value& message)
      DZ_REQUIRES(mutex_);
  void handleRequest(ClientConnection& connection, int64_t number, const std::string& action,
                     const boost::json::object& body) DZ_REQUIRES(mutex_);
  // Each returns the reply's status and data.
  std::pair<std::string, boost::json::value> handleListen(ClientConnection& connection,
                                                          const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  std::pair<std::string, boost::json::value> handleUnlisten(ClientConnection& connection,
                                                            const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  std::pair<std::string, boost::json::value> handlePut(ClientConnection& connection,
                                                       const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  std::pair<std::string, boost::json::value> handleMerge(ClientConnection& connection,
                                                         const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  std::pair<std::string, boost::json::value> handleOnDisconnect(ClientConnection& connection,
                                                                const std::string& action,
                                                                const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  std::pair<std::string, boost::json::value> handleAuth(ClientConnection& connection,
                                                        const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  // Records the uid of an authenticated connection (empty when it is not) in the accepted log.
  void setConnectionUid(uint64_t id, const std::string& uid) DZ_REQUIRES(mutex_);
  void reply(ClientConnection& connection, int64_t number, const std::string& action,
             const std::string& status, boost::json::value data) DZ_REQUIRES(mutex_);

  // Applies a put (`merge` null) or merge at `path` and pushes it to every overlapping listen.
  void applyWrite(const std::string& ns, const database::Path& path, const boost::json::value& data,
                  const boost::json::object* merge) DZ_REQUIRES(mutex_);
  void pushWrite(ClientConnection& connection, const database::Path& path,
                 const boost::json::object* merge, const boost::json::value& mergeData,
                 PushCache& cache) DZ_REQUIRES(mutex_);
  // Pushes "d" with the data at `path` (or `data`); with a cache, serialized once per write.
  void pushData(ClientConnection& connection, const database::Path& path,
                const boost::json::value& tag, PushCache* cache = nullptr) DZ_REQUIRES(mutex_);
  // `keep`: the data may well be asked for again as it is (kept when large).
  void pushNode(ClientConnection& connection, const database::Path& path,
                const database::NodePtr& data, const boost::json::value& tag,
                PushCache* cache = nullptr, bool keep = false) DZ_REQUIRES(mutex_);
  // The data a new listen needs, unless its hashes show the client has it.
  void sendListenData(ClientConnection& connection, const ClientListen& listen,
                      const database::NodePtr& data, const boost::json::object& body)
      DZ_REQUIRES(mutex_);
  // The write at `path` itself, as `m` for a merge.
  void pushWritten(ClientConnection& connection, const database::Path& path,
                   const boost::json::object* merge, const boost::json::value& mergeData,
                   const boost::json::value& tag, PushCache& cache) DZ_REQUIRES(mutex_);
  // What a filtered listen's window changed by with a write at `path`.
  void pushWindow(ClientConnection& connection, ClientListen& listen, const database::Path& path,
                  const boost::json::object* merge, const boost::json::value& mergeData,
                  PushCache& cache) DZ_REQUIRES(mutex_);
  void runOnDisconnect(ClientConnection& connection) DZ_REQUIRES(mutex_);

  bool denied(const database::Path& path, Access access) const DZ_REQUIRES(mutex_);
  DatabaseTree& tree(const std::string& ns) DZ_REQUIRES(mutex_);
  void sendMessage(ClientConnection& connection, const boost::json::value& message)
      DZ_REQUIRES(mutex_);
  void sendFrames(ClientConnection& connection, const std::string& text) DZ_REQUIRES(mutex_);
  // Sends frames made once for every connection they go to.
  void sendShared(ClientConnection& connection, const SharedFrames& frames) DZ_REQUIRES(mutex_);
  void sendToAll(const boost::json::value& message) DZ_REQUIRES(mutex_);
  void armKeepAlive(ClientConnection& connection) DZ_REQUIRES(mutex_);
  void log(std::string_view direction, uint64_t id, std::string_view text) const;
  void notify() const;
  int64_t nowMs() const;

  boost::asio::io_context& io_;  // timers
  ServiceSettings settings_;
  mutable platform::Mutex mutex_;
  std::function<void()> onEvent_;
  bool shutDown_ DZ_GUARDED_BY(mutex_) = false;
  std::atomic<uint64_t> nextConnectionId_{1};
  std::map<uint64_t, std::shared_ptr<ClientConnection>> connections_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, DatabaseTree> trees_ DZ_GUARDED_BY(mutex_);
  std::vector<Denial> denials_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, ReplyRule> replyRules_ DZ_GUARDED_BY(mutex_);
  std::optional<std::string> authRefusal_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, std::string> redirects_ DZ_GUARDED_BY(mutex_);
  std::string handshakeHost_ DZ_GUARDED_BY(mutex_);
  // Large pushes of unchanged data (big data listened to again) go out as sent before; only
  // large ones are worth the memory.
  static constexpr size_t kKeptPushMinBytes = size_t{256} << 10;
  static constexpr size_t kKeptPushMaxBytes = size_t{64} << 20;
  NodePushCache nodePushes_ DZ_GUARDED_BY(mutex_){kKeptPushMinBytes, kKeptPushMaxBytes};

  mutable platform::Mutex countersMutex_;
  size_t openConnections_ DZ_GUARDED_BY(countersMutex_) = 0;
  size_t acceptedConnections_ DZ_GUARDED_BY(countersMutex_) = 0;
  std::vector<AcceptedConnection> acceptedLog_ DZ_GUARDED_BY(countersMutex_);
  std::map<std::string, size_t> requestCounts_ DZ_GUARDED_BY(countersMutex_);
  size_t totalRequests_ DZ_GUARDED_BY(countersMutex_) = 0;
  // The latest requests only, so a long demo run does not grow without bound.
  std::deque<ReceivedRequest> requests_ DZ_GUARDED_BY(countersMutex_);
};

}  // namespace dz::devserver
