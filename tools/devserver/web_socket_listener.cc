#include "tools/devserver/web_socket_listener.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <vector>

#include "platform/thread_annotations.h"
#include "tools/devserver/https_listener.h"
#include "tools/devserver/peer_frames.h"

namespace dz::devserver {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Opcode = dz::websocket::Opcode;

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// Client frames hold at most 16,384 characters; this leaves room and bounds a misbehaving peer.
constexpr size_t kMaxMessageBytes = 1 << 20;
constexpr size_t kReadChunkBytes = 64 << 10;
// Bounds one gathered write (the system takes a limited number of buffers per call anyway).
constexpr size_t kMaxFramesPerWrite = 512;

template <class Stream>
class Session : public Peer, public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... Args>
  Session(PeerHandlerFactory factory, PlainGetHandler get, Args&&... args)
      : ws_(std::forward<Args>(args)...), factory_(std::move(factory)), get_(std::move(get)) {}

  auto executor() { return ws_.get_executor(); }

  void run() {
    beast::get_lowest_layer(ws_).expires_after(kHandshakeTimeout);
    if constexpr (kTls) {
      ws_.next_layer().async_handshake(asio::ssl::stream_base::server,
                                       [self = this->shared_from_this()](beast::error_code ec) {
                                         if (ec) return self->closeSocket();
                                         self->readUpgrade();
                                       });
    } else {
      readUpgrade();
    }
  }

  // Taken in at the call, in call order: posts from different threads may run in any order
  // (a post from the peer's own thread waits until its running handler returns), so only one
  // post at a time carries what is waiting.
  void send(std::shared_ptr<const std::string> text) override {
    {
      platform::MutexLock lock(sendMutex_);
      unsent_.push_back(std::move(text));
      if (unsentPosted_) return;
      unsentPosted_ = true;
    }
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->queueUnsent(); });
  }

  void drop() override {
    asio::post(ws_.get_executor(), [self = this->shared_from_this()] { self->closeSocket(); });
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  void closeSocket() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  void readUpgrade() {
    http::async_read(ws_.next_layer(), buffer_, request_,
                     [self = this->shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->closeSocket();
                       if (!websocket::is_upgrade(self->request_)) return self->answerPlainGet();
                       self->acceptUpgrade();
                     });
  }

  // One plain request answered, then the connection ends.
  void answerPlainGet() {
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(request_.version());
    response->keep_alive(false);
    std::optional<std::string> body;
    if (request_.method() == http::verb::get && get_) body = get_(std::string(request_.target()));
    response->result(body ? http::status::ok : http::status::not_found);
    response->set(http::field::content_type, "application/json; charset=UTF-8");
    response->body() = body.value_or(R"({"error": "not found"})");
    response->prepare_payload();
    http::async_write(ws_.next_layer(), *response,
                      [self = this->shared_from_this(), response](beast::error_code, size_t) {
                        self->closeSocket();
                      });
  }

  void acceptUpgrade() {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(
        websocket::stream_base::timeout{kHandshakeTimeout, websocket::stream_base::none(), false});
    ws_.async_accept(request_, [self = this->shared_from_this()](beast::error_code ec) {
      if (ec) return self->closeSocket();
      self->opened();
    });
  }

  void opened() {
    UpgradeRequest upgrade{std::string(request_.target()),
                           std::string(request_[http::field::host])};
    request_ = {};
    // Frames the client sent right behind its upgrade request.
    inbox_ = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    handler_ = factory_(this->shared_from_this(), upgrade);
    factory_ = nullptr;
    if (!handler_) return closeSocket();
    read();
  }

  // After the handshake the session frames messages itself: a read takes whatever has arrived,
  // however many frames that is, and a write sends every queued message at once.
  void read() {
    std::vector<ClientFrameParser::Event> events;
    parser_.parse(inbox_, events);
    for (auto& event : events) {
      if (finished_ || closing_) return;
      switch (event.kind) {
        case ClientFrameParser::Event::Kind::kText:
          if (handler_) handler_->onText(event.payload);
          break;
        case ClientFrameParser::Event::Kind::kPing:
          queue(Opcode::kPong, std::make_shared<const std::string>(event.payload));
          break;
        case ClientFrameParser::Event::Kind::kClose:
          // Answered with the client's code, then the connection ends.
          queue(Opcode::kClose, std::make_shared<const std::string>(event.payload.substr(0, 2)));
          closing_ = true;
          return;
        case ClientFrameParser::Event::Kind::kError:
          return finish();
      }
    }
    readChunk_.resize(kReadChunkBytes);
    ws_.next_layer().async_read_some(asio::buffer(readChunk_), [self = this->shared_from_this()](
                                                                   beast::error_code ec, size_t n) {
      if (ec) return self->finish();
      self->inbox_.append(self->readChunk_.data(), n);
      self->read();
    });
  }

  void queueUnsent() {
    std::vector<std::shared_ptr<const std::string>> texts;
    {
      platform::MutexLock lock(sendMutex_);
      texts.swap(unsent_);
      unsentPosted_ = false;
    }
    for (auto& text : texts) {
      if (!closing_) queue(Opcode::kText, std::move(text));
    }
  }

  void queue(Opcode opcode, std::shared_ptr<const std::string> payload) {
    if (finished_) return;
    std::string header;
    appendFrameHeader(header, opcode, payload->size());
    outbox_.push_back({std::move(header), std::move(payload)});
    if (!writing_) write();
  }

  void write() {
    writing_ = true;
    inFlight_.clear();
    std::vector<asio::const_buffer> buffers;
    while (!outbox_.empty() && inFlight_.size() < kMaxFramesPerWrite) {
      inFlight_.push_back(std::move(outbox_.front()));
      outbox_.pop_front();
    }
    for (const auto& frame : inFlight_) {
      buffers.emplace_back(asio::buffer(frame.header));
      buffers.emplace_back(asio::buffer(*frame.payload));
    }
    asio::async_write(ws_.next_layer(), buffers,
                      [self = this->shared_from_this()](beast::error_code ec, size_t) {
                        self->inFlight_.clear();
                        if (ec || self->finished_) {
                          self->writing_ = false;
                          if (ec) self->finish();
                          return;
                        }
                        if (self->outbox_.empty()) {
                          self->writing_ = false;
                          if (self->closing_) self->finish();
                          return;
                        }
                        self->write();
                      });
  }

  void finish() {
    if (finished_) return;
    finished_ = true;
    closeSocket();
    if (auto handler = std::move(handler_)) handler->onClosed();
  }

  struct Frame {
    std::string header;
    std::shared_ptr<const std::string> payload;
  };

  websocket::stream<Stream> ws_;  // for the handshake; its next layer carries the frames
  PeerHandlerFactory factory_;
  PlainGetHandler get_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  std::shared_ptr<PeerHandler> handler_;
  ClientFrameParser parser_{kMaxMessageBytes};
  std::string inbox_;
  std::string readChunk_;
  platform::Mutex sendMutex_;
  // Sent, not yet on the peer's thread.
  std::vector<std::shared_ptr<const std::string>> unsent_ DZ_GUARDED_BY(sendMutex_);
  bool unsentPosted_ DZ_GUARDED_BY(sendMutex_) = false;
  std::deque<Frame> outbox_;
  std::vector<Frame> inFlight_;
  bool writing_ = false;
  bool closing_ = false;  // a close frame was answered; the connection ends once it is sent
  bool finished_ = false;
};

using PlainSession = Session<beast::tcp_stream>;
using TlsSession = Session<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace

struct WebSocketListener::Impl {
  Impl(asio::io_context& io, std::vector<asio::io_context*> peerIos,
       std::shared_ptr<asio::ssl::context> tls, PeerHandlerFactory factory)
      : peerIos(std::move(peerIos)),
        acceptor(io),
        tls(std::move(tls)),
        factory(std::move(factory)) {}

  // Each peer's io_context, in turn.
  asio::io_context& nextPeerIo() { return *peerIos[nextPeer++ % peerIos.size()]; }

  std::vector<asio::io_context*> peerIos;
  size_t nextPeer = 0;
  PlainGetHandler get;
  platform::Mutex peersMutex;
  std::vector<std::weak_ptr<Peer>> peers DZ_GUARDED_BY(peersMutex);  // dropped at stop
  tcp::acceptor acceptor;
  std::shared_ptr<asio::ssl::context> tls;
  PeerHandlerFactory factory;
};

std::shared_ptr<WebSocketListener> WebSocketListener::create(
    asio::io_context& io, std::vector<asio::io_context*> peerIos, uint16_t port,
    std::shared_ptr<asio::ssl::context> tls, PeerHandlerFactory factory) {
  auto impl = std::make_unique<Impl>(io, std::move(peerIos), std::move(tls), std::move(factory));
  listenOnLoopback(impl->acceptor, port);
  auto listener = std::shared_ptr<WebSocketListener>(new WebSocketListener(std::move(impl)));
  listener->port_ = listener->impl_->acceptor.local_endpoint().port();
  return listener;
}

WebSocketListener::WebSocketListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebSocketListener::~WebSocketListener() = default;

void WebSocketListener::setPlainGetHandler(PlainGetHandler handler) {
  impl_->get = std::move(handler);
}

void WebSocketListener::start() { accept(); }

void WebSocketListener::stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  platform::MutexLock lock(impl_->peersMutex);
  for (const auto& weak : impl_->peers) {
    if (auto peer = weak.lock()) peer->drop();
  }
  impl_->peers.clear();
}

void WebSocketListener::accept() {
  // Each peer lives on one io_context of one thread, so its handlers never run at once.
  impl_->acceptor.async_accept(
      impl_->nextPeerIo(), [weak = weak_from_this()](beast::error_code ec, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || !self->impl_->acceptor.is_open()) return;
        if (!ec) {
          beast::error_code ignored;
          socket.set_option(tcp::no_delay(true), ignored);
          auto start = [&impl = *self->impl_](auto session) {
            {
              platform::MutexLock lock(impl.peersMutex);
              std::erase_if(impl.peers, [](const auto& weak) { return weak.expired(); });
              impl.peers.push_back(session);
            }
            asio::dispatch(session->executor(), [session] { session->run(); });
          };
          if (self->impl_->tls) {
            start(std::make_shared<TlsSession>(self->impl_->factory, self->impl_->get,
                                               std::move(socket), *self->impl_->tls));
          } else {
            start(std::make_shared<PlainSession>(self->impl_->factory, self->impl_->get,
                                                 std::move(socket)));
          }
        }
        self->accept();
      });
}

}  // namespace dz::devserver
