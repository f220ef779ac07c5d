// Any text as realtime messages from two clients of the development server's database, handled
// in-process as the server's connection threads hand them over. The server answers every request
// (a data message with a number) with exactly one well-formed reply, everything it sends joins
// into JSON envelopes, and a client that applies the data pushes of its plain listens holds the
// very data the server holds there (after writes, merges and on-disconnect writes of the other
// client). Plain reads of the tree ("GET /<path>.json") give data or nothing.
//
// Input: one message per line, from the first client; a line starting with 0x03 comes from the
// second. Lines of one control byte act instead: 0x01 / 0x02 the first / second client's
// connection ends (its on-disconnect writes run) and a new one opens. A line starting "GET "
// reads the tree at the rest of the line.
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/wire_protocol.h"
#include "fuzz/support.h"
#include "tools/devserver/database_service.h"
#include "tools/devserver/listen_window.h"
#include "tools/devserver/message_frames.h"

namespace dz::devserver {
namespace {

namespace wire = database::wire;
using database::NodePtr;
using database::Path;
using database::SnapshotUtilities;
using fuzz::require;

constexpr int64_t kServerTimeMs = 1700000000000;
// Small, so that pushes and replies go out in counted frames too.
constexpr size_t kMaxFrameCharacters = 256;
constexpr char kTarget[] = "/.ws?v=5&ns=ns";
constexpr char kNamespace[] = "ns";

class RecordingPeer : public Peer {
 public:
  void send(std::shared_ptr<const std::string> text) override { frames.push_back(*text); }
  void drop() override { dropped = true; }
  std::vector<std::string> frames;
  bool dropped = false;
};

const boost::json::value* member(const boost::json::value& object, std::string_view key) {
  const auto* map = object.if_object();
  return map ? map->if_contains(key) : nullptr;
}

std::string stringOf(const boost::json::value* value) {
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

// A request as the server reads one: a data message with an action; its number when it has one.
struct Request {
  std::string action;
  boost::json::value body;
  std::optional<int64_t> number;
};

std::optional<Request> requestIn(const boost::json::value& message) {
  if (stringOf(member(message, wire::kEnvelopeType)) != wire::kMessageTypeData) return std::nullopt;
  const boost::json::value* data = member(message, wire::kEnvelopeData);
  if (!data || !data->is_object()) return std::nullopt;
  const boost::json::value* action = member(*data, wire::kRequestAction);
  if (!action || !action->is_string()) return std::nullopt;
  Request request{stringOf(action), boost::json::object(), std::nullopt};
  if (const boost::json::value* body = member(*data, wire::kRequestBody);
      body && body->is_object()) {
    request.body = *body;
  }
  if (const boost::json::value* number = member(*data, wire::kRequestNumber)) {
    if (number->is_int64() && number->get_int64() >= 0) request.number = number->get_int64();
  }
  return request;
}

// What a client knows of one listen: the data its pushes made, once a push covered the path.
struct ListenView {
  Path path;
  NodePtr data;  // null until known
  bool confirmed = false;
};

// One client: what it sent, what it received, and the views of its plain listens.
class Client {
 public:
  explicit Client(DatabaseService& service) : service_(service) { open(); }

  void open() {
    peer_ = std::make_shared<RecordingPeer>();
    handler_ = service_.accept(peer_, {kTarget, "ns.dz.test"});
    taken_ = 0;
    mirror_ = FrameJoiner();
    views_.clear();
    pending_.clear();
    modelled_ = true;
    takeFrames();
    require(handshakes_ == 1, "a connection opens without one handshake");
    handshakes_ = 0;
  }

  void close() {
    handler_->onClosed();
    open();
  }

  void sends(std::string_view line) {
    lastNumber_.reset();
    std::optional<Request> request;
    if (std::optional<std::string> message = mirror_.add(line)) {
      if (auto parsed = parseJsonText(*message)) request = requestIn(*parsed);
    }
    if (request) expect(*request);
    handler_->onText(line);
  }

  // Reads what the server sent since the last call: one reply when `expectedReply` names a
  // request, else none.
  void takeFrames(const std::optional<int64_t>& expectedReply = std::nullopt) {
    replies_ = 0;
    for (; taken_ < peer_->frames.size(); ++taken_) {
      const std::string& frame = peer_->frames[taken_];
      if (remaining_ == 0 && !frame.empty() && frame.size() <= 4 &&
          frame.find_first_not_of("0123456789") == std::string::npos) {
        remaining_ = std::stoul(frame);
        require(remaining_ > 1, "a counted message of fewer than two frames");
        continue;
      }
      joined_ += frame;
      if (remaining_ > 0 && --remaining_ > 0) continue;
      received(joined_);
      joined_.clear();
    }
    require(remaining_ == 0, "a counted message left unfinished");
    if (expectedReply) {
      require(replies_ == 1 || peer_->dropped, "a request was not answered exactly once");
    } else {
      require(replies_ == 0, "a reply to no request");
    }
  }

  // Every plain listen the server confirmed holds the server's data.
  void checkViews() const {
    if (!modelled_) return;
    for (const auto& [key, view] : views_) {
      if (!view.confirmed) continue;
      require(view.data != nullptr, "a listen confirmed before its data");
      // Data hashes cover priorities and every child: equal hashes, equal data.
      if (view.data->dataHash() == service_.hash(kNamespace, view.path)) continue;
      NodePtr held = SnapshotUtilities::nodeFromJson(service_.snapshot(kNamespace, view.path));
      require(false, "a listener's data differs from the server's at " + view.path.toString() +
                         ": " + SnapshotUtilities::toJsonText(*view.data, true) + " against " +
                         SnapshotUtilities::toJsonText(*held, true));
    }
  }

  const std::optional<int64_t>& lastNumber() const { return lastNumber_; }

 private:
  using ViewKey = std::pair<std::string, std::string>;  // path, tag as JSON

  void expect(const Request& request) {
    lastNumber_ = request.number;
    const auto& body = request.body.get_object();
    const boost::json::value* pathText = body.if_contains(wire::kBodyPath);
    if (!pathText || !pathText->is_string()) return;
    Path path;
    try {
      path = Path(std::string_view(pathText->get_string()));
    } catch (const std::exception&) {
      return;
    }
    const boost::json::value tag =
        body.contains(wire::kBodyTag) ? body.at(wire::kBodyTag) : nullptr;
    const ViewKey key{path.toString(), boost::json::serialize(tag)};
    if (request.action == wire::kActionUnlisten) {
      views_.erase(key);
    } else if (request.action == wire::kActionListen) {
      views_.erase(key);
      const boost::json::value query =
          body.contains(wire::kBodyQuery) ? body.at(wire::kBodyQuery) : nullptr;
      std::optional<ListenWindow> window = ListenWindow::create(query);
      // A window's pushes are the window's; listens with hashes may be sent nothing.
      if (window && window->filtered()) modelled_ = false;
      if (body.contains(wire::kBodyHash) || body.contains(wire::kBodyCompoundHash)) return;
      if (request.number) pending_[*request.number] = key;
      views_[key] = ListenView{path, nullptr, false};
    }
  }

  void received(const std::string& text) {
    std::optional<boost::json::value> message = parseJsonText(text);
    require(message && message->is_object(), "the server sent what is not a JSON object: " + text);
    const std::string type = stringOf(member(*message, wire::kEnvelopeType));
    const boost::json::value* data = member(*message, wire::kEnvelopeData);
    require((type == wire::kMessageTypeData || type == wire::kMessageTypeControl) && data &&
                data->is_object(),
            "the server sent a message without an envelope: " + text);
    if (type == wire::kMessageTypeControl) {
      require(stringOf(member(*data, wire::kControlType)) == wire::kControlHandshake,
              "the server sent an unexpected control message: " + text);
      ++handshakes_;
      return;
    }
    if (const boost::json::value* number = member(*data, wire::kRequestNumber)) {
      return reply(*number, member(*data, wire::kRequestBody), text);
    }
    const boost::json::value* body = member(*data, wire::kRequestBody);
    require(member(*data, wire::kRequestAction) && body && body->is_object(),
            "the server sent a data message that is neither reply nor push: " + text);
    push(stringOf(member(*data, wire::kRequestAction)), *body, text);
  }

  void reply(const boost::json::value& number, const boost::json::value* body,
             const std::string& text) {
    require(number.is_int64() && lastNumber_ && number.get_int64() == *lastNumber_,
            "a reply carries another request's number: " + text);
    const boost::json::value* status = body ? member(*body, wire::kReplyStatus) : nullptr;
    require(status && status->is_string(), "a reply without a status: " + text);
    ++replies_;
    auto waiting = pending_.find(number.get_int64());
    if (waiting == pending_.end()) return;
    auto view = views_.find(waiting->second);
    if (view != views_.end()) {
      if (status->get_string() == wire::kStatusOk) {
        view->second.confirmed = true;
      } else {
        views_.erase(view);
      }
    }
    pending_.erase(waiting);
  }

  void push(const std::string& action, const boost::json::value& body, const std::string& text) {
    if (action != wire::kPushData && action != wire::kPushMerge) return;
    const boost::json::value* pathText = member(body, wire::kBodyPath);
    const boost::json::value* data = member(body, wire::kBodyData);
    require(pathText && pathText->is_string() && data, "a data push without path or data: " + text);
    const Path path{std::string_view(pathText->get_string())};
    const boost::json::value* tag = member(body, wire::kBodyTag);
    const std::string tagText = boost::json::serialize(tag ? *tag : boost::json::value());
    if (action == wire::kPushData)
      return apply(path, SnapshotUtilities::nodeFromJson(*data), tagText);
    require(data->is_object(), "a merge push without children: " + text);
    for (const auto& [key, child] : data->get_object()) {
      apply(path.child(std::string_view(key)), SnapshotUtilities::nodeFromJson(child), tagText);
    }
  }

  // As a client applies data at `path` to every view of the push's tag it overlaps.
  void apply(const Path& path, const NodePtr& node, const std::string& tagText) {
    for (auto& [key, view] : views_) {
      if (key.second != tagText) continue;
      if (path.contains(view.path)) {
        view.data = node->getChild(Path::relativePath(path, view.path));
      } else if (view.path.contains(path) && view.data) {
        view.data = view.data->updateChild(Path::relativePath(view.path, path), node);
      }
    }
  }

  DatabaseService& service_;
  std::shared_ptr<RecordingPeer> peer_;
  std::shared_ptr<PeerHandler> handler_;
  FrameJoiner mirror_;  // joins what this client sends as the server does
  size_t taken_ = 0;
  size_t remaining_ = 0;
  std::string joined_;
  int replies_ = 0;
  int handshakes_ = 0;
  std::optional<int64_t> lastNumber_;
  std::map<ViewKey, ListenView> views_;
  std::map<int64_t, ViewKey> pending_;
  bool modelled_ = true;
};

}  // namespace
}  // namespace dz::devserver

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dz::devserver;
  static boost::asio::io_context io;  // timers only: no keep-alives, no delayed replies
  ServiceSettings settings;
  settings.defaultNamespace = kNamespace;
  settings.clockMs = [] { return kServerTimeMs; };
  settings.keepAliveInterval = std::chrono::milliseconds(0);
  settings.maxFrameCharacters = kMaxFrameCharacters;
  auto service = DatabaseService::create(io, settings, nullptr);
  Client clients[2] = {Client(*service), Client(*service)};
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start <= input.size();) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    std::string_view line = input.substr(start, end - start);
    start = end + 1;
    if (line == "\x01" || line == "\x02") {
      clients[line[0] - 1].close();
    } else if (line.starts_with("GET ")) {
      if (std::optional<std::string> read = service->readData(std::string(line.substr(4)))) {
        dz::fuzz::require(dz::database::SnapshotUtilities::tryNodeFromJsonText(*read) != nullptr,
                          "a plain read gives what is not data: " + *read);
      }
    } else {
      Client& client = clients[line.starts_with('\x03') ? 1 : 0];
      if (line.starts_with('\x03')) line.remove_prefix(1);
      client.sends(line);
      client.takeFrames(client.lastNumber());
    }
    for (Client& client : clients) {
      client.takeFrames();
      client.checkViews();
    }
  }
  return 0;
}
