#include "tools/devserver/database_service.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/json/serialize.hpp>
#include <deque>
#include <set>
#include <utility>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/wire_protocol.h"
#include "platform/crypto.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/text.h"
#include "tools/devserver/listen_window.h"
#include "tools/devserver/message_frames.h"
#include "tools/devserver/on_disconnect_store.h"

namespace dz::devserver {

namespace wire = database::wire;
using database::Path;
using Reply = std::pair<std::string, boost::json::value>;

namespace {

// Statuses of the server's own making.
constexpr char kStatusInvalidRequest[] = "invalid_request";
constexpr char kStatusInvalidData[] = "invalid_data";
constexpr char kStatusUnknownAction[] = "unknown_action";
constexpr char kStatusInvalidToken[] = "invalid_token";
constexpr size_t kSessionIdBytes = 12;
constexpr size_t kRequestLogLimit = 10000;
// Plain reads of the tree: "GET /<path>.json".
constexpr char kDataSuffix[] = ".json";
// What no key of data may hold (nor may it be empty).
constexpr char kInvalidKeyCharacters[] = "/.#$[]";

// The value of `name` in the query of a request target ("/.ws?v=5&ns=x"); empty when absent.
std::string queryParameter(std::string_view target, std::string_view name) {
  size_t question = target.find('?');
  if (question == std::string_view::npos) return {};
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name && eq != std::string_view::npos) {
      return std::string(pair.substr(eq + 1));
    }
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
  return {};
}

std::optional<std::string> pathField(const boost::json::object& body) {
  auto it = body.find(wire::kBodyPath);
  if (it == body.end() || !it->value().is_string()) return std::nullopt;
  return std::string(it->value().get_string());
}

boost::json::value field(const boost::json::object& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? boost::json::value() : it->value();
}

boost::json::object envelope(std::string_view type, boost::json::value data) {
  return {{wire::kEnvelopeType, type}, {wire::kEnvelopeData, std::move(data)}};
}

boost::json::object controlMessage(std::string_view type, boost::json::value data) {
  return envelope(wire::kMessageTypeControl,
                  boost::json::object{{wire::kControlType, type}, {wire::kControlData, data}});
}

boost::json::object pushMessage(std::string_view action, boost::json::value body) {
  return envelope(wire::kMessageTypeData,
                  boost::json::object{{wire::kRequestAction, action}, {wire::kRequestBody, body}});
}

// Whether a merge at `path` of `children` touches data at or below `listenPath`.
bool mergeTouches(const Path& path, const boost::json::object& children, const Path& listenPath) {
  for (const auto& [key, value] : children) {
    Path written = path.child(std::string_view(key));
    if (written.contains(listenPath) || listenPath.contains(written)) return true;
  }
  return false;
}

// Throws unless data may be stored at `path`: every key one that data could hold, but for a
// priority written at its own key at the end. Data under other keys no client could read.
void checkWritable(const Path& path) {
  const auto keys = path.keys();
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!keys[i].empty() && keys[i].find_first_of(kInvalidKeyCharacters) == std::string::npos) {
      continue;
    }
    if (i + 1 == keys.size() && keys[i] == database::kPriorityKey) continue;
    throw Exception(kInvalidArgumentException, "Invalid key in path " + path.toString());
  }
}

}  // namespace

// The text of a data push: {"t":"d","d":{"a":action,"b":{"p":path,"d":data[,"t":tag]}}}, with
// the data and the tag already JSON text (no tag when empty).
std::string pushText(std::string_view action, const Path& path, const std::string& dataJson,
                     const std::string& tagJson) {
  std::string actionJson = boost::json::serialize(boost::json::string(action));
  std::string pathJson = boost::json::serialize(boost::json::string(path.wireFormat()));
  std::string text;
  // Room for everything at once: the data may be megabytes, not to be copied twice.
  text.reserve(dataJson.size() + tagJson.size() + actionJson.size() + pathJson.size() + 40);
  text += R"({"t":"d","d":{"a":)";
  text += actionJson;
  text += R"(,"b":{"p":)";
  text += pathJson;
  text += R"(,"d":)";
  text += dataJson;
  if (!tagJson.empty()) {
    text += R"(,"t":)";
    text += tagJson;
  }
  text += "}}}";
  return text;
}

// What tells pushes apart beside their data: the action, path and tag.
std::string pushKey(std::string_view action, const Path& path, const std::string& tag) {
  std::string key(action);
  key += '\n';
  key += path.toString();
  key += '\n';
  key += tag;
  return key;
}

// The pushes of one write, serialized and framed once for every connection they go to.
class PushCache {
 public:
  template <class MakeFrames>
  const SharedFrames& frames(std::string_view action, const Path& path, const std::string& tag,
                             MakeFrames&& makeFrames) {
    auto [it, inserted] = frames_.try_emplace(pushKey(action, path, tag));
    if (inserted) it->second = makeFrames();
    return it->second;
  }

 private:
  std::map<std::string, SharedFrames> frames_;
};

struct ClientListen {
  Path path;
  boost::json::value tag;  // null for an untagged listen
  boost::json::value query;
  ListenWindow window;  // what the listen was last sent, for queries
};

struct ClientConnection {
  using Listen = ClientListen;

  uint64_t id = 0;
  std::weak_ptr<Peer> peer;
  std::string ns;
  // Keyed by path text and tag, so a re-listen replaces the earlier one.
  std::map<std::pair<std::string, std::string>, Listen> listens;
  // Kept by the server's own reading of docs/on-disconnect.md.
  OnDisconnectStore onDisconnect;
  bool authenticated = false;
  std::vector<std::string> withheldReplies;
  std::set<std::shared_ptr<boost::asio::steady_timer>> replyTimers;
  std::unique_ptr<boost::asio::steady_timer> keepAlive;
  bool sentSinceKeepAlive = false;
};

// Joins and parses a peer's frames on the peer's strand, where the service then handles each
// whole message under its lock.
class ConnectionHandler : public PeerHandler {
 public:
  ConnectionHandler(std::weak_ptr<DatabaseService> service, uint64_t id)
      : service_(std::move(service)), id_(id) {}
  void onText(std::string_view text) override {
    auto service = service_.lock();
    if (!service) return;
    service->log("in", id_, text);
    try {
      std::optional<std::string> message = joiner_.add(text);
      if (!message) return;
      // The keep-alive "0" and anything else that is not a JSON object is ignored.
      auto parsed = parseJsonText(*message);
      if (!parsed || !parsed->is_object()) return;
      service->onMessage(id_, *parsed);
      if (service->settings_.afterMessage) service->settings_.afterMessage(id_);
    } catch (const std::exception& e) {
      // Nothing a client sends may take a server thread down.
      service->log("failed", id_, e.what());
    }
  }
  void onClosed() override {
    if (auto service = service_.lock()) service->onClosed(id_);
  }

 private:
  std::weak_ptr<DatabaseService> service_;
  uint64_t id_;
  FrameJoiner joiner_;
};

std::shared_ptr<DatabaseService> DatabaseService::create(boost::asio::io_context& io,
                                                         ServiceSettings settings,
                                                         std::function<void()> onEvent) {
  return std::shared_ptr<DatabaseService>(
      new DatabaseService(io, std::move(settings), std::move(onEvent)));
}

DatabaseService::DatabaseService(boost::asio::io_context& io, ServiceSettings settings,
                                 std::function<void()> onEvent)
    : io_(io), settings_(std::move(settings)), onEvent_(std::move(onEvent)) {
  if (!settings_.clockMs) {
    settings_.clockMs = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
  }
}

DatabaseService::~DatabaseService() = default;

std::shared_ptr<PeerHandler> DatabaseService::accept(std::shared_ptr<Peer> peer,
                                                     const UpgradeRequest& request) {
  uint64_t id = nextConnectionId_++;
  open(id, peer, request);
  return std::make_shared<ConnectionHandler>(weak_from_this(), id);
}

void DatabaseService::open(uint64_t id, std::shared_ptr<Peer> peer, const UpgradeRequest& request) {
  platform::MutexLock held(mutex_);
  if (shutDown_) return peer->drop();
  auto connection = std::make_shared<ClientConnection>();
  connection->id = id;
  connection->peer = peer;
  connection->ns = queryParameter(request.target, wire::kUrlNamespaceParam);
  if (connection->ns.empty()) connection->ns = settings_.defaultNamespace;
  connections_[connection->id] = connection;
  log("open", connection->id, request.target);

  // Counted before the greeting goes out: a client may act on it at once.
  auto redirect = redirects_.find(platform::asciiLowercased(request.host));
  bool redirected = redirect != redirects_.end();
  std::string sessionId =
      redirected ? "" : platform::hexString(platform::secureRandomBytes(kSessionIdBytes));
  {
    platform::MutexLock lock(countersMutex_);
    ++openConnections_;
    ++acceptedConnections_;
    acceptedLog_.push_back({connection->id, request.target, request.host, sessionId});
  }
  if (redirected) {
    sendMessage(*connection,
                controlMessage(wire::kControlReset, boost::json::string(redirect->second)));
  } else {
    boost::json::object handshake{
        {wire::kHandshakeTimestamp, nowMs()},
        {wire::kHandshakeVersion, wire::kProtocolVersion},
        {wire::kHandshakeHost, handshakeHost_.empty() ? request.host : handshakeHost_},
        {wire::kHandshakeSessionId, sessionId}};
    sendMessage(*connection, controlMessage(wire::kControlHandshake, std::move(handshake)));
  }
  armKeepAlive(*connection);
  notify();
}

void DatabaseService::onMessage(uint64_t id, const boost::json::value& message) {
  platform::MutexLock held(mutex_);
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  auto connection = it->second;
  try {
    handleMessage(*connection, message);
  } catch (const std::exception& e) {
    // Nothing a client sends may take the server's thread down.
    log("failed", id, e.what());
  }
}

void DatabaseService::onClosed(uint64_t id) {
  platform::MutexLock held(mutex_);
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  auto connection = it->second;
  connections_.erase(it);
  log("closed", id, {});
  if (connection->keepAlive) connection->keepAlive->cancel();
  for (const auto& timer : connection->replyTimers) timer->cancel();
  connection->replyTimers.clear();
  runOnDisconnect(*connection);
  {
    platform::MutexLock lock(countersMutex_);
    --openConnections_;
  }
  notify();
}

void DatabaseService::handleMessage(ClientConnection& connection,
                                    const boost::json::value& message) {
  // Anything that is not a data message is ignored.
  const auto* envelopeObject = message.if_object();
  if (!envelopeObject) return;
  const auto* type = envelopeObject->find(wire::kEnvelopeType) != envelopeObject->end()
                         ? envelopeObject->at(wire::kEnvelopeType).if_string()
                         : nullptr;
  if (!type || *type != wire::kMessageTypeData) return;
  auto dataIt = envelopeObject->find(wire::kEnvelopeData);
  const auto* request = dataIt == envelopeObject->end() ? nullptr : dataIt->value().if_object();
  if (!request) return;
  auto actionIt = request->find(wire::kRequestAction);
  if (actionIt == request->end() || !actionIt->value().is_string()) return;
  std::string action(actionIt->value().get_string());
  static const boost::json::object kNoBody;
  auto bodyIt = request->find(wire::kRequestBody);
  const auto* body = bodyIt == request->end() ? &kNoBody : bodyIt->value().if_object();
  if (!body) body = &kNoBody;
  int64_t number = -1;
  if (auto numberIt = request->find(wire::kRequestNumber); numberIt != request->end()) {
    if (auto asInt = numberIt->value().if_int64()) number = *asInt;
    if (auto asUint = numberIt->value().if_uint64()) number = static_cast<int64_t>(*asUint);
  }
  {
    platform::MutexLock lock(countersMutex_);
    ++requestCounts_[action];
    ++totalRequests_;
    requests_.push_back({connection.id, action, *body});
    if (requests_.size() > kRequestLogLimit) requests_.pop_front();
  }
  handleRequest(connection, number, action, *body);
  notify();
}

void DatabaseService::handleRequest(ClientConnection& connection, int64_t number,
                                    const std::string& action, const boost::json::object& body) {
  Reply result;
  try {
    if (action == wire::kActionListen) {
      result = handleListen(connection, body);
    } else if (action == wire::kActionUnlisten) {
      result = handleUnlisten(connection, body);
    } else if (action == wire::kActionPut) {
      result = handlePut(connection, body);
    } else if (action == wire::kActionMerge) {
      result = handleMerge(connection, body);
    } else if (action == wire::kActionOnDisconnectPut || action == wire::kActionOnDisconnectMerge ||
               action == wire::kActionOnDisconnectCancel) {
      result = handleOnDisconnect(connection, action, body);
    } else if (action == wire::kActionAuth) {
      result = handleAuth(connection, body);
    } else if (action == wire::kActionUnauth) {
      connection.authenticated = false;
      setConnectionUid(connection.id, {});
      result = {std::string(wire::kStatusOk), nullptr};
    } else if (action == wire::kActionStats) {
      result = {std::string(wire::kStatusOk), nullptr};
    } else {
      result = {kStatusUnknownAction, nullptr};
    }
  } catch (const std::exception& e) {
    // Data the node model refuses (bad keys, non-finite numbers...).
    result = {kStatusInvalidData, boost::json::string(e.what())};
  }
  if (number >= 0) reply(connection, number, action, result.first, std::move(result.second));
}

Reply DatabaseService::handleListen(ClientConnection& connection, const boost::json::object& body) {
  auto pathText = pathField(body);
  if (!pathText) return {kStatusInvalidRequest, nullptr};
  Path path(*pathText);
  if (denied(path, Access::kRead)) return {std::string(wire::kStatusPermissionDenied), nullptr};
  boost::json::value query = field(body, wire::kBodyQuery);
  auto window = ListenWindow::create(query);
  if (!window) return {kStatusInvalidRequest, boost::json::string("malformed query")};
  ClientConnection::Listen listen{path, field(body, wire::kBodyTag), std::move(query),
                                  std::move(*window)};
  database::NodePtr data = listen.window.reset(tree(connection.ns).get(path));
  sendListenData(connection, listen, data, body);
  connection.listens.insert_or_assign({path.toString(), boost::json::serialize(listen.tag)},
                                      std::move(listen));
  return {std::string(wire::kStatusOk), boost::json::object()};
}

void DatabaseService::sendListenData(ClientConnection& connection, const ClientListen& listen,
                                     const database::NodePtr& data,
                                     const boost::json::object& body) {
  // The client's data is current: the reply alone confirms it. Only no data hashes to "", what a
  // client without data sends: a first load does not hash the whole tree.
  const auto* hash = body.if_contains(wire::kBodyHash);
  if (hash && hash->is_string() &&
      (hash->get_string().empty() ? data->isEmpty() : hash->get_string() == data->dataHash())) {
    return;
  }
  if (const auto* compoundHash = body.if_contains(wire::kBodyCompoundHash)) {
    auto ranges = differingRanges(*data, *compoundHash);
    if (ranges && !ranges->empty()) {
      boost::json::object push{{wire::kBodyPath, listen.path.wireFormat()},
                               {wire::kBodyData, std::move(*ranges)}};
      if (!listen.tag.is_null()) push[wire::kBodyTag] = listen.tag;
      return sendMessage(connection, pushMessage(wire::kPushRangeMerge, std::move(push)));
    }
  }
  // A listen's whole data is what later listens ask for again; a window is made anew each time.
  pushNode(connection, listen.path, data, listen.tag, nullptr, !listen.window.filtered());
}

Reply DatabaseService::handleUnlisten(ClientConnection& connection,
                                      const boost::json::object& body) {
  auto pathText = pathField(body);
  if (!pathText) return {kStatusInvalidRequest, nullptr};
  connection.listens.erase(
      {Path(*pathText).toString(), boost::json::serialize(field(body, wire::kBodyTag))});
  return {std::string(wire::kStatusOk), nullptr};
}

Reply DatabaseService::handlePut(ClientConnection& connection, const boost::json::object& body) {
  auto pathText = pathField(body);
  if (!pathText || !body.contains(wire::kBodyData)) return {kStatusInvalidRequest, nullptr};
  Path path(*pathText);
  checkWritable(path);
  if (denied(path, Access::kWrite)) return {std::string(wire::kStatusPermissionDenied), nullptr};
  if (auto hashIt = body.find(wire::kBodyHash); hashIt != body.end()) {
    const auto* expected = hashIt->value().if_string();
    if (!expected || *expected != tree(connection.ns).hash(path)) {
      // The writer works from old data: show it the current data before refusing.
      for (auto& [key, listen] : connection.listens) {
        if (listen.window.filtered()) {
          if (listen.path.contains(path) || path.contains(listen.path)) {
            pushNode(connection, listen.path,
                     listen.window.reset(tree(connection.ns).get(listen.path)), listen.tag);
          }
        } else if (listen.path.contains(path)) {
          pushData(connection, path, listen.tag);
        } else if (path.contains(listen.path)) {
          pushData(connection, listen.path, listen.tag);
        }
      }
      return {std::string(wire::kStatusDataStale), boost::json::string("data is stale")};
    }
  }
  applyWrite(connection.ns, path, body.at(wire::kBodyData), nullptr);
  return {std::string(wire::kStatusOk), nullptr};
}

Reply DatabaseService::handleMerge(ClientConnection& connection, const boost::json::object& body) {
  auto pathText = pathField(body);
  auto dataIt = body.find(wire::kBodyData);
  if (!pathText || dataIt == body.end() || !dataIt->value().is_object()) {
    return {kStatusInvalidRequest, nullptr};
  }
  Path path(*pathText);
  const auto& children = dataIt->value().get_object();
  if (denied(path, Access::kWrite)) return {std::string(wire::kStatusPermissionDenied), nullptr};
  for (const auto& [key, value] : children) {
    checkWritable(path.child(std::string_view(key)));
    if (denied(path.child(std::string_view(key)), Access::kWrite)) {
      return {std::string(wire::kStatusPermissionDenied), nullptr};
    }
  }
  applyWrite(connection.ns, path, dataIt->value(), &children);
  return {std::string(wire::kStatusOk), nullptr};
}

Reply DatabaseService::handleOnDisconnect(ClientConnection& connection, const std::string& action,
                                          const boost::json::object& body) {
  auto pathText = pathField(body);
  if (!pathText) return {kStatusInvalidRequest, nullptr};
  Path path(*pathText);
  if (denied(path, Access::kWrite)) return {std::string(wire::kStatusPermissionDenied), nullptr};
  if (action == wire::kActionOnDisconnectPut) checkWritable(path);
  if (action == wire::kActionOnDisconnectCancel) {
    connection.onDisconnect.cancel(path);
    return {std::string(wire::kStatusOk), nullptr};
  }
  boost::json::value data = field(body, wire::kBodyData);
  if (action == wire::kActionOnDisconnectMerge && !data.is_object()) {
    return {kStatusInvalidRequest, nullptr};
  }
  // Converted now, so that what could not be stored later is refused now; server values stay
  // placeholders until the connection ends.
  if (action == wire::kActionOnDisconnectMerge) {
    std::vector<std::pair<Path, database::NodePtr>> writes;
    for (const auto& [key, value] : data.get_object()) {
      Path childPath = path.child(std::string_view(key));
      checkWritable(childPath);
      writes.emplace_back(childPath, nodeToStore(childPath, value));
    }
    for (auto& [childPath, node] : writes) connection.onDisconnect.set(childPath, node);
  } else {
    connection.onDisconnect.set(path, nodeToStore(path, data));
  }
  return {std::string(wire::kStatusOk), nullptr};
}

Reply DatabaseService::handleAuth(ClientConnection& connection, const boost::json::object& body) {
  const auto* credential =
      body.contains(wire::kAuthCredential) ? body.at(wire::kAuthCredential).if_string() : nullptr;
  if (!credential) return {kStatusInvalidToken, boost::json::string("no credential")};
  if (authRefusal_) {
    connection.authenticated = false;
    return {*authRefusal_, boost::json::string("refused by the development server")};
  }
  if (settings_.checkCredential) {
    CredentialCheck check = settings_.checkCredential(std::string(*credential));
    connection.authenticated = !check.refusal;
    setConnectionUid(connection.id, check.uid);
    if (check.refusal) return {*check.refusal, boost::json::string("refused by the auth service")};
  }
  connection.authenticated = true;
  return {std::string(wire::kStatusOk), nullptr};
}

void DatabaseService::setConnectionUid(uint64_t id, const std::string& uid) {
  platform::MutexLock lock(countersMutex_);
  for (auto& accepted : acceptedLog_) {
    if (accepted.connectionId == id) accepted.uid = uid;
  }
}

void DatabaseService::reply(ClientConnection& connection, int64_t number, const std::string& action,
                            const std::string& status, boost::json::value data) {
  boost::json::object body{{wire::kReplyStatus, status}};
  if (!data.is_null()) body[wire::kReplyData] = std::move(data);
  std::string text = boost::json::serialize(envelope(
      wire::kMessageTypeData,
      boost::json::object{{wire::kRequestNumber, number}, {wire::kRequestBody, std::move(body)}}));

  ReplyRule rule;
  if (auto it = replyRules_.find(action); it != replyRules_.end()) {
    rule = it->second;
  } else if (auto all = replyRules_.find(""); all != replyRules_.end()) {
    rule = all->second;
  }
  if (rule.withhold) {
    connection.withheldReplies.push_back(std::move(text));
    return;
  }
  if (rule.delay.count() <= 0) return sendFrames(connection, text);
  auto timer = std::make_shared<boost::asio::steady_timer>(io_, rule.delay);
  connection.replyTimers.insert(timer);
  timer->async_wait([weak = weak_from_this(), id = connection.id, timer,
                     text = std::move(text)](boost::system::error_code ec) {
    auto self = weak.lock();
    if (ec || !self) return;
    platform::MutexLock held(self->mutex_);
    auto it = self->connections_.find(id);
    if (it == self->connections_.end()) return;
    it->second->replyTimers.erase(timer);
    self->sendFrames(*it->second, text);
  });
}

void DatabaseService::applyWrite(const std::string& ns, const Path& path,
                                 const boost::json::value& data, const boost::json::object* merge) {
  int64_t now = nowMs();
  DatabaseTree& target = tree(ns);
  boost::json::value resolved = resolveServerValues(data, now);
  if (merge) {
    target.update(path, resolved.get_object(), now);
  } else {
    target.set(path, nodeToStore(path, resolved));
  }
  PushCache cache;
  for (auto& [id, connection] : connections_) {
    if (connection->ns != ns) continue;
    pushWrite(*connection, path, merge ? &resolved.get_object() : nullptr, resolved, cache);
  }
}

void DatabaseService::pushWrite(ClientConnection& connection, const Path& path,
                                const boost::json::object* merge,
                                const boost::json::value& mergeData, PushCache& cache) {
  // One push per path and tag, however many listens it serves.
  std::set<std::pair<std::string, std::string>> sent;
  for (auto& [key, listen] : connection.listens) {
    if (listen.window.filtered()) {
      pushWindow(connection, listen, path, merge, mergeData, cache);
      continue;
    }
    std::string tagText = boost::json::serialize(listen.tag);
    if (listen.path.contains(path)) {
      if (!sent.insert({path.toString(), tagText}).second) continue;
      pushWritten(connection, path, merge, mergeData, listen.tag, cache);
    } else if (path.contains(listen.path)) {
      if (merge && !mergeTouches(path, *merge, listen.path)) continue;
      if (!sent.insert({listen.path.toString(), tagText}).second) continue;
      pushData(connection, listen.path, listen.tag, &cache);
    }
  }
}

void DatabaseService::pushWritten(ClientConnection& connection, const Path& path,
                                  const boost::json::object* merge,
                                  const boost::json::value& mergeData,
                                  const boost::json::value& tag, PushCache& cache) {
  if (!merge) return pushData(connection, path, tag, &cache);
  std::string tagJson = tag.is_null() ? std::string() : boost::json::serialize(tag);
  sendShared(connection, cache.frames(wire::kPushMerge, path, tagJson, [&] {
    return sharedFramesForMessage(
        pushText(wire::kPushMerge, path, boost::json::serialize(mergeData), tagJson),
        settings_.maxFrameCharacters);
  }));
}

void DatabaseService::pushWindow(ClientConnection& connection, ClientListen& listen,
                                 const Path& path, const boost::json::object* merge,
                                 const boost::json::value& mergeData, PushCache& cache) {
  std::set<std::string> keys;
  if (listen.path.contains(path) && listen.path != path) {
    keys.insert(path[listen.path.size()]);
  } else if (!path.contains(listen.path) || (merge && !mergeTouches(path, *merge, listen.path))) {
    return;
  }
  for (const WindowChange& change :
       listen.window.update(tree(connection.ns).get(listen.path), keys)) {
    Path child = listen.path.child(std::string_view(change.key));
    switch (change.kind) {
      case WindowChange::Kind::kWhole:
        pushNode(connection, listen.path, change.data, listen.tag);
        break;
      case WindowChange::Kind::kWritten:
        pushWritten(connection, path, merge, mergeData, listen.tag, cache);
        break;
      case WindowChange::Kind::kEntered:
        pushData(connection, child, listen.tag, &cache);
        break;
      case WindowChange::Kind::kLeft:
        // Not shared: another connection's listen with the same tag may hold the child.
        pushNode(connection, child, change.data, listen.tag);
        break;
    }
  }
}

void DatabaseService::pushData(ClientConnection& connection, const Path& path,
                               const boost::json::value& tag, PushCache* cache) {
  pushNode(connection, path, tree(connection.ns).get(path), tag, cache);
}

void DatabaseService::pushNode(ClientConnection& connection, const Path& path,
                               const database::NodePtr& data, const boost::json::value& tag,
                               PushCache* cache, bool keep) {
  std::string tagText = tag.is_null() ? std::string() : boost::json::serialize(tag);
  auto make = [&] {
    std::string dataJson = database::SnapshotUtilities::toJsonText(*data, /*exportFormat=*/true);
    return sharedFramesForMessage(pushText(wire::kPushData, path, dataJson, tagText),
                                  settings_.maxFrameCharacters);
  };
  auto frames = [&, kept = &nodePushes_] {
    return keep ? kept->frames(data, pushKey(wire::kPushData, path, tagText), make) : make();
  };
  if (cache) return sendShared(connection, cache->frames(wire::kPushData, path, tagText, frames));
  sendShared(connection, frames());
}

void DatabaseService::runOnDisconnect(ClientConnection& connection) {
  auto writes = std::exchange(connection.onDisconnect, {}).writes();
  // Server values resolve now, when the connection ended, all to the same time.
  int64_t now = nowMs();
  for (const auto& [path, node] : writes) {
    try {
      applyWrite(connection.ns, path, resolveServerValues(jsonOfNode(*node), now), nullptr);
    } catch (const std::exception& e) {
      log("on-disconnect failed", connection.id, e.what());
    }
  }
}

bool DatabaseService::denied(const Path& path, Access access) const {
  for (const auto& denial : denials_) {
    if ((static_cast<int>(denial.access) & static_cast<int>(access)) &&
        denial.path.contains(path)) {
      return true;
    }
  }
  return false;
}

DatabaseTree& DatabaseService::tree(const std::string& ns) {
  return trees_[ns.empty() ? settings_.defaultNamespace : ns];
}

void DatabaseService::sendMessage(ClientConnection& connection, const boost::json::value& message) {
  sendFrames(connection, boost::json::serialize(message));
}

void DatabaseService::sendFrames(ClientConnection& connection, const std::string& text) {
  sendShared(connection, sharedFramesForMessage(text, settings_.maxFrameCharacters));
}

void DatabaseService::sendShared(ClientConnection& connection, const SharedFrames& frames) {
  auto peer = connection.peer.lock();
  if (!peer) return;
  for (const auto& frame : frames) {
    log("out", connection.id, *frame);
    peer->send(frame);
  }
  connection.sentSinceKeepAlive = true;
}

void DatabaseService::sendToAll(const boost::json::value& message) {
  for (auto& [id, connection] : connections_) sendMessage(*connection, message);
}

void DatabaseService::armKeepAlive(ClientConnection& connection) {
  if (settings_.keepAliveInterval.count() <= 0) return;
  if (!connection.keepAlive) {
    connection.keepAlive = std::make_unique<boost::asio::steady_timer>(io_);
  }
  connection.keepAlive->expires_after(settings_.keepAliveInterval);
  connection.keepAlive->async_wait(
      [weak = weak_from_this(), id = connection.id](boost::system::error_code ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        platform::MutexLock held(self->mutex_);
        auto it = self->connections_.find(id);
        if (it == self->connections_.end()) return;
        ClientConnection& connection = *it->second;
        if (!connection.sentSinceKeepAlive) {
          if (auto peer = connection.peer.lock()) peer->send(std::string(wire::kKeepAliveFrame));
        }
        connection.sentSinceKeepAlive = false;
        self->armKeepAlive(connection);
      });
}

// ---- Test API ----

void DatabaseService::set(const std::string& ns, const Path& path, const boost::json::value& data) {
  platform::MutexLock held(mutex_);
  applyWrite(ns.empty() ? settings_.defaultNamespace : ns, path, data, nullptr);
}

boost::json::value DatabaseService::snapshot(const std::string& ns, const Path& path) const {
  platform::MutexLock held(mutex_);
  auto it = trees_.find(ns.empty() ? settings_.defaultNamespace : ns);
  if (it == trees_.end()) return nullptr;
  return jsonOfNode(*it->second.get(path));
}

std::string DatabaseService::hash(const std::string& ns, const Path& path) const {
  platform::MutexLock held(mutex_);
  auto it = trees_.find(ns.empty() ? settings_.defaultNamespace : ns);
  return it == trees_.end() ? std::string() : it->second.hash(path);
}

void DatabaseService::denyPath(const std::string& path, Access access) {
  platform::MutexLock held(mutex_);
  denials_.push_back({Path(path), access});
}

void DatabaseService::allowAll() {
  platform::MutexLock held(mutex_);
  denials_.clear();
}

void DatabaseService::delayReplies(const std::string& action, std::chrono::milliseconds delay) {
  platform::MutexLock held(mutex_);
  replyRules_[action].delay = delay;
}

void DatabaseService::withholdReplies(const std::string& action, bool withhold) {
  platform::MutexLock held(mutex_);
  replyRules_[action].withhold = withhold;
}

void DatabaseService::releaseWithheldReplies() {
  platform::MutexLock held(mutex_);
  for (auto& [id, connection] : connections_) {
    auto replies = std::move(connection->withheldReplies);
    connection->withheldReplies.clear();
    for (const auto& text : replies) sendFrames(*connection, text);
  }
}

void DatabaseService::refuseAuth(std::optional<std::string> status) {
  platform::MutexLock held(mutex_);
  authRefusal_ = std::move(status);
}

void DatabaseService::revokeAuth(const std::string& status, const std::string& reason) {
  platform::MutexLock held(mutex_);
  for (auto& [id, connection] : connections_) {
    if (!connection->authenticated) continue;
    connection->authenticated = false;
    setConnectionUid(connection->id, {});
    sendMessage(*connection, pushMessage(wire::kPushAuthRevoked,
                                         boost::json::object{{wire::kAuthRevokedStatus, status},
                                                             {wire::kAuthRevokedReason, reason}}));
  }
}

void DatabaseService::revokeListens(const std::string& pathText) {
  platform::MutexLock held(mutex_);
  Path path(pathText);
  for (auto& [id, connection] : connections_) {
    size_t removed = std::erase_if(connection->listens,
                                   [&](const auto& entry) { return entry.second.path == path; });
    if (removed == 0) continue;
    sendMessage(*connection,
                pushMessage(wire::kPushListenRevoked,
                            boost::json::object{{wire::kBodyPath, path.wireFormat()}}));
  }
}

void DatabaseService::sendSecurityDebug(const std::string& message) {
  platform::MutexLock held(mutex_);
  sendToAll(pushMessage(wire::kPushSecurityDebug,
                        boost::json::object{{wire::kSecurityDebugMessage, message}}));
}

void DatabaseService::sendRangeMerge(const std::string& path, const boost::json::value& ranges,
                                     std::optional<int64_t> tag) {
  platform::MutexLock held(mutex_);
  boost::json::object body{{wire::kBodyPath, Path(path).wireFormat()}, {wire::kBodyData, ranges}};
  if (tag) body[wire::kBodyTag] = *tag;
  sendToAll(pushMessage(wire::kPushRangeMerge, body));
}

void DatabaseService::sendPush(const std::string& action, const boost::json::value& body) {
  platform::MutexLock held(mutex_);
  sendToAll(pushMessage(action, body));
}

void DatabaseService::sendError(const std::string& text) {
  platform::MutexLock held(mutex_);
  sendToAll(envelope(wire::kMessageTypeData, boost::json::object{{wire::kServerError, text}}));
}

void DatabaseService::sendShutdown(const std::string& reason) {
  platform::MutexLock held(mutex_);
  sendToAll(controlMessage(wire::kControlShutdown, boost::json::string(reason)));
}

void DatabaseService::sendReset(const std::string& host) {
  platform::MutexLock held(mutex_);
  sendToAll(controlMessage(wire::kControlReset, boost::json::string(host)));
}

void DatabaseService::sendRaw(const std::string& text) {
  platform::MutexLock held(mutex_);
  for (auto& [id, connection] : connections_) sendFrames(*connection, text);
}

void DatabaseService::redirect(const std::string& fromHost, const std::string& toHost) {
  platform::MutexLock held(mutex_);
  if (toHost.empty()) {
    redirects_.erase(platform::asciiLowercased(fromHost));
  } else {
    redirects_[platform::asciiLowercased(fromHost)] = toHost;
  }
}

void DatabaseService::setHandshakeHost(const std::string& host) {
  platform::MutexLock held(mutex_);
  handshakeHost_ = host;
}

void DatabaseService::dropConnections() {
  platform::MutexLock held(mutex_);
  for (auto& [id, connection] : connections_) {
    if (auto peer = connection->peer.lock()) peer->drop();
  }
}

void DatabaseService::shutdown() {
  platform::MutexLock held(mutex_);
  shutDown_ = true;
  for (auto& [id, connection] : connections_) {
    if (connection->keepAlive) connection->keepAlive->cancel();
    for (const auto& timer : connection->replyTimers) timer->cancel();
    connection->replyTimers.clear();
    if (auto peer = connection->peer.lock()) peer->drop();
  }
}

std::optional<std::string> DatabaseService::readData(const std::string& target) {
  std::string_view location = std::string_view(target).substr(0, target.find('?'));
  if (!location.starts_with('/') || !location.ends_with(kDataSuffix)) return std::nullopt;
  location.remove_suffix(std::string_view(kDataSuffix).size());
  const Path path(platform::percentDecoded(location));
  std::string ns = queryParameter(target, wire::kUrlNamespaceParam);
  platform::MutexLock held(mutex_);
  auto it = trees_.find(ns.empty() ? settings_.defaultNamespace : ns);
  if (it == trees_.end()) return std::string("null");
  return database::SnapshotUtilities::toJsonText(*it->second.get(path), /*exportFormat=*/true);
}

size_t DatabaseService::openConnections() const {
  platform::MutexLock lock(countersMutex_);
  return openConnections_;
}

size_t DatabaseService::acceptedConnections() const {
  platform::MutexLock lock(countersMutex_);
  return acceptedConnections_;
}

size_t DatabaseService::requestCount(const std::string& action) const {
  platform::MutexLock lock(countersMutex_);
  if (action.empty()) return totalRequests_;
  auto it = requestCounts_.find(action);
  return it == requestCounts_.end() ? 0 : it->second;
}

std::vector<AcceptedConnection> DatabaseService::acceptedConnectionLog() const {
  platform::MutexLock lock(countersMutex_);
  return acceptedLog_;
}

std::vector<ReceivedRequest> DatabaseService::requests() const {
  platform::MutexLock lock(countersMutex_);
  return {requests_.begin(), requests_.end()};
}

void DatabaseService::log(std::string_view direction, uint64_t id, std::string_view text) const {
  if (!settings_.verbose) return;
  std::string line = "devserver [" + std::to_string(id) + "] ";
  line += direction;
  line += ": ";
  line += text;
  platform::logLine(line);
}

void DatabaseService::notify() const {
  if (onEvent_) onEvent_();
}

int64_t DatabaseService::nowMs() const { return settings_.clockMs(); }

}  // namespace dz::devserver
