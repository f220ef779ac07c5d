#include "platform/socket_stream.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "platform/tls_client.h"

namespace dz::platform {
namespace {

constexpr char kSettingsCaFile[] = "the TLS settings' CA file";

// Connections open and close on a thread that never stops, so one may be in the middle of a
// handshake while the process exits: OpenSSL must not free its state in an exit handler. Only the
// first initialisation decides, hence before main.
[[maybe_unused]] const bool openSslKeptAtExit =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

ErrorPtr posixError(int code, const std::string& what) {
  return std::make_shared<Error>(kSocketErrorDomain, code, what + ": " + std::strerror(code));
}

// `caProblem`: why a CA file gave no trust anchors, which may be why verification failed;
// `answerNote`: what the server's answer to the hello says of any other failure in a handshake.
ErrorPtr tlsError(SSL* ssl, const std::string& caProblem = {}, std::string_view answerNote = {}) {
  const long verify = ssl ? SSL_get_verify_result(ssl) : X509_V_OK;
  if (verify != X509_V_OK) {
    std::string description =
        std::string("certificate verification failed: ") + X509_verify_cert_error_string(verify);
    if (!caProblem.empty()) description += " (" + caProblem + ")";
    return std::make_shared<Error>(kTlsErrorDomain, verify, std::move(description));
  }
  const unsigned long code = ERR_get_error();
  char text[256] = "TLS failure";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return std::make_shared<Error>(kTlsErrorDomain, static_cast<int64_t>(ERR_GET_REASON(code)),
                                 text + std::string(answerNote));
}

// OpenSSL's message callback while a connection is set up; `answer` is the connection's.
void watchHelloAnswer(int written, int, int contentType, const void* bytes, size_t length, SSL*,
                      void* answer) {
  noteHelloAnswer(*static_cast<std::atomic<HelloAnswer>*>(answer), written, contentType, bytes,
                  length);
}

// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE on a peer that has gone;
// this one sends with MSG_NOSIGNAL.
int fdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int bioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t sent = ::send(fdOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t received = ::recv(fdOf(bio), data, static_cast<size_t>(size), 0);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(received);
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* socketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "dz socket");
    BIO_meth_set_write(m, bioWrite);
    BIO_meth_set_read(m, bioRead);
    BIO_meth_set_ctrl(m, bioControl);
    BIO_meth_set_create(m, bioCreate);
    return m;
  }();
  return method;
}

// What identifies a file's contents cheaply: a CA file rewritten in place (a server started
// again with a new authority) must not be answered from an old context.
std::string fileStamp(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return {};
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
         std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
         std::to_string(info.st_mtim.tv_nsec);
}

// TLS sessions the servers handed out, by trust configuration, host and port, so that a
// reconnect resumes instead of doing the whole handshake again. Never destroyed: connections
// may still handshake while the process exits.
class SessionCache {
 public:
  static SessionCache& shared() {
    static auto* cache = new SessionCache;
    return *cache;
  }

  // Takes over the caller's reference.
  void store(const std::string& key, SSL_SESSION* session) {
    std::lock_guard lock(mutex_);
    if (sessions_.size() >= kMaxSessions && !sessions_.count(key)) clearLocked();
    SSL_SESSION*& slot = sessions_[key];
    if (slot) SSL_SESSION_free(slot);
    slot = session;
  }

  // Hands the session to one connection only: the library changes a session as its connection
  // resumes it, so connections sharing one race (and a TLS 1.3 session is for one resumption
  // anyway). The connection stores the session its server hands out next; a session whose
  // resumption fails is thus gone and cannot fail the next attempt as well.
  void offerOnce(const std::string& key, SSL* ssl) {
    std::lock_guard lock(mutex_);
    if (auto it = sessions_.find(key); it != sessions_.end()) {
      SSL_set_session(ssl, it->second);
      SSL_SESSION_free(it->second);
      sessions_.erase(it);
    }
  }

 private:
  static constexpr size_t kMaxSessions = 1024;
  void clearLocked() {
    for (auto& [key, session] : sessions_) SSL_SESSION_free(session);
    sessions_.clear();
  }
  std::mutex mutex_;
  std::unordered_map<std::string, SSL_SESSION*> sessions_;
};

// Each connection's SSL carries the key its sessions are kept under.
int sessionKeyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int onNewSession(SSL* ssl, SSL_SESSION* session) {
  const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, sessionKeyIndex()));
  if (!key || !SSL_SESSION_is_resumable(session)) return 0;
  // A copy of our own: the connection goes on changing its session (each later ticket), and the
  // connection that resumes the copy must not share an object with it.
  if (SSL_SESSION* copy = SSL_SESSION_dup(session)) SessionCache::shared().store(*key, copy);
  return 0;
}

// One client context per trust configuration: loading the system trust store is most of what a
// fresh context costs. Contexts are reference counted, so one replaced here stays alive for the
// connections still using it. Never destroyed, as above.
class ContextCache {
 public:
  static ContextCache& shared() {
    static auto* cache = new ContextCache;
    return *cache;
  }

  // A new reference to the context for `settings` (with the environment's CA file), or null
  // when it cannot be made (a CA file of the settings that does not load); `key` names the
  // configuration, `caProblem` why a CA file gave no trust anchors.
  SSL_CTX* context(const TlsSettings& settings, std::string& key, std::string& caProblem) {
    const std::string extraCa = environmentCaFile();
    key = std::string(settings.validatesCertificateChain ? "verify\n" : "none\n") +
          settings.caFile + "\n" + extraCa;
    const std::string stamp = settings.validatesCertificateChain
                                  ? fileStamp(settings.caFile) + "\n" + fileStamp(extraCa)
                                  : std::string();
    std::lock_guard lock(mutex_);
    Entry& entry = contexts_[key];
    if (!entry.context || entry.stamp != stamp) {
      SSL_CTX* fresh = make(settings, extraCa, caProblem);
      if (!fresh) return nullptr;
      if (entry.context) SSL_CTX_free(entry.context);
      entry.context = fresh;
      entry.stamp = stamp;
      entry.caProblem = caProblem;
    }
    caProblem = entry.caProblem;
    SSL_CTX_up_ref(entry.context);
    return entry.context;
  }

 private:
  struct Entry {
    SSL_CTX* context = nullptr;
    std::string stamp;
    std::string caProblem;
  };

  static SSL_CTX* make(const TlsSettings& settings, const std::string& extraCa,
                       std::string& caProblem) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, onNewSession);
    if (settings.validatesCertificateChain) {
      SSL_CTX_set_default_verify_paths(context);
      if (!settings.caFile.empty()) {
        caProblem = addCaFile(context, settings.caFile, kSettingsCaFile);
        if (!caProblem.empty()) {
          SSL_CTX_free(context);
          return nullptr;
        }
      }
      // An environment's file that does not load is no reason to refuse the system's anchors.
      if (!extraCa.empty()) caProblem = addCaFile(context, extraCa, kCaFileEnvironment);
      ERR_clear_error();
      SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    } else {
      SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    }
    return context;
  }

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> contexts_;
};

}  // namespace

struct Stream::Connection : std::enable_shared_from_this<Connection> {
  enum class Phase { kIdle, kResolving, kConnecting, kHandshaking, kOpen, kClosed };
  struct Side {
    std::weak_ptr<Stream> stream;
    std::weak_ptr<StreamDelegate> delegate;
    bool openRequested = false;
    bool closed = false;
  };
  using Events = std::vector<std::pair<bool, StreamEvent>>;  // (input side?, event)

  Connection(std::string host, uint16_t port) : host(std::move(host)), port(port) {}
  ~Connection() { releaseSocket(); }

  const std::string host;
  const uint16_t port;
  mutable std::mutex mutex;
  Phase phase = Phase::kIdle;
  std::optional<TlsSettings> tls;
  RunLoop* runLoop = nullptr;
  Side input, output;
  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  std::string sessionKey;
  std::string caProblem;
  std::atomic<HelloAnswer> helloAnswer = HelloAnswer::kNone;
  std::vector<SocketAddress> addresses;
  size_t nextAddress = 0;
  ErrorPtr error;
  bool atEnd = false;
  bool writable = false;
  // Interest in epoll; set by the loop's handler and by read() and write() under the mutex.
  // wantRead: the reader waits, wantWrite: the writer waits. TLS may need the other direction
  // first (a write in a renegotiation waits for the peer's answer), hence the crossed flags.
  bool wantRead = false;
  bool wantWrite = false;
  bool readerNeedsWritable = false;
  bool writerNeedsReadable = false;
  bool registered = false;
  bool readRearmPosted = false;

  Side& side(bool isInput) { return isInput ? input : output; }

  // --- Run-loop side -------------------------------------------------------------------------

  void post(std::function<void(Connection&, Events&)> work) {
    if (!runLoop) return;
    runLoop->post([self = shared_from_this(), work = std::move(work)] {
      Events events;
      {
        std::lock_guard lock(self->mutex);
        work(*self, events);
      }
      self->deliver(events);
    });
  }

  void deliver(const Events& events) {
    for (const auto& [isInput, event] : events) {
      std::shared_ptr<Stream> stream;
      std::shared_ptr<StreamDelegate> delegate;
      {
        std::lock_guard lock(mutex);
        Side& s = side(isInput);
        if (s.closed || !s.openRequested) continue;
        stream = s.stream.lock();
        delegate = s.delegate.lock();
      }
      if (stream && delegate) delegate->handleStreamEvent(*stream, event);
    }
  }

  void startIfReady() {
    if (phase != Phase::kIdle || !runLoop || !(input.openRequested || output.openRequested)) {
      return;
    }
    phase = Phase::kResolving;
    Resolver::resolveAsync(
        host, port,
        [self = shared_from_this()](std::vector<SocketAddress> found, ErrorPtr lookUpError) {
          self->post(
              [found = std::move(found), lookUpError](Connection& c, Events& events) mutable {
                c.onResolved(std::move(found), lookUpError, events);
              });
        });
  }

  void onResolved(std::vector<SocketAddress> found, ErrorPtr lookUpError, Events& events) {
    if (phase != Phase::kResolving) return;
    if (found.empty()) {
      return fail(lookUpError ? std::move(lookUpError)
                              : std::make_shared<Error>(kResolverErrorDomain, 0, host),
                  events);
    }
    addresses = std::move(found);
    connectNext(events);
  }

  // Every source is one-shot: after an event the kernel reports nothing (not even a hang-up) until
  // the interest is set again, so an fd whose reader is busy elsewhere cannot spin the loop.
  // With nothing wanted the source is left as it is: should it fire once more, the handler finds
  // nothing wanted and does not set it again.
  void applyInterest() {
    if (!runLoop || fd < 0 || !(wantRead || wantWrite)) return;
    const bool in = (wantRead && !readerNeedsWritable) || (wantWrite && writerNeedsReadable);
    const bool out = (wantWrite && !writerNeedsReadable) || (wantRead && readerNeedsWritable);
    const uint32_t mask =
        (in ? EPOLLIN : 0u) | (out ? EPOLLOUT : 0u) | static_cast<uint32_t>(EPOLLONESHOT);
    if (!registered) {
      std::weak_ptr<Connection> weak = weak_from_this();
      runLoop->addFd(fd, mask, [weak](uint32_t events) {
        if (auto self = weak.lock()) self->onFdEvent(events);
      });
      registered = true;
    } else {
      runLoop->modifyFd(fd, mask);
    }
  }

  void unregister() {
    if (runLoop && registered && fd >= 0) runLoop->removeFd(fd);
    registered = false;
  }

  void connectNext(Events& events) {
    ErrorPtr lastError = posixError(ECONNREFUSED, "cannot connect to " + host);
    while (nextAddress < addresses.size()) {
      const SocketAddress& address = addresses[nextAddress++];
      fd = ::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        lastError = posixError(errno, "cannot make a socket");
        continue;
      }
      // The frames of one message leave as separate writes; holding a small one back until the
      // peer acknowledges the last (against its delayed acknowledgement) costs tens of ms each.
      int noDelay = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
      if (::connect(fd, address.address(), address.length) == 0) return onConnected(events);
      if (errno == EINPROGRESS) {
        phase = Phase::kConnecting;
        wantWrite = true;
        applyInterest();
        return;
      }
      lastError = posixError(errno, "cannot connect to " + host);
      releaseSocket();
    }
    fail(lastError, events);
  }

  void onFdEvent(uint32_t epollEvents) {
    Events events;
    {
      std::lock_guard lock(mutex);
      switch (phase) {
        case Phase::kConnecting:
          onConnectEvent(events);
          break;
        case Phase::kHandshaking:
          continueHandshake(events);
          break;
        case Phase::kOpen: {
          const bool readable = epollEvents & (EPOLLIN | EPOLLHUP | EPOLLERR);
          const bool canWrite = epollEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR);
          if (wantRead && (readerNeedsWritable ? canWrite : readable)) {
            wantRead = false;
            events.emplace_back(true, StreamEvent::kHasBytesAvailable);
          }
          if (wantWrite && (writerNeedsReadable ? readable : canWrite)) {
            wantWrite = false;
            writable = true;
            events.emplace_back(false, StreamEvent::kHasSpaceAvailable);
          }
          applyInterest();
          break;
        }
        default:
          wantRead = wantWrite = false;
          applyInterest();
          break;
      }
    }
    deliver(events);
  }

  void onConnectEvent(Events& events) {
    int socketError = 0;
    socklen_t length = sizeof socketError;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &socketError, &length);
    if (socketError == EINPROGRESS) return applyInterest();
    wantWrite = false;
    if (socketError != 0) {
      unregister();
      releaseSocket();
      if (nextAddress < addresses.size()) return connectNext(events);
      return fail(posixError(socketError, "cannot connect to " + host), events);
    }
    onConnected(events);
  }

  void onConnected(Events& events) {
    if (!tls) return becomeOpen(events);
    if (ErrorPtr failure = setUpTls()) return fail(std::move(failure), events);
    phase = Phase::kHandshaking;
    continueHandshake(events);
  }

  // Null once the connection's TLS is ready to handshake.
  ErrorPtr setUpTls() {
    std::string configuration;
    context = ContextCache::shared().context(*tls, configuration, caProblem);
    if (!context && !caProblem.empty()) {
      return std::make_shared<Error>(kTlsErrorDomain, 0, caProblem);
    }
    if (!context) return tlsError(nullptr);
    ssl = SSL_new(context);
    if (!ssl) return tlsError(nullptr);
    BIO* bio = BIO_new(socketBioMethod());
    if (!bio) return tlsError(nullptr);
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const bool ipLiteral = Resolver::isNumericAddress(host);
    if (!ipLiteral) SSL_set_tlsext_host_name(ssl, host.c_str());
    if (tls->validatesCertificateChain) {
      X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl);
      const int ok = ipLiteral ? X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str())
                               : X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), 0);
      if (ok != 1) return tlsError(nullptr);
    }
    sessionKey = configuration + "\n" + host + ":" + std::to_string(port);
    SSL_set_ex_data(ssl, sessionKeyIndex(), &sessionKey);
    SessionCache::shared().offerOnce(sessionKey, ssl);
    helloAnswer = HelloAnswer::kNone;
    SSL_set_msg_callback(ssl, watchHelloAnswer);
    SSL_set_msg_callback_arg(ssl, &helloAnswer);
    SSL_set_connect_state(ssl);
    return nullptr;
  }

  void continueHandshake(Events& events) {
    ERR_clear_error();
    errno = 0;  // tells a reset from a close below
    const int result = SSL_connect(ssl);
    if (result == 1) {
      SSL_set_msg_callback(ssl, nullptr);  // the server has answered; no need to watch further
      return becomeOpen(events);
    }
    const int reason = SSL_get_error(ssl, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      wantRead = reason == SSL_ERROR_WANT_READ;
      wantWrite = reason == SSL_ERROR_WANT_WRITE;
      applyInterest();
      return;
    }
    const std::string_view answerNote = helloAnswerNote(helloAnswer);
    if (reason == SSL_ERROR_SYSCALL && SSL_get_verify_result(ssl) == X509_V_OK &&
        (errno != 0 || ERR_peek_error() == 0)) {
      return fail(endedHandshake(errno, answerNote), events);
    }
    fail(tlsError(ssl, caProblem, answerNote), events);
  }

  // The peer reset (`code`) or closed (0) the connection in the handshake, with no alert.
  ErrorPtr endedHandshake(int code, std::string_view answerNote) const {
    std::string description = "TLS handshake with " + host + ":" + std::to_string(port) + ": " +
                              (code ? std::strerror(code) : "the server closed the connection");
    description += answerNote;
    if (code) return std::make_shared<Error>(kSocketErrorDomain, code, std::move(description));
    return std::make_shared<Error>(kTlsErrorDomain, 0, std::move(description));
  }

  void becomeOpen(Events& events) {
    phase = Phase::kOpen;
    writable = true;
    wantRead = true;
    wantWrite = false;
    applyInterest();
    events.emplace_back(false, StreamEvent::kOpenCompleted);
    events.emplace_back(true, StreamEvent::kOpenCompleted);
    events.emplace_back(false, StreamEvent::kHasSpaceAvailable);
  }

  void fail(ErrorPtr failure, Events& events) {
    if (error || phase == Phase::kClosed) return;
    error = std::move(failure);
    wantRead = wantWrite = false;
    applyInterest();
    events.emplace_back(true, StreamEvent::kErrorOccurred);
    events.emplace_back(false, StreamEvent::kErrorOccurred);
  }

  void rearmReading(Events& events) {
    readRearmPosted = false;
    if (phase != Phase::kOpen || atEnd || error) return;
    // Bytes OpenSSL has already taken off the socket never wake epoll.
    if (ssl && SSL_pending(ssl) > 0) {
      events.emplace_back(true, StreamEvent::kHasBytesAvailable);
      return;
    }
    wantRead = true;
    applyInterest();
  }

  void releaseSocket() {
    if (ssl) SSL_free(ssl);
    if (context) SSL_CTX_free(context);
    ssl = nullptr;
    context = nullptr;
    if (fd >= 0) ::close(fd);
    fd = -1;
    registered = false;
  }

  void tearDown(bool sayGoodbye) {
    wantRead = wantWrite = false;
    unregister();
    if (ssl && sayGoodbye && !error) {
      // Best effort: tell the peer, without waiting for its answer.
      ERR_clear_error();
      SSL_shutdown(ssl);
      ERR_clear_error();
    }
    releaseSocket();
  }

  // --- Caller side (the owner's queue), under the mutex -----------------------------------------

  // Interest is set again right from the caller's thread (modifyFd never waits for a handler);
  // only bytes OpenSSL already holds need an event made on the loop.
  void requestReadRearm(bool needsWritable = false) {
    readerNeedsWritable = needsWritable;
    if (!needsWritable && ssl && SSL_pending(ssl) > 0) {
      if (readRearmPosted) return;
      readRearmPosted = true;
      post([](Connection& c, Events& events) { c.rearmReading(events); });
      return;
    }
    wantRead = true;
    if (registered) applyInterest();
  }

  void requestWriteArm(bool needsReadable = false) {
    writerNeedsReadable = needsReadable;
    wantWrite = true;
    if (registered) applyInterest();
  }

  void failFromCaller(ErrorPtr failure) {
    if (error) return;
    error = std::move(failure);
    post([](Connection& c, Events& events) {
      c.wantRead = c.wantWrite = false;
      c.applyInterest();
      events.emplace_back(true, StreamEvent::kErrorOccurred);
      events.emplace_back(false, StreamEvent::kErrorOccurred);
    });
  }

  void reachedEnd() {
    atEnd = true;
    post([](Connection&, Events& events) {
      events.emplace_back(true, StreamEvent::kEndEncountered);
    });
  }

  bool usable() const { return phase == Phase::kOpen && !error; }
};

Stream::Stream(std::shared_ptr<Connection> connection, bool isInput)
    : connection_(std::move(connection)), isInput_(isInput) {}

Stream::~Stream() { close(); }

void Stream::open() {
  std::lock_guard lock(connection_->mutex);
  auto& side = connection_->side(isInput_);
  if (side.openRequested || side.closed) return;
  side.openRequested = true;
  connection_->startIfReady();
}

void Stream::close() {
  auto& c = *connection_;
  std::lock_guard lock(c.mutex);
  auto& side = c.side(isInput_);
  if (side.closed) return;
  side.closed = true;
  if (!c.input.closed || !c.output.closed) return;
  const bool wasOpen = c.phase == Connection::Phase::kOpen;
  c.phase = Connection::Phase::kClosed;
  if (c.runLoop && c.registered) {
    c.runLoop->post([self = c.shared_from_this(), wasOpen] {
      // The loop holds a source's lock while its handler takes our mutex, so the source is
      // removed outside our mutex. Both streams are closed: nothing else uses the fd meanwhile.
      int fd = -1;
      {
        std::lock_guard lock(self->mutex);
        if (self->registered) fd = self->fd;
        self->registered = false;
      }
      if (fd >= 0) self->runLoop->removeFd(fd);
      std::lock_guard lock(self->mutex);
      self->tearDown(wasOpen);
    });
  } else {
    c.releaseSocket();
  }
}

StreamStatus Stream::status() const {
  const auto& c = *connection_;
  std::lock_guard lock(c.mutex);
  const auto& side = isInput_ ? c.input : c.output;
  if (side.closed) return StreamStatus::kClosed;
  if (c.error) return StreamStatus::kError;
  if (!side.openRequested) return StreamStatus::kNotOpen;
  if (c.phase != Connection::Phase::kOpen) return StreamStatus::kOpening;
  if (isInput_ && c.atEnd) return StreamStatus::kAtEnd;
  return StreamStatus::kOpen;
}

ErrorPtr Stream::error() const {
  std::lock_guard lock(connection_->mutex);
  return connection_->error;
}

void Stream::setDelegate(std::weak_ptr<StreamDelegate> delegate) {
  std::lock_guard lock(connection_->mutex);
  connection_->side(isInput_).delegate = std::move(delegate);
}

void Stream::scheduleIn(RunLoop& runLoop) {
  std::lock_guard lock(connection_->mutex);
  if (connection_->phase != Connection::Phase::kIdle) return;
  connection_->runLoop = &runLoop;
  connection_->startIfReady();
}

void Stream::removeFromRunLoop() {
  std::lock_guard lock(connection_->mutex);
  if (connection_->phase == Connection::Phase::kIdle) connection_->runLoop = nullptr;
}

void Stream::setTlsSettings(TlsSettings settings) {
  std::lock_guard lock(connection_->mutex);
  if (connection_->phase == Connection::Phase::kIdle) connection_->tls = std::move(settings);
}

std::vector<std::string> Stream::peerCertificateChain() const {
  std::lock_guard lock(connection_->mutex);
  std::vector<std::string> chain;
  if (!connection_->ssl || connection_->phase != Connection::Phase::kOpen) return chain;
  STACK_OF(X509)* certificates = SSL_get_peer_cert_chain(connection_->ssl);
  for (int i = 0; certificates && i < sk_X509_num(certificates); ++i) {
    unsigned char* der = nullptr;
    const int size = i2d_X509(sk_X509_value(certificates, i), &der);
    if (size <= 0) continue;
    chain.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(size));
    OPENSSL_free(der);
  }
  return chain;
}

int Stream::nativeSocket() const {
  std::lock_guard lock(connection_->mutex);
  return connection_->fd;
}

ssize_t InputStream::read(uint8_t* buffer, size_t capacity) {
  auto& c = *connection_;
  std::lock_guard lock(c.mutex);
  if (c.error || c.input.closed) return -1;
  if (!c.usable() || c.atEnd || capacity == 0) return 0;
  if (!c.ssl) {
    const ssize_t received = ::recv(c.fd, buffer, capacity, MSG_DONTWAIT);
    if (received > 0) {
      if (static_cast<size_t>(received) < capacity) c.requestReadRearm();
      return received;
    }
    if (received == 0) {
      c.reachedEnd();
      return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      c.requestReadRearm();
      return 0;
    }
    c.failFromCaller(posixError(errno, "cannot read from " + c.host));
    return -1;
  }
  ERR_clear_error();
  size_t received = 0;
  const int result = SSL_read_ex(c.ssl, buffer, capacity, &received);
  if (result == 1) {
    if (received < capacity) c.requestReadRearm();
    return static_cast<ssize_t>(received);
  }
  const int reason = SSL_get_error(c.ssl, result);
  if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
    c.requestReadRearm(reason == SSL_ERROR_WANT_WRITE);
    return 0;
  }
  // A peer that closes without a TLS goodbye has still ended the stream; frames above TLS
  // delimit themselves, so a cut is seen there.
  const bool unexpectedEof = reason == SSL_ERROR_SSL &&
                             ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  if (reason == SSL_ERROR_ZERO_RETURN || unexpectedEof ||
      (reason == SSL_ERROR_SYSCALL && errno == 0)) {
    ERR_clear_error();
    c.reachedEnd();
    return 0;
  }
  c.failFromCaller(reason == SSL_ERROR_SYSCALL ? posixError(errno, "cannot read from " + c.host)
                                               : tlsError(c.ssl));
  return -1;
}

bool InputStream::hasBytesAvailable() const {
  auto& c = *connection_;
  std::lock_guard lock(c.mutex);
  if (!c.usable() || c.atEnd || c.input.closed) return false;
  if (c.ssl && SSL_pending(c.ssl) > 0) return true;
  pollfd poller{c.fd, POLLIN, 0};
  return ::poll(&poller, 1, 0) > 0 && (poller.revents & (POLLIN | POLLHUP | POLLERR));
}

ssize_t OutputStream::write(const uint8_t* bytes, size_t size) {
  auto& c = *connection_;
  std::lock_guard lock(c.mutex);
  if (c.error || c.output.closed) return -1;
  if (!c.usable() || size == 0) return 0;
  if (!c.ssl) {
    const ssize_t sent = ::send(c.fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      if (static_cast<size_t>(sent) < size) {
        c.writable = false;
        c.requestWriteArm();
      }
      return sent;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      c.writable = false;
      c.requestWriteArm();
      return 0;
    }
    c.failFromCaller(posixError(errno, "cannot write to " + c.host));
    return -1;
  }
  ERR_clear_error();
  size_t sent = 0;
  const int result = SSL_write_ex(c.ssl, bytes, size, &sent);
  // A write that had to read (a handshake) may have taken the reader's bytes off the socket.
  if (c.wantRead && SSL_pending(c.ssl) > 0) c.requestReadRearm();
  if (result == 1) return static_cast<ssize_t>(sent);
  const int reason = SSL_get_error(c.ssl, result);
  if (reason == SSL_ERROR_WANT_WRITE || reason == SSL_ERROR_WANT_READ) {
    c.writable = false;
    c.requestWriteArm(reason == SSL_ERROR_WANT_READ);
    return 0;
  }
  c.failFromCaller(reason == SSL_ERROR_SYSCALL ? posixError(errno, "cannot write to " + c.host)
                                               : tlsError(c.ssl));
  return -1;
}

bool OutputStream::hasSpaceAvailable() const {
  std::lock_guard lock(connection_->mutex);
  return connection_->usable() && connection_->writable && !connection_->output.closed;
}

StreamPair createStreamPair(const std::string& host, uint16_t port) {
  auto connection = std::make_shared<Stream::Connection>(host, port);
  StreamPair pair{std::make_shared<InputStream>(connection),
                  std::make_shared<OutputStream>(connection)};
  connection->input.stream = pair.input;
  connection->output.stream = pair.output;
  return pair;
}

}  // namespace dz::platform
