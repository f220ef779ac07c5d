#include "database/websocket/web_socket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <span>
#include <utility>

#include "database/websocket/errors.h"
#include "database/websocket/frame_writer.h"
#include "database/websocket/network_thread.h"
#include "database/websocket/pinning.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/queue_check.h"
#include "platform/run_loop.h"

namespace dz::websocket {
namespace {

constexpr char kWorkQueueLabel[] = "com.vivuro.dezuvura.websocket.work";
constexpr char kBadScheme[] = "WebSocket URL must be ws, wss, http or https: ";
constexpr char kOpenTwice[] = "Cannot call -(void)open on WSWebSocket more than once";
constexpr char kSendBeforeOpen[] = "Invalid State: Cannot call send: until connection is open";
constexpr char kPingTooLong[] = "Ping payload must be at most 125 bytes";
constexpr char kUnsendableCloseCode[] = "Cannot close with code ";
constexpr char kWriteError[] = "Error writing to stream";
constexpr char kInvalidServerCert[] = "Invalid server cert";
constexpr char kStreamEnd[] = "Stream end encountered";
constexpr char kCloseTimedOut[] = "Closing handshake timed out";

// Bytes read from the stream per call; a shorter read means the socket is drained.
constexpr size_t kReadChunkBytes = 64 * 1024;
// A payload with at least this much still to come is read straight into its message: a copy
// less, and large messages are mostly payload.
constexpr size_t kDirectReadBytes = 16 * 1024;
// Messages read in one go are handed to the delegate at least every this many bytes, so that it
// works while reading goes on and their buffers come back to the pool for the next messages.
constexpr size_t kDelegateBatchBytes = 256 * 1024;
// Consumed prefixes are cut from a buffer only past this offset and half the buffer, so that
// most consumption costs no copy.
constexpr size_t kCompactionOffset = 4096;

void compact(std::string& buffer, size_t& offset) {
  if (offset == buffer.size()) {
    buffer.clear();
    offset = 0;
  } else if (offset > kCompactionOffset && offset > buffer.size() / 2) {
    buffer.erase(0, offset);
    offset = 0;
  }
}

// A stream that failed without saying why.
ErrorPtr unknownStreamError() { return std::make_shared<Error>(kStreamErrorDomain, 0); }

}  // namespace

class DZ_SCOPED_CAPABILITY WebSocket::GateHold {
 public:
  explicit GateHold(WorkGate& gate) DZ_ACQUIRE(gate.lock) : gate_(gate) {
    gate_.lock.lock();
    gate_.holder = std::this_thread::get_id();
  }
  // After a successful try_lock.
  GateHold(WorkGate& gate, std::adopt_lock_t) DZ_REQUIRES(gate.lock) : gate_(gate) {
    gate_.holder = std::this_thread::get_id();
  }
  ~GateHold() DZ_RELEASE() {
    gate_.holder = std::thread::id();
    gate_.lock.unlock();
  }
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;

 private:
  WorkGate& gate_;
};

void WebSocket::assertGated() const {
  if constexpr (platform::kQueueChecksEnabled) {
    if (workGate_->holder.load() == std::this_thread::get_id()) return;
    platform::logLine("WebSocket work ran without holding its work gate");
    std::abort();
  }
}

// Routes the frame reader's findings to the socket, on whichever thread reads (under readLock_).
class WebSocket::Reader : public FrameReader::Handler {
 public:
  Reader(WebSocket& socket, uint64_t maxMessageBytes)
      : socket_(socket), frames_(*this, maxMessageBytes) {}
  FrameReader& frames() { return frames_; }

  void onMessage(Opcode opcode, std::string payload) override {
    socket_.deliverMessage(
        Message{opcode == Opcode::kText ? Message::Kind::kText : Message::Kind::kBinary,
                std::move(payload)});
  }

  void onPing(std::string payload) override {
    if (socket_.readyState() != ReadyState::kOpen) return;
    // The pong passes through the delegate queue, so it follows the messages delivered before.
    socket_.flushDelegateBatch();
    std::weak_ptr<WebSocket> weak = socket_.weak_from_this();
    socket_.enqueueForDelegate([weak, payload = std::move(payload)] {
      auto socket = weak.lock();
      if (!socket) return;
      socket->postWork([socket, payload] {
        socket->assertGated();
        if (socket->readyState() == ReadyState::kOpen) socket->sendFrame(Opcode::kPong, payload);
      });
    });
  }

  void onPong(std::string payload) override {
    socket_.performDelegate(
        [payload = std::move(payload)](WebSocketDelegate& delegate, WebSocket& socket) {
          delegate.didReceivePong(socket, payload);
        });
  }

  void onClose(int code, std::string reason) override DZ_REQUIRES(socket_.readLock_) {
    socket_.onWorkQueue([code, reason = std::move(reason)](WebSocket& socket) mutable {
      socket.assertGated();
      socket.handleServerClose(code, std::move(reason));
    });
  }

  void onProtocolError(int closeCode, std::string reason) override DZ_REQUIRES(socket_.readLock_) {
    socket_.onWorkQueue([closeCode, reason = std::move(reason)](WebSocket& socket) mutable {
      socket.assertGated();
      socket.closeWithProtocolError(closeCode, std::move(reason));
    });
  }

  std::string recycledBuffer() override {
    // A few at a time: the pool's lock is shared with the delegate queue giving them back.
    if (spare_.empty()) socket_.bufferPool_->take(spare_, kBuffersTakenAtOnce);
    if (spare_.empty()) return {};
    std::string buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
  }

 private:
  static constexpr size_t kBuffersTakenAtOnce = 8;
  WebSocket& socket_;
  FrameReader frames_;
  std::vector<std::string> spare_;
};

// --- Creation and public calls ---------------------------------------------------------------

std::shared_ptr<WebSocket> WebSocket::create(URLRequest request,
                                             std::optional<std::vector<std::string>> protocols,
                                             platform::DispatchQueuePtr delegateQueue,
                                             std::optional<std::string> userAgent, Limits limits) {
  auto url = Url::parse(request.url);
  if (!url || (url->scheme != "ws" && url->scheme != "wss" && url->scheme != "http" &&
               url->scheme != "https")) {
    throw Exception(kInvalidArgumentException, kBadScheme + request.url);
  }
  if (!limits.scheduler) limits.scheduler = platform::Scheduler::system();
  std::shared_ptr<WebSocket> socket(new WebSocket(std::move(request), std::move(*url),
                                                  std::move(protocols), std::move(delegateQueue),
                                                  std::move(userAgent), std::move(limits)));
  socket->reader_ = std::make_unique<Reader>(*socket, socket->limits_.maxMessageBytes);
  return socket;
}

WebSocket::WebSocket(URLRequest request, Url url, std::optional<std::vector<std::string>> protocols,
                     platform::DispatchQueuePtr delegateQueue, std::optional<std::string> userAgent,
                     Limits limits)
    : request_(std::move(request)),
      url_(std::move(url)),
      requestedProtocols_(std::move(protocols)),
      userAgent_(std::move(userAgent)),
      limits_(std::move(limits)),
      workQueue_(platform::DispatchQueue::create(kWorkQueueLabel)),
      workGate_(std::make_shared<WorkGate>()),
      bufferPool_(std::make_shared<MessageBufferPool>()),
      delegateQueue_(delegateQueue ? std::move(delegateQueue) : platform::DispatchQueue::main()) {
  streams_ = platform::createStreamPair(url_.host, url_.effectivePort());
  streams_.input->setNetworkServiceType(platform::NetworkServiceType::kBackground);
  streams_.output->setNetworkServiceType(platform::NetworkServiceType::kBackground);
  if (url_.isSecure()) {
    platform::TlsSettings tls;
    // With pins, the pins decide (right after the handshake), not the system's trust store.
    tls.validatesCertificateChain = request_.pinnedCertificates.empty();
    tls.caFile = request_.caFile;
    streams_.output->setTlsSettings(std::move(tls));
  }
}

WebSocket::~WebSocket() {
  streams_.input->setDelegate({});
  streams_.output->setDelegate({});
  streams_.input->close();
  streams_.output->close();
}

void WebSocket::open() {
  if (readyState() != ReadyState::kConnecting) {
    throw Exception(kInternalInconsistencyException, kOpenTwice);
  }
  platform::MutexLock lock(lock_);
  selfRetain_ = shared_from_this();
  std::weak_ptr<platform::StreamDelegate> self = selfRetain_;
  streams_.input->setDelegate(self);
  streams_.output->setDelegate(self);
  runLoop_ = scheduledRunLoops_.empty() ? &networkRunLoop() : scheduledRunLoops_.back();
  streams_.input->scheduleIn(*runLoop_);
  streams_.output->scheduleIn(*runLoop_);
  streams_.input->open();
  streams_.output->open();
}

void WebSocket::send(std::string text) {
  if (readyState() == ReadyState::kConnecting) {
    throw Exception(kInternalInconsistencyException, kSendBeforeOpen);
  }
  sendMessage(Opcode::kText, std::move(text));
}

void WebSocket::sendData(std::string data) {
  if (readyState() == ReadyState::kConnecting) {
    throw Exception(kInternalInconsistencyException, kSendBeforeOpen);
  }
  sendMessage(Opcode::kBinary, std::move(data));
}

void WebSocket::sendMessage(Opcode opcode, std::string payload) {
  // Written on the caller's thread when no other work is queued or running: no hop.
  if (!workQueue_->isCurrent() && workGate_->lock.try_lock()) {
    GateHold hold(*workGate_, std::adopt_lock);
    if (workGate_->queued.load() == 0) return sendFrame(opcode, payload);
  }
  postWork([self = shared_from_this(), opcode, payload = std::move(payload)] {
    self->assertGated();
    self->sendFrame(opcode, payload);
  });
}

void WebSocket::postWork(std::function<void()> work) {
  workGate_->queued.fetch_add(1);
  workQueue_->async([gate = workGate_, work = std::move(work)] {
    GateHold hold(*gate);
    struct Finished {
      WorkGate& gate;
      ~Finished() { gate.queued.fetch_sub(1); }
    } finished{*gate};
    work();
  });
}

void WebSocket::sendPing(std::string payload) {
  if (readyState() == ReadyState::kConnecting) {
    throw Exception(kInternalInconsistencyException, kSendBeforeOpen);
  }
  if (payload.size() > kMaxControlPayload) throw Exception(kInvalidArgumentException, kPingTooLong);
  postWork([self = shared_from_this(), payload = std::move(payload)] {
    self->assertGated();
    if (self->readyState() == ReadyState::kOpen) self->sendFrame(Opcode::kPing, payload);
  });
}

void WebSocket::close() { close(kCloseNormal, {}); }

void WebSocket::close(int code, std::string reason) {
  if (!isValidCloseCode(code)) {
    throw Exception(kInvalidArgumentException, kUnsendableCloseCode + std::to_string(code));
  }
  postWork([self = shared_from_this(), code, reason = std::move(reason)] {
    self->assertGated();
    self->startClosing(code, reason);
  });
}

std::optional<std::string> WebSocket::protocol() const {
  platform::MutexLock lock(lock_);
  return protocol_;
}

void WebSocket::setDelegate(std::weak_ptr<WebSocketDelegate> delegate) {
  platform::MutexLock lock(lock_);
  delegate_ = std::move(delegate);
}

void WebSocket::setDelegateQueue(platform::DispatchQueuePtr queue) {
  platform::MutexLock lock(lock_);
  if (queue) delegateQueue_ = std::move(queue);
}

void WebSocket::setDelegateOperationQueue(platform::OperationQueuePtr queue) {
  platform::MutexLock lock(lock_);
  delegateOperationQueue_ = std::move(queue);
}

void WebSocket::scheduleInRunLoop(platform::RunLoop& runLoop) {
  platform::MutexLock lock(lock_);
  auto& loops = scheduledRunLoops_;
  if (std::find(loops.begin(), loops.end(), &runLoop) == loops.end()) loops.push_back(&runLoop);
}

void WebSocket::unscheduleFromRunLoop(platform::RunLoop& runLoop) {
  platform::MutexLock lock(lock_);
  std::erase(scheduledRunLoops_, &runLoop);
}

// --- Stream events -----------------------------------------------------------------------------

void WebSocket::handleStreamEvent(platform::Stream& stream, platform::StreamEvent event) {
  using platform::StreamEvent;
  if (event == StreamEvent::kOpenCompleted && !stream.isInput()) {
    const int fd = stream.nativeSocket();
    const int on = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  }
  if (pinningRefuses(event)) return;
  if (event == StreamEvent::kHasBytesAvailable && readsOnEventThread_.load()) {
    // Once open, frames are read and checked right here: one thread change per batch of reads
    // (to the delegate queue) instead of two.
    platform::MutexLock lock(readLock_);
    struct OnEventThread {
      bool& flag;
      explicit OnEventThread(bool& flag) : flag(flag) { flag = true; }
      ~OnEventThread() { flag = false; }
    } onEventThread(readingOnEventThread_);
    readAvailableBytes();
    return;
  }
  std::weak_ptr<WebSocket> weak = weak_from_this();
  const bool isInput = stream.isInput();
  postWork([weak, isInput, event] {
    auto self = weak.lock();
    if (!self) return;
    self->assertGated();
    self->safeHandleEvent(isInput, event);
  });
}

// Checked on the first event after the TLS handshake, before the handshake request is written.
bool WebSocket::pinningRefuses(platform::StreamEvent event) {
  using platform::StreamEvent;
  if (!url_.isSecure() || request_.pinnedCertificates.empty()) return false;
  if (event == StreamEvent::kErrorOccurred || event == StreamEvent::kEndEncountered) {
    return !pinChecked_ ? false : !pinPassed_;
  }
  if (!pinChecked_) {
    pinChecked_ = true;
    pinPassed_ = chainMatchesPins(streams_.output->peerCertificateChain(),
                                  request_.pinnedCertificates, url_.host);
    if (!pinPassed_) {
      std::weak_ptr<WebSocket> weak = weak_from_this();
      postWork([weak] {
        if (auto self = weak.lock()) {
          self->assertGated();
          self->failWithError(std::make_shared<Error>(kStreamErrorDomain, kInvalidServerCertCode,
                                                      kInvalidServerCert));
        }
      });
    }
  }
  return !pinPassed_;
}

void WebSocket::safeHandleEvent(bool isInput, platform::StreamEvent event) {
  using platform::StreamEvent;
  // Writing needs no reading state.
  if (event == StreamEvent::kHasSpaceAvailable) return pumpWriting();
  platform::MutexLock readLock(readLock_);
  switch (event) {
    case StreamEvent::kOpenCompleted:
      if (readyState() >= ReadyState::kClosing) return;
      if (readyState() == ReadyState::kConnecting && isInput) startHandshake();
      pumpWriting();
      pumpReading();
      return;
    case StreamEvent::kHasBytesAvailable:
      readAvailableBytes();
      return;
    case StreamEvent::kHasSpaceAvailable:
      return;
    case StreamEvent::kErrorOccurred: {
      ErrorPtr error = streams_.input->error();  // one connection, one error
      readBuffer_.clear();
      readBufferOffset_ = 0;
      failWithError(error ? std::move(error) : unknownStreamError());
      return;
    }
    case StreamEvent::kEndEncountered:
      handleEnd();
      return;
  }
}

void WebSocket::readAvailableBytes() {
  uint8_t chunk[kReadChunkBytes];
  beginDelegateBatch();
  // A read that comes back short (or empty) has drained the socket for now.
  while (true) {
    const bool nothingBuffered =
        readPhase_ == ReadPhase::kFrames && readBufferOffset_ == readBuffer_.size();
    const std::span<char> room =
        nothingBuffered ? reader_->frames().payloadRoom(kDirectReadBytes, kReadChunkBytes)
                        : std::span<char>();
    const bool direct = !room.empty();
    const size_t capacity = direct ? room.size() : kReadChunkBytes;
    const ssize_t count =
        streams_.input->read(direct ? reinterpret_cast<uint8_t*>(room.data()) : chunk, capacity);
    if (direct) {
      reader_->frames().commitPayload(count > 0 ? static_cast<size_t>(count) : 0);
      if (reader_->frames().stopped()) readPhase_ = ReadPhase::kStopped;
    }
    if (count == 0) break;
    if (count < 0) {
      ErrorPtr error = streams_.input->error();
      failOnWorkQueue(error ? std::move(error) : unknownStreamError());
      break;
    }
    // Bytes read into the room are in their message already.
    if (!direct) {
      const auto bytes =
          std::string_view(reinterpret_cast<const char*>(chunk), static_cast<size_t>(count));
      if (nothingBuffered) {
        feedFrames(bytes);
      } else if (readPhase_ != ReadPhase::kStopped) {
        // Once reading has ended nothing the server sends is kept.
        readBuffer_.append(bytes);
        pumpReading();
      }
    }
    if (static_cast<size_t>(count) < capacity) break;
    if (batchBytes() >= kDelegateBatchBytes) flushDelegateBatch();
  }
  pumpReading();
  endDelegateBatch();
}

size_t WebSocket::feedFrames(std::string_view bytes) {
  const size_t consumed =
      reader_->frames().feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (reader_->frames().stopped()) readPhase_ = ReadPhase::kStopped;
  return consumed;
}

void WebSocket::handleEnd() {
  pumpReading();
  if (ErrorPtr error = streams_.input->error()) return failWithError(std::move(error));
  // A server that ends the connection instead of answering the upgrade refused it; say how.
  if (readPhase_ == ReadPhase::kHeader && readyState() == ReadyState::kConnecting) {
    return failWithError(unansweredHandshakeError(url_.isSecure(), responseHeader_));
  }
  if (setState(ReadyState::kClosed)) scheduleCleanup();
  if (closeReported_ || failed_) return;
  closeReported_ = true;
  if (closeTimeout_) closeTimeout_->cancel();
  performDelegate([](WebSocketDelegate& delegate, WebSocket& socket) {
    delegate.didClose(socket, 0, kStreamEnd, false);
  });
}

// --- Handshake ---------------------------------------------------------------------------------

void WebSocket::startHandshake() {
  secKey_ = makeSecKey();
  HandshakeRequest request{url_, secKey_, userAgent_, requestedProtocols_, request_.headerFields};
  writeData(request.serialize());
  readPhase_ = ReadPhase::kHeader;
}

size_t WebSocket::consumeResponseHeader(std::string_view bytes) {
  const size_t searchFrom = responseHeader_.size() < 3 ? 0 : responseHeader_.size() - 3;
  const size_t limit = limits_.maxResponseHeaderBytes;
  const size_t room = limit > responseHeader_.size() ? limit - responseHeader_.size() : 0;
  responseHeader_.append(bytes.substr(0, room));
  const size_t end = findHeaderEnd(responseHeader_, searchFrom);
  if (end == std::string::npos) {
    if (responseHeader_.size() >= limit) {
      readPhase_ = ReadPhase::kStopped;
      failOnWorkQueue(responseHeaderTooLongError(limit));
    }
    return std::min(bytes.size(), room);
  }
  const size_t taken = end - (responseHeader_.size() - std::min(bytes.size(), room));
  responseHeader_.resize(end);
  // A response that completes after a close while connecting is ignored.
  if (readyState() != ReadyState::kConnecting) {
    readPhase_ = ReadPhase::kStopped;
    return taken;
  }
  std::optional<std::string> chosen;
  const auto response = parseResponseHeader(responseHeader_);
  ErrorPtr error = response ? checkResponse(*response, secKey_, requestedProtocols_, chosen,
                                            request_.headerFields)
                            : badResponseError(0);
  if (error) {
    readPhase_ = ReadPhase::kStopped;
    failOnWorkQueue(std::move(error));
    return taken;
  }
  {
    platform::MutexLock lock(lock_);
    protocol_ = chosen;
  }
  readPhase_ = ReadPhase::kFrames;
  setState(ReadyState::kOpen);
  performDelegate([](WebSocketDelegate& delegate, WebSocket& socket) { delegate.didOpen(socket); });
  readsOnEventThread_ = true;
  return taken;
}

// --- Reading and writing -----------------------------------------------------------------------

void WebSocket::pumpReading() {
  if (isPumping_) return;
  isPumping_ = true;
  while (readBufferOffset_ < readBuffer_.size() && readyState() != ReadyState::kClosed) {
    const std::string_view unread = std::string_view(readBuffer_).substr(readBufferOffset_);
    size_t consumed = 0;
    if (readPhase_ == ReadPhase::kHeader) {
      consumed = consumeResponseHeader(unread);
    } else if (readPhase_ == ReadPhase::kFrames) {
      consumed = feedFrames(unread);
    }
    if (consumed == 0) break;
    readBufferOffset_ += consumed;
    compact(readBuffer_, readBufferOffset_);
  }
  if (readPhase_ == ReadPhase::kStopped) {
    readBuffer_.clear();
    readBufferOffset_ = 0;
  }
  isPumping_ = false;
}

void WebSocket::writeData(std::string_view bytes) {
  if (closeWhenFinishedWriting_) return;
  outputBuffer_.append(bytes);
  pumpWriting();
}

void WebSocket::sendFrame(Opcode opcode, std::string_view payload) {
  // Nothing may follow our close frame on the wire.
  if (closeWhenFinishedWriting_ || sentClose_) return;
  try {
    appendFrame(outputBuffer_, opcode, payload);
  } catch (const std::bad_alloc&) {
    return startClosing(kCloseMessageTooBig, kMessageTooBigReason);
  }
  pumpWriting();
}

void WebSocket::pumpWriting() {
  auto& output = *streams_.output;
  while (outputBufferOffset_ < outputBuffer_.size() && output.hasSpaceAvailable()) {
    const ssize_t written =
        output.write(reinterpret_cast<const uint8_t*>(outputBuffer_.data()) + outputBufferOffset_,
                     outputBuffer_.size() - outputBufferOffset_);
    if (written < 0) {
      return failWithError(
          std::make_shared<Error>(kStreamErrorDomain, kWriteErrorCode, kWriteError));
    }
    if (written == 0) break;
    outputBufferOffset_ += static_cast<size_t>(written);
  }
  compact(outputBuffer_, outputBufferOffset_);
  if (closeWhenFinishedWriting_ && outputBufferOffset_ == outputBuffer_.size() && !closeReported_) {
    finishClosing();
  }
}

// --- Closing and failing -----------------------------------------------------------------------

void WebSocket::startClosing(int code, const std::string& reason) {
  const ReadyState state = readyState();
  if (state >= ReadyState::kClosing) return;
  setState(ReadyState::kClosing);
  if (state == ReadyState::kConnecting) return disconnect();
  sendFrame(Opcode::kClose, closePayload(code, reason));
  sentClose_ = true;
  // Now wait for the server's close frame; the time-out bounds the wait.
  armCloseTimeout();
}

void WebSocket::closeWithProtocolError(int code, std::string reason) {
  readPhase_ = ReadPhase::kStopped;
  if (readyState() == ReadyState::kOpen) {
    setState(ReadyState::kClosing);
    sendFrame(Opcode::kClose, closePayload(code, reason));
    sentClose_ = true;
  }
  if (!receivedClose_) {
    closeCode_ = code;
    closeReason_ = std::move(reason);
  }
  // A server that broke the protocol is not waited for.
  disconnect();
}

void WebSocket::handleServerClose(int code, std::string reason) {
  receivedClose_ = true;
  closeCode_ = code;
  closeReason_ = std::move(reason);
  readPhase_ = ReadPhase::kStopped;
  if (readyState() == ReadyState::kOpen) {
    setState(ReadyState::kClosing);
    sendFrame(Opcode::kClose, closePayload(kCloseNormal, {}));
    sentClose_ = true;
  }
  disconnect();
}

void WebSocket::disconnect() {
  if (!closeWhenFinishedWriting_) armCloseTimeout();
  closeWhenFinishedWriting_ = true;
  pumpWriting();
}

void WebSocket::armCloseTimeout() {
  if (closeTimeout_) return;
  std::weak_ptr<WebSocket> weak = weak_from_this();
  closeTimeout_ = limits_.scheduler->schedule(limits_.closeTimeout, workQueue_, [weak] {
    auto self = weak.lock();
    if (!self) return;
    GateHold hold(*self->workGate_);
    if (self->closeReported_ || self->failed_) return;
    if (!self->receivedClose_ && self->closeCode_ == 0) {
      self->closeCode_ = kCloseAbnormal;
      self->closeReason_ = kCloseTimedOut;
    }
    self->finishClosing();
  });
}

// Closes the streams and reports the close once.
void WebSocket::finishClosing() {
  if (closeReported_) return;
  closeReported_ = true;
  if (closeTimeout_) closeTimeout_->cancel();
  {
    platform::MutexLock lock(lock_);
    streams_.input->close();
    streams_.output->close();
  }
  setState(ReadyState::kClosed);
  if (!failed_) {
    const bool wasClean = sentClose_ && receivedClose_;
    performDelegate([code = closeCode_, reason = closeReason_, wasClean](
                        WebSocketDelegate& delegate, WebSocket& socket) {
      delegate.didClose(socket, code, reason, wasClean);
    });
  }
  scheduleCleanup();
}

void WebSocket::failWithError(ErrorPtr error) {
  if (readyState() == ReadyState::kClosed) return;
  failed_ = true;
  readPhase_ = ReadPhase::kStopped;
  setState(ReadyState::kClosed);
  performDelegate([error = std::move(error)](WebSocketDelegate& delegate, WebSocket& socket) {
    delegate.didFail(socket, error);
  });
  closeWhenFinishedWriting_ = true;
  finishClosing();
}

void WebSocket::scheduleCleanup() {
  platform::MutexLock lock(lock_);
  if (cleanupScheduled_) return;
  cleanupScheduled_ = true;
  auto self = shared_from_this();
  auto cleanUp = [self] {
    {
      platform::MutexLock lock(self->lock_);
      self->streams_.input->setDelegate({});
      self->streams_.output->setDelegate({});
      self->streams_.input->close();
      self->streams_.output->close();
    }
    self->postWork([self] {
      platform::MutexLock lock(self->lock_);
      self->selfRetain_.reset();
    });
  };
  if (runLoop_) {
    runLoop_->post(std::move(cleanUp));
  } else {
    cleanUp();
  }
}

bool WebSocket::setState(ReadyState state) {
  ReadyState current = readyState_.load();
  // The state only moves forward.
  while (current < state) {
    if (readyState_.compare_exchange_weak(current, state)) return true;
  }
  return false;
}

size_t WebSocket::batchBytes() {
  platform::MutexLock lock(batchMutex_);
  return batchBytes_;
}

void WebSocket::onWorkQueue(std::function<void(WebSocket&)> work) {
  if (!readingOnEventThread_) return work(*this);
  postWork([self = shared_from_this(), work = std::move(work)] { work(*self); });
}

void WebSocket::failOnWorkQueue(ErrorPtr error) {
  onWorkQueue([error = std::move(error)](WebSocket& socket) {
    socket.assertGated();
    socket.failWithError(error);
  });
}

void WebSocket::deliverMessage(Message message) {
  platform::MutexLock lock(batchMutex_);
  // While closing, data is read only to reach the server's close frame. Checked under the batch
  // lock, which the close and failure reports also take after the state has moved on: no message
  // follows them.
  if (readyState() != ReadyState::kOpen) return;
  batchBytes_ += message.data.size();
  addDelegateCallLocked(std::move(message));
}

void WebSocket::performDelegate(DelegateCall call) {
  platform::MutexLock lock(batchMutex_);
  addDelegateCallLocked(std::move(call));
}

void WebSocket::addDelegateCallLocked(PendingCall call) {
  if (batching_) {
    batch_.push_back(std::move(call));
    return;
  }
  std::vector<PendingCall> one;
  one.push_back(std::move(call));
  dispatchToDelegate(std::move(one));
}

void WebSocket::beginDelegateBatch() {
  platform::MutexLock lock(batchMutex_);
  batching_ = true;
}

// The calls of one batch run in one task of the delegate queue, in order.
void WebSocket::endDelegateBatch() {
  platform::MutexLock lock(batchMutex_);
  batching_ = false;
  batchBytes_ = 0;
  if (!batch_.empty()) dispatchToDelegate(std::exchange(batch_, {}));
}

void WebSocket::flushDelegateBatch() {
  platform::MutexLock lock(batchMutex_);
  batchBytes_ = 0;
  if (!batch_.empty()) dispatchToDelegate(std::exchange(batch_, {}));
}

void WebSocket::enqueueForDelegate(std::function<void()> task) {
  platform::DispatchQueuePtr queue;
  platform::OperationQueuePtr operations;
  {
    platform::MutexLock lock(lock_);
    queue = delegateQueue_;
    operations = delegateOperationQueue_;
  }
  if (operations) {
    operations->addOperation(std::move(task));
  } else {
    queue->async(std::move(task));
  }
}

void WebSocket::dispatchToDelegate(std::vector<PendingCall> calls) {
  std::weak_ptr<WebSocketDelegate> delegate;
  {
    platform::MutexLock lock(lock_);
    delegate = delegate_;
  }
  enqueueForDelegate([self = shared_from_this(), delegate, calls = std::move(calls)]() mutable {
    std::vector<std::string> spent;
    for (auto& call : calls) {
      auto target = delegate.lock();
      if (auto* message = std::get_if<Message>(&call)) {
        if (target) target->didReceiveMessage(*self, *message);
        spent.push_back(std::move(message->data));
      } else if (target) {
        std::get<DelegateCall>(call)(*target, *self);
      }
    }
    // Delivered messages leave their buffers for the next ones.
    self->bufferPool_->give(std::move(spent));
  });
}

}  // namespace dz::websocket
