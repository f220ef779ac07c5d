// WebSocket: the client side of RFC 6455 (version 13) over the platform's socket streams, as the
// database's WebSocket session uses it: create with a request, open, send text or binary
// messages, close with a status code, and hear of the opening, every message, a failure or the
// close through a delegate. Protocol work runs on a private serial queue per socket, except that a
// message sent while that queue has nothing to do is written on the sender's thread; the streams
// deliver their events on the process-wide network thread, which, once the socket is open, also
// reads and checks the frames; delegate calls run in order on the delegate operation queue when
// one is set, else on the delegate dispatch queue (the main queue unless another is given).
// Public methods may be called from any thread. Held by std::shared_ptr; from open() until it has
// closed, the socket keeps itself alive, so its user may drop it at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "database/websocket/frame_format.h"
#include "database/websocket/frame_reader.h"
#include "database/websocket/handshake.h"
#include "database/websocket/message_buffer_pool.h"
#include "database/websocket/url.h"
#include "platform/dispatch_queue.h"
#include "platform/error.h"
#include "platform/operation_queue.h"
#include "platform/scheduler.h"
#include "platform/socket_stream.h"
#include "platform/thread_annotations.h"

namespace dz::websocket {

enum class ReadyState : uint32_t { kConnecting = 0, kOpen = 1, kClosing = 2, kClosed = 3 };

struct URLRequest {
  std::string url;  // ws, wss, http or https
  // Sent with the handshake; each replaces a field of the same name the socket would send.
  HeaderFields headerFields;
  // DER certificates. When any are given they are the only trust anchors of the server's chain
  // (or the server's leaf carries one of their keys); the host name is checked all the same.
  std::vector<std::string> pinnedCertificates;
  // A PEM file of extra trust anchors beside the system store (a local development server).
  std::string caFile;
};

// Explicit, configurable limits; the defaults suit the database connection.
struct Limits {
  uint64_t maxMessageBytes = kDefaultMaxMessageBytes;
  size_t maxResponseHeaderBytes = kDefaultMaxResponseHeaderBytes;
  // How long a closing socket waits for the server's close frame and for its output to drain.
  platform::Duration closeTimeout = std::chrono::seconds(10);
  // Measures the close time-out; the system scheduler when null.
  std::shared_ptr<platform::Scheduler> scheduler;
};

struct Message {
  enum class Kind { kText, kBinary };
  Kind kind;
  std::string data;  // UTF-8 for text
};

class WebSocket;

class WebSocketDelegate {
 public:
  virtual ~WebSocketDelegate() = default;
  // The delegate may keep the message's data by moving it out; what it leaves is reused.
  virtual void didReceiveMessage(WebSocket& socket, Message& message) = 0;
  virtual void didOpen(WebSocket&) {}
  // The socket failed (handshake, TLS, pinning, transport); no close report follows.
  virtual void didFail(WebSocket&, const ErrorPtr&) {}
  // `wasClean`: both close frames were exchanged.
  virtual void didClose(WebSocket&, int /*code*/, const std::string& /*reason*/,
                        bool /*wasClean*/) {}
  virtual void didReceivePong(WebSocket&, const std::string& /*payload*/) {}
};

class WebSocket : public std::enable_shared_from_this<WebSocket>, public platform::StreamDelegate {
 public:
  // Throws dz::Exception kInvalidArgumentException for a URL that is not ws, wss, http or https.
  static std::shared_ptr<WebSocket> create(
      URLRequest request, std::optional<std::vector<std::string>> protocols = std::nullopt,
      platform::DispatchQueuePtr delegateQueue = nullptr,
      std::optional<std::string> userAgent = std::nullopt, Limits limits = {});

  WebSocket(const WebSocket&) = delete;
  WebSocket& operator=(const WebSocket&) = delete;
  ~WebSocket() override;

  // Connects: TLS when secure, then the handshake. Throws kInternalInconsistencyException once
  // the socket has left the connecting state.
  void open();
  // A text message (UTF-8) and a binary message, written in the order of the calls made on the
  // socket. Throw kInternalInconsistencyException while the socket is connecting; after closing
  // has begun they are dropped.
  void send(std::string text);
  void sendData(std::string data);
  // A ping with up to 125 bytes of payload (longer throws kInvalidArgumentException).
  void sendPing(std::string payload = {});
  // Starts the closing handshake with 1000 and no reason.
  void close();
  // Starts the closing handshake with `code` (one a client may send: 1000-1003, 1007-1011,
  // 3000-4999, else kInvalidArgumentException) and `reason`, cut to 123 bytes.
  void close(int code, std::string reason);

  ReadyState readyState() const { return readyState_.load(); }
  // The subprotocol the server chose, once open.
  std::optional<std::string> protocol() const;
  const Url& url() const { return url_; }

  void setDelegate(std::weak_ptr<WebSocketDelegate> delegate);
  // The dispatch queue of delegate calls; null keeps the current one.
  void setDelegateQueue(platform::DispatchQueuePtr queue);
  // When set (not null), delegate calls go to this queue instead of the dispatch queue; they
  // stay in order when it runs one operation at a time.
  void setDelegateOperationQueue(platform::OperationQueuePtr queue);
  // The run loops the streams are scheduled on; with none left at open(), the network thread's.
  // This platform's streams run on one run loop, the last one scheduled, and are placed at
  // open(): calls after it change nothing.
  void scheduleInRunLoop(platform::RunLoop& runLoop);
  void unscheduleFromRunLoop(platform::RunLoop& runLoop);

 private:
  WebSocket(URLRequest request, Url url, std::optional<std::vector<std::string>> protocols,
            platform::DispatchQueuePtr delegateQueue, std::optional<std::string> userAgent,
            Limits limits);
  class Reader;
  friend class Reader;

  // Keeps the socket's work serial while some of it runs on the caller's thread: every piece of
  // work holds `lock` while it runs, and `queued` counts the work queue's tasks not yet finished,
  // so that work run in place never overtakes work queued before it.
  struct WorkGate {
    platform::Mutex lock;
    std::atomic<size_t> queued{0};
    // The thread holding `lock`, for assertGated.
    std::atomic<std::thread::id> holder{};
  };
  // Holds a WorkGate's lock for its scope and marks the thread as its holder.
  class GateHold;
  // Said at the top of work that postWork runs (which holds the gate meanwhile), or that runs in
  // place on the work queue's reads: the analysis cannot follow a function through a queue. In
  // sanitizer builds it aborts when the calling thread does not hold the gate.
  void assertGated() const DZ_ASSERT_CAPABILITY(workGate_->lock);

  void handleStreamEvent(platform::Stream& stream, platform::StreamEvent event) override;
  bool pinningRefuses(platform::StreamEvent event);
  void safeHandleEvent(bool isInput, platform::StreamEvent event) DZ_REQUIRES(workGate_->lock);
  void readAvailableBytes() DZ_REQUIRES(readLock_);
  void handleEnd() DZ_REQUIRES(readLock_, workGate_->lock);

  void startHandshake() DZ_REQUIRES(readLock_, workGate_->lock);
  size_t consumeResponseHeader(std::string_view bytes) DZ_REQUIRES(readLock_);
  void pumpReading() DZ_REQUIRES(readLock_);
  void pumpWriting() DZ_REQUIRES(workGate_->lock);
  void writeData(std::string_view bytes) DZ_REQUIRES(workGate_->lock);
  void sendFrame(Opcode opcode, std::string_view payload) DZ_REQUIRES(workGate_->lock);
  void sendMessage(Opcode opcode, std::string payload);
  // Queues work for the work queue, behind the work already there.
  void postWork(std::function<void()> work);

  void startClosing(int code, const std::string& reason) DZ_REQUIRES(workGate_->lock);
  void closeWithProtocolError(int code, std::string reason) DZ_REQUIRES(workGate_->lock);
  void handleServerClose(int code, std::string reason) DZ_REQUIRES(workGate_->lock);
  void disconnect() DZ_REQUIRES(workGate_->lock);
  void armCloseTimeout() DZ_REQUIRES(workGate_->lock);
  void finishClosing() DZ_REQUIRES(workGate_->lock);
  void failWithError(ErrorPtr error) DZ_REQUIRES(workGate_->lock);
  void scheduleCleanup();
  bool setState(ReadyState state);
  using DelegateCall = std::function<void(WebSocketDelegate&, WebSocket&)>;
  // Messages, the bulk of the calls, go as they are: no wrapper to allocate for each.
  using PendingCall = std::variant<Message, DelegateCall>;
  void performDelegate(DelegateCall call);
  void deliverMessage(Message message);
  void addDelegateCallLocked(PendingCall call) DZ_REQUIRES(batchMutex_);
  void beginDelegateBatch();
  void endDelegateBatch();
  void flushDelegateBatch();
  size_t batchBytes();
  // Runs `work` now on the work queue, or posts it there from the stream events' thread.
  void onWorkQueue(std::function<void(WebSocket&)> work) DZ_REQUIRES(readLock_);
  void failOnWorkQueue(ErrorPtr error) DZ_REQUIRES(readLock_);
  void dispatchToDelegate(std::vector<PendingCall> calls);
  // Runs `task` on the delegate operation queue, or else the delegate dispatch queue.
  void enqueueForDelegate(std::function<void()> task);
  size_t feedFrames(std::string_view bytes) DZ_REQUIRES(readLock_);

  const URLRequest request_;
  const Url url_;
  const std::optional<std::vector<std::string>> requestedProtocols_;
  const std::optional<std::string> userAgent_;
  const Limits limits_;
  const platform::DispatchQueuePtr workQueue_;
  // Shared with queued work, which may outlive the socket.
  const std::shared_ptr<WorkGate> workGate_;
  // Shared with delegate calls still queued, which give their message's buffer back.
  const std::shared_ptr<MessageBufferPool> bufferPool_;
  std::atomic<ReadyState> readyState_{ReadyState::kConnecting};

  // Guards the delegate, its queue, the chosen protocol, the streams' closing and clean-up.
  mutable platform::Mutex lock_;
  std::weak_ptr<WebSocketDelegate> delegate_ DZ_GUARDED_BY(lock_);
  platform::DispatchQueuePtr delegateQueue_ DZ_GUARDED_BY(lock_);
  platform::OperationQueuePtr delegateOperationQueue_ DZ_GUARDED_BY(lock_);
  std::optional<std::string> protocol_ DZ_GUARDED_BY(lock_);
  std::shared_ptr<WebSocket> selfRetain_ DZ_GUARDED_BY(lock_);
  bool cleanupScheduled_ DZ_GUARDED_BY(lock_) = false;
  std::vector<platform::RunLoop*> scheduledRunLoops_ DZ_GUARDED_BY(lock_);
  // Where the streams run, from open().
  platform::RunLoop* runLoop_ DZ_GUARDED_BY(lock_) = nullptr;
  // Made by the constructor and never replaced; lock_ orders their closing.
  platform::StreamPair streams_;

  // Network thread only.
  bool pinChecked_ = false;
  bool pinPassed_ = false;

  // The reading state, under readLock_: until the handshake completes the work queue reads;
  // after it the streams' event thread reads and checks frames itself, and hands protocol
  // events (close, errors) to the work queue.
  platform::Mutex readLock_;
  std::atomic<bool> readsOnEventThread_{false};
  bool readingOnEventThread_ DZ_GUARDED_BY(readLock_) = false;
  std::string secKey_ DZ_GUARDED_BY(readLock_);
  std::string responseHeader_ DZ_GUARDED_BY(readLock_);
  enum class ReadPhase { kIdle, kHeader, kFrames, kStopped };
  std::atomic<ReadPhase> readPhase_{ReadPhase::kIdle};
  std::unique_ptr<Reader> reader_ DZ_PT_GUARDED_BY(readLock_);
  std::string readBuffer_ DZ_GUARDED_BY(readLock_);
  size_t readBufferOffset_ DZ_GUARDED_BY(readLock_) = 0;
  bool isPumping_ DZ_GUARDED_BY(readLock_) = false;

  // Work queue only, or work run in place on a caller's thread while it holds workGate_.
  std::string outputBuffer_ DZ_GUARDED_BY(workGate_->lock);
  size_t outputBufferOffset_ DZ_GUARDED_BY(workGate_->lock) = 0;
  bool closeWhenFinishedWriting_ DZ_GUARDED_BY(workGate_->lock) = false;
  bool sentClose_ DZ_GUARDED_BY(workGate_->lock) = false;
  bool receivedClose_ DZ_GUARDED_BY(workGate_->lock) = false;
  bool closeReported_ DZ_GUARDED_BY(workGate_->lock) = false;
  bool failed_ DZ_GUARDED_BY(workGate_->lock) = false;
  int closeCode_ DZ_GUARDED_BY(workGate_->lock) = 0;
  std::string closeReason_ DZ_GUARDED_BY(workGate_->lock);
  platform::CancellablePtr closeTimeout_ DZ_GUARDED_BY(workGate_->lock);
  // Delegate calls issued while one read is handled go out together, in one task. Guarded by
  // batchMutex_ (taken before lock_), as both the reading thread and the work queue add calls.
  platform::Mutex batchMutex_;
  bool batching_ DZ_GUARDED_BY(batchMutex_) = false;
  std::vector<PendingCall> batch_ DZ_GUARDED_BY(batchMutex_);
  size_t batchBytes_ DZ_GUARDED_BY(batchMutex_) = 0;
};

}  // namespace dz::websocket
