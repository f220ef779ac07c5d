// Server text frames (one per input line) through the session's count-frame joining. What the
// session hands up is what joining the frames gives: a count frame starts a message of that many
// frames, any other frame is a message of its own. The session may end a counted message early
// (a limit), but then hands up nothing more. And a long message the client cuts into frames is
// cut between characters and joins back to the very message.
#include <boost/json/serialize.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "database/realtime/web_socket_connection.h"
#include "database/utilities/repo_info.h"
#include "database/utilities/wire_protocol.h"
#include "database/websocket/utf8_validator.h"
#include "fuzz/support.h"
#include "platform/json_text.h"
#include "tests/database/realtime/fake_session_socket.h"

namespace {

using dz::database::WebSocketConnection;
using dz::database::testing::FakeSessionSocket;
using dz::database::testing::FakeSocketFactory;
using dz::fuzz::require;

struct Recorder : dz::database::WebSocketConnectionDelegate {
  void onMessage(WebSocketConnection*, boost::json::value message) override {
    require(!disconnected, "a message after the session ended");
    require(message.is_object() || message.is_array() || message.is_null(),
            "a message that is neither an object nor an array");
    messages.push_back(boost::json::serialize(message));
  }
  void onDisconnect(WebSocketConnection*, bool) override {
    require(!disconnected, "a session ended twice");
    disconnected = true;
  }
  std::vector<std::string> messages;
  bool disconnected = false;
};

// The session's message of joined text: the object or array it holds, else null.
std::string messageOf(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = 1100;
  boost::system::error_code error;
  boost::json::value json = dz::parseJsonExact(text, error, options);
  if (error || !(json.is_object() || json.is_array())) json = nullptr;
  return boost::json::serialize(json);
}

struct Session {
  Session() {
    static const auto repoInfo = [] {
      dz::fuzz::scratchFolder();  // the sandbox root, for the repository's host cache
      return dz::database::RepoInfo::create("ns.dz.test", true, "ns");
    }();
    session =
        WebSocketConnection::create(repoInfo, queue, std::nullopt, {scheduler, sockets.factory()});
    session->setDelegate(recorder);
    session->open();
    sockets.last().serverOpens();
  }
  ~Session() { session->close(); }
  void serverSends(std::string frame) { sockets.last().serverSends(std::move(frame)); }

  dz::platform::DispatchQueuePtr queue = dz::platform::DispatchQueue::create("fuzz.work");
  std::shared_ptr<dz::platform::ManualScheduler> scheduler =
      dz::platform::ManualScheduler::create();
  FakeSocketFactory sockets;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<WebSocketConnection> session;
};

std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    lines.emplace_back(text.substr(start, end - start));
  }
  lines.emplace_back(text.substr(start));
  return lines;
}

void checkJoining(std::string_view input) {
  Session session;
  std::vector<std::string> expected;
  std::optional<std::string> joined;
  int32_t remaining = 0;
  bool counted = false;
  for (const std::string& frame : linesOf(input)) {
    const bool starts = !joined;
    const std::optional<int32_t> count = starts ? dz::database::frameCountOf(frame) : std::nullopt;
    session.serverSends(frame);
    if (session.recorder->disconnected) {
      require(count || (joined && counted), "a session ended outside a counted message");
      break;
    }
    if (starts) {
      joined.emplace();
      remaining = count.value_or(1);
      counted = count.has_value();
      if (counted) continue;
    }
    joined->append(frame);
    if (--remaining > 0) continue;
    expected.push_back(messageOf(*joined));
    joined.reset();
  }
  require(session.recorder->messages.size() <= expected.size() &&
              std::equal(session.recorder->messages.begin(), session.recorder->messages.end(),
                         expected.begin()),
          "the session's messages are not the joined frames");
  require(session.recorder->disconnected || session.recorder->messages.size() == expected.size(),
          "a message of joined frames was not handed up");
}

// `input` as a message the client would send; repeated past one frame's worth when `pastOneFrame`.
void checkCutting(std::string_view input, bool pastOneFrame) {
  if (!dz::websocket::isValidUtf8(input)) return;
  std::string text(input);
  while (pastOneFrame && text.size() <= dz::database::wire::kMaxFrameCharacters && !input.empty()) {
    text.append(input);
  }
  const std::string message = boost::json::serialize(boost::json::object{{"t", "d"}, {"d", text}});
  std::vector<std::string> pieces = dz::database::framesForMessage(message);
  std::string rejoined;
  for (size_t i = pieces.size() > 1 ? 1 : 0; i < pieces.size(); ++i) {
    require(dz::websocket::isValidUtf8(pieces[i]), "a frame splits a character");
    rejoined.append(pieces[i]);
  }
  require(rejoined == message, "the frames do not join to the message");
  require(pieces.size() == 1 || std::stoul(pieces[0]) == pieces.size() - 1,
          "the frame count is wrong");
  Session session;
  for (std::string& piece : pieces) session.serverSends(std::move(piece));
  require(session.recorder->messages == std::vector<std::string>{messageOf(message)},
          "a cut message does not join back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  checkJoining(input);
  // Cutting costs passes over 16 KiB: one input in 32.
  checkCutting(input, data[0] % 32 == 31);
  return 0;
}
