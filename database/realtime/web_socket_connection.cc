#include "database/realtime/web_socket_connection.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cctype>

#include "database/utilities/client_version.h"
#include "database/utilities/logging.h"
#include "database/utilities/repo_info.h"
#include "database/utilities/string_utilities.h"
#include "database/utilities/utilities.h"
#include "database/utilities/wire_protocol.h"
#include "platform/bundle.h"
#include "platform/json_text.h"
#include "platform/process_info.h"

namespace dz::database {
namespace {

constexpr char kConnectingCode[] = "I-RDB08301";
constexpr char kWebSocketOpenCode[] = "I-RDB08302";
constexpr char kWebSocketClosingCode[] = "I-RDB08303";
constexpr char kNopCode[] = "I-RDB08304";
constexpr char kNoMoreSocketCode[] = "I-RDB08305";
constexpr char kFrameCountCode[] = "I-RDB08306";
constexpr char kCompleteFrameCode[] = "I-RDB08307";
constexpr char kDidOpenCode[] = "I-RDB08308";
constexpr char kNopKickedOffCode[] = "I-RDB08309";
constexpr char kDidFailCode[] = "I-RDB08310";
constexpr char kDidCloseCode[] = "I-RDB08311";
constexpr char kTimedOutCode[] = "I-RDB08312";
constexpr char kClosingItselfCode[] = "I-RDB08313";
constexpr char kResetKeepAliveCode[] = "I-RDB08314";
// Lines of this implementation's own: a server that holds the client in ways the session ends.
constexpr char kMessageTooLongCode[] = "I-RDB08316";
constexpr char kNoHandshakeCode[] = "I-RDB08317";

constexpr char kUserAgentProduct[] = "Dezuvura";
// Server data may nest as deep as the data model allows (1,000 levels) plus the envelope.
constexpr size_t kMaxJsonDepth = 1100;
// Moving the keep-alive by less than this is not worth rescheduling its timer.
constexpr auto kKeepAliveSlack = std::chrono::seconds(5);

// Length of UTF-8 text in UTF-16 code units: one per lead byte, two for a four-byte sequence.
size_t characterCount(std::string_view text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) == 0x80 ? 0 : (c >= 0xF0 ? 2 : 1);
  return count;
}

// The frames of a message as one text.
std::string joined(std::vector<std::string> frames) {
  if (frames.size() == 1) return std::move(frames.front());
  size_t size = 0;
  for (const std::string& frame : frames) size += frame.size();
  std::string text;
  text.reserve(size);
  for (const std::string& frame : frames) text += frame;
  return text;
}

boost::json::value parseMessage(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::system::error_code ec;
  boost::json::value parsed = dz::parseJsonExact(text, ec, options);
  if (ec || !(parsed.is_object() || parsed.is_array())) return nullptr;
  return parsed;
}

}  // namespace

std::string databaseUserAgent() {
  auto& processInfo = platform::ProcessInfo::processInfo();
  std::string agent = kUserAgentProduct;
  agent += "/";
  agent += wire::kProtocolVersion;
  agent += "/" + buildVersion();
  agent += "/" + processInfo.operatingSystemVersionString();
  agent += "/" + sanitizedForUserAgent(processInfo.machineModel());
  agent += "_" + sanitizedForUserAgent(platform::Bundle::main().bundleIdentifier());
  return agent;
}

std::vector<std::string> framesForMessage(std::string_view text) {
  std::vector<std::string> pieces = splitString(text, wire::kMaxFrameCharacters);
  if (pieces.size() > 1) pieces.insert(pieces.begin(), std::to_string(pieces.size()));
  return pieces;
}

std::optional<int32_t> frameCountOf(std::string_view frame) {
  if (characterCount(frame) >= wire::kFrameCountMaxLength) return std::nullopt;
  // The leading integer, as a lenient number reader takes it: blanks, a sign, digits.
  size_t i = 0;
  while (i < frame.size() && std::isspace(static_cast<unsigned char>(frame[i]))) ++i;
  bool negative = false;
  if (i < frame.size() && (frame[i] == '+' || frame[i] == '-')) negative = frame[i++] == '-';
  int32_t value = 0;
  while (i < frame.size() && std::isdigit(static_cast<unsigned char>(frame[i]))) {
    value = value * 10 + (frame[i++] - '0');
  }
  if (negative || value < 1) return std::nullopt;
  return value;
}

std::shared_ptr<WebSocketConnection> WebSocketConnection::create(
    std::shared_ptr<RepoInfo> repoInfo, platform::DispatchQueuePtr queue,
    std::optional<std::string> lastSessionId, Dependencies dependencies) {
  SessionSocketFactory factory =
      dependencies.socketFactory ? dependencies.socketFactory : webSocketSessionSocketFactory();
  auto session =
      std::shared_ptr<WebSocketConnection>(new WebSocketConnection(queue, std::move(dependencies)));
  std::string url = repoInfo->connectionURL(lastSessionId);
  logDebug(kConnectingCode,
           session->tag() + " Connecting to: " + url + " as " + session->userAgent_);
  session->webSocket_ = factory(
      SessionSocketRequest{url, session->userAgent_, queue, session, session->maxMessageBytes_});
  return session;
}

WebSocketConnection::WebSocketConnection(platform::DispatchQueuePtr queue,
                                         Dependencies dependencies)
    : connectionId_(LUIDGenerator()),
      dispatchQueue_(std::move(queue)),
      scheduler_(dependencies.scheduler ? std::move(dependencies.scheduler)
                                        : platform::Scheduler::system()),
      maxMessageBytes_(dependencies.maxMessageBytes),
      userAgent_(databaseUserAgent()) {}

WebSocketConnection::~WebSocketConnection() { stopTimers(); }

std::string WebSocketConnection::tag() const {
  return "(wsc:" + std::to_string(connectionId_) + ")";
}

void WebSocketConnection::open() {
  logDebug(kWebSocketOpenCode, tag() + " DWebSocketConnection open.");
  everConnected_ = false;
  if (!webSocket_) return;
  webSocket_->open();
  std::weak_ptr<WebSocketConnection> weakSelf = weak_from_this();
  // Runs until the realtime handshake arrives: a server that opens the socket and then says
  // nothing would otherwise hold the client until TCP gives up.
  connectTimeout_ = scheduler_->schedule(kConnectTimeout, dispatchQueue_, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self || !self->webSocket_) return;
    if (self->everConnected_) {
      logWarning(kNoHandshakeCode,
                 self->tag() + " No realtime handshake within the connect time-out; closing");
    } else {
      logDebug(kTimedOutCode, self->tag() + " Websocket timed out on connect");
    }
    self->giveUp();
  });
}

void WebSocketConnection::start() {
  if (connectTimeout_) connectTimeout_->cancel();
  connectTimeout_ = nullptr;
}

// Closes the socket and reports the end at once, once: a socket stuck in its opening may never
// report it.
void WebSocketConnection::giveUp() {
  if (webSocket_) webSocket_->close();
  onClosed();
}

void WebSocketConnection::close() {
  logDebug(kWebSocketClosingCode, tag() + " DWebSocketConnection is being closed.");
  isClosed_ = true;
  stopTimers();
  if (webSocket_) webSocket_->close();
}

void WebSocketConnection::send(const boost::json::value& message) {
  resetKeepAlive();
  if (!webSocket_) return;
  for (std::string& frame : framesForMessage(boost::json::serialize(message))) {
    webSocket_->send(std::move(frame));
  }
}

void WebSocketConnection::webSocketDidReceiveMessage(std::string& text) {
  if (isClosed_) return;
  resetKeepAlive();
  handleIncomingFrame(text);
}

void WebSocketConnection::handleIncomingFrame(std::string& text) {
  if (!frames_) {
    if (auto count = frameCountOf(text)) {
      frames_.emplace();
      totalFrames_ = *count;
      logDebug(kFrameCountCode, tag() + " handleNewFrameCount: " + std::to_string(totalFrames_));
      return;
    }
    // A message of one frame is read where it lies: its buffer goes back to the socket.
    if (withinMessageLimit(text)) deliver(text, std::nullopt, true);
    return;
  }
  appendFrame(text);
}

bool WebSocketConnection::withinMessageLimit(std::string_view text) {
  // Counted frames would otherwise let a server make the client hold any amount of text.
  if (text.size() <= maxMessageBytes_ - std::min<uint64_t>(framesBytes_, maxMessageBytes_)) {
    return true;
  }
  logWarning(kMessageTooLongCode, tag() + " Incoming message is longer than " +
                                      std::to_string(maxMessageBytes_) + " bytes; closing");
  frames_.reset();
  framesBytes_ = 0;
  pieceReader_.reset();
  giveUp();
  return false;
}

void WebSocketConnection::appendFrame(std::string& text) {
  if (!withinMessageLimit(text)) return;
  if (frames_->empty() && totalFrames_ > 1 && mayBeDataPush(text)) {
    pieceReader_ = dataPushReader();
  }
  framesBytes_ += text.size();
  // The frame's buffer is kept rather than copied; the socket makes itself another.
  frames_->push_back(std::move(text));
  if (--totalFrames_ > 0) {
    if (pieceReader_) pieceReader_->write(frames_->back());
    return;
  }
  std::vector<std::string> frames = std::move(*frames_);
  frames_.reset();
  framesBytes_ = 0;
  std::unique_ptr<JsonTextReader> read = std::move(pieceReader_);
  std::optional<DataPush> push;
  if (read) push = dataPushOf(read->finish(frames.back()));
  // The frames are joined only when their pieces did not settle the message.
  deliver(push ? std::string() : joined(std::move(frames)), std::move(push), !read);
}

void WebSocketConnection::deliver(std::string_view text, std::optional<DataPush> push,
                                  bool mayBePush) {
  logDebug(kCompleteFrameCode,
           tag() + " handleIncomingFrame sending complete frame: " + std::to_string(connectionId_));
  auto delegate = delegate_.lock();
  if (!delegate) return;
  if (!push && mayBePush) push = readDataPush(text);
  if (push) return delegate->onDataPush(this, std::move(*push));
  delegate->onMessage(this, parseMessage(text));
}

void WebSocketConnection::webSocketDidOpen() {
  logDebug(kDidOpenCode, tag() + " webSocketDidOpen");
  if (isClosed_) return;
  everConnected_ = true;
  scheduleKeepAlive(kKeepAliveInterval);
  logDebug(kNopKickedOffCode, tag() + " nop timer kicked off");
}

void WebSocketConnection::webSocketDidFail(std::string errorDescription) {
  logDebug(kDidFailCode, tag() + " didFailWithError didFailWithError: " + errorDescription);
  onClosed();
}

void WebSocketConnection::webSocketDidClose(int64_t code, std::string reason, bool) {
  logDebug(kDidCloseCode, tag() + " didCloseWithCode: " + std::to_string(code) + " " + reason);
  onClosed();
}

void WebSocketConnection::onClosed() {
  std::shared_ptr<WebSocketConnection> keepAlive = shared_from_this();
  auto socket = std::move(webSocket_);
  webSocket_ = nullptr;
  stopTimers();
  if (!isClosed_) {
    logDebug(kClosingItselfCode, "Websocket is closing itself");
    isClosed_ = true;
    if (auto delegate = delegate_.lock()) delegate->onDisconnect(this, everConnected_);
  }
}

void WebSocketConnection::scheduleKeepAlive(platform::Duration delay) {
  if (keepAlive_) keepAlive_->cancel();
  keepAliveFireTime_ = scheduler_->now() + delay;
  std::weak_ptr<WebSocketConnection> weakSelf = weak_from_this();
  keepAlive_ = scheduler_->schedule(delay, dispatchQueue_, [weakSelf] {
    if (auto self = weakSelf.lock()) self->nop();
  });
}

void WebSocketConnection::nop() {
  if (!keepAlive_) return;  // stopped after this tick was due
  if (webSocket_ && !isClosed_) {
    logDebug(kNopCode, tag() + " nop");
    webSocket_->send(std::string(wire::kKeepAliveFrame));
    scheduleKeepAlive(kKeepAliveInterval);
  } else {
    logDebug(kNoMoreSocketCode, tag() + " No more websocket; invalidating nop timer.");
    stopTimers();
  }
}

void WebSocketConnection::resetKeepAlive() {
  if (!keepAlive_) return;
  platform::TimePoint newFireTime = scheduler_->now() + kKeepAliveInterval;
  if (newFireTime - keepAliveFireTime_ <= kKeepAliveSlack) return;
  auto seconds = [](platform::TimePoint t) {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() /
        1000.0);
  };
  logDebug(kResetKeepAliveCode, tag() + " resetting keepalive, to " + seconds(newFireTime) +
                                    " ; old: " + seconds(keepAliveFireTime_));
  scheduleKeepAlive(kKeepAliveInterval);
}

void WebSocketConnection::stopTimers() {
  if (keepAlive_) keepAlive_->cancel();
  keepAlive_ = nullptr;
  if (connectTimeout_) connectTimeout_->cancel();
  connectTimeout_ = nullptr;
}

}  // namespace dz::database
