#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <stdexcept>

#include "database/utilities/wire_protocol.h"
#include "tests/devserver/test_client.h"
#include "tools/devserver/message_frames.h"

namespace dz::devserver::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrameCharacters = database::wire::kMaxFrameCharacters;

}  // namespace

struct TestClient::Impl {
  virtual ~Impl() = default;
  virtual void write(const std::string& text) = 0;
  virtual void drop() = 0;

  // Runs the client's io until `done` holds or the time-out passes.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    io.restart();
    while (!done()) {
      if (io.run_one_until(deadline) == 0) {
        if (Clock::now() >= deadline || io.stopped()) break;
      }
    }
    return done();
  }

  asio::io_context io;
  std::deque<std::string> inbox;
  bool closed = false;
  FrameJoiner joiner;
};

namespace {

template <class Stream>
struct StreamImpl : TestClient::Impl {
  StreamImpl() : ws(io) {}
  explicit StreamImpl(std::shared_ptr<asio::ssl::context> context)
      : tls(std::move(context)), ws(io, *tls) {}

  void open(const tcp::endpoint& endpoint, const std::string& hostName,
            const std::string& hostHeader, const std::string& target) {
    beast::get_lowest_layer(ws).socket().connect(endpoint);
    // Count-framed messages are several small writes; Nagle would hold them for the peer's ACK.
    beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true));
    if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
      // Real verification: the CA file, the host name and SNI, as the client does it.
      if (!SSL_set_tlsext_host_name(ws.next_layer().native_handle(), hostName.c_str())) {
        throw std::runtime_error("cannot set SNI");
      }
      ws.next_layer().set_verify_mode(asio::ssl::verify_peer);
      ws.next_layer().set_verify_callback(asio::ssl::host_name_verification(hostName));
      ws.next_layer().handshake(asio::ssl::stream_base::client);
    }
    ws.handshake(hostHeader, target);
    startReading();
  }

  void startReading() {
    ws.async_read(buffer, [this](beast::error_code ec, size_t) {
      if (ec) {
        closed = true;
        return;
      }
      inbox.push_back(beast::buffers_to_string(buffer.data()));
      buffer.consume(buffer.size());
      startReading();
    });
  }

  void write(const std::string& text) override {
    if (closed) return;
    bool done = false;
    ws.text(true);
    ws.async_write(asio::buffer(text), [&](beast::error_code, size_t) { done = true; });
    if (!runUntil([&] { return done; }, kWait)) throw std::runtime_error("write timed out");
  }

  void drop() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
    runUntil([&] { return closed; }, kWait);
  }

  std::shared_ptr<asio::ssl::context> tls;
  websocket::stream<Stream> ws;
  beast::flat_buffer buffer;
};

using PlainImpl = StreamImpl<beast::tcp_stream>;
using TlsImpl = StreamImpl<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace

TestClient::TestClient() = default;

TestClient::~TestClient() {
  if (impl_ && !impl_->closed) impl_->drop();
}

std::unique_ptr<TestClient> TestClient::connect(const DevServer& server, const std::string& ns,
                                                const std::string& host) {
  return connect(server.port(), server.caFile(), ns, host);
}

std::unique_ptr<TestClient> TestClient::connect(uint16_t port, const std::filesystem::path& caFile,
                                                const std::string& ns, const std::string& host) {
  std::unique_ptr<TestClient> client(new TestClient());
  std::string hostName = host.empty() ? ns + "." + kTestDomain : host;
  std::string hostHeader = hostName + ":" + std::to_string(port);
  std::string target = "/.ws?v=5&ns=" + ns;
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  if (!caFile.empty()) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    context->load_verify_file(caFile.string());
    auto impl = std::make_unique<TlsImpl>(std::move(context));
    impl->open(endpoint, hostName, hostHeader, target);
    client->impl_ = std::move(impl);
  } else {
    auto impl = std::make_unique<PlainImpl>();
    impl->open(endpoint, hostName, hostHeader, target);
    client->impl_ = std::move(impl);
  }
  auto first = client->receive();
  if (!first) throw std::runtime_error("no greeting from the server");
  client->greeting_ = *first;
  return client;
}

void TestClient::sendFrame(const std::string& text) { impl_->write(text); }

std::optional<std::string> TestClient::receiveFrame(std::chrono::milliseconds timeout) {
  if (!impl_->runUntil([&] { return !impl_->inbox.empty() || impl_->closed; }, timeout) ||
      impl_->inbox.empty()) {
    return std::nullopt;
  }
  std::string frame = std::move(impl_->inbox.front());
  impl_->inbox.pop_front();
  return frame;
}

void TestClient::send(const boost::json::value& message) {
  for (const auto& frame : framesForMessage(boost::json::serialize(message), kFrameCharacters)) {
    sendFrame(frame);
  }
}

std::optional<boost::json::object> TestClient::receive(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto frame = receiveFrame(std::max(remaining, std::chrono::milliseconds(0)));
    if (!frame) return std::nullopt;
    auto message = impl_->joiner.add(*frame);
    if (!message) continue;
    boost::system::error_code ec;
    auto parsed = boost::json::parse(*message, ec);
    // Keep-alive frames and other non-objects are not messages.
    if (!ec && parsed.is_object()) return parsed.get_object();
  }
}

int64_t TestClient::request(const std::string& action, boost::json::object body) {
  int64_t number = nextRequest_++;
  send(boost::json::object{
      {"t", "d"},
      {"d", boost::json::object{{"r", number}, {"a", action}, {"b", std::move(body)}}}});
  return number;
}

namespace {

bool isReply(const boost::json::object& message) {
  const auto* data = message.contains("d") ? message.at("d").if_object() : nullptr;
  return message.contains("t") && message.at("t") == "d" && data && data->contains("r");
}

int64_t replyNumber(const boost::json::object& message) {
  return message.at("d").at("r").to_number<int64_t>();
}

}  // namespace

std::optional<boost::json::object> TestClient::awaitReply(int64_t number,
                                                          std::chrono::milliseconds timeout) {
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (isReply(*it) && replyNumber(*it) == number) {
      boost::json::object body = it->at("d").at("b").get_object();
      kept_.erase(it);
      return body;
    }
  }
  auto deadline = Clock::now() + timeout;
  while (auto message = receive(std::chrono::duration_cast<std::chrono::milliseconds>(
             std::max(deadline - Clock::now(), Clock::duration::zero())))) {
    if (isReply(*message) && replyNumber(*message) == number) {
      return message->at("d").at("b").get_object();
    }
    kept_.push_back(std::move(*message));
  }
  return std::nullopt;
}

std::string TestClient::call(const std::string& action, boost::json::object body) {
  auto reply = awaitReply(request(action, std::move(body)));
  if (!reply || !reply->contains("s")) return "";
  return std::string(reply->at("s").as_string());
}

std::optional<boost::json::object> TestClient::nextNonReply(std::chrono::milliseconds timeout) {
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (!isReply(*it)) {
      boost::json::object message = std::move(*it);
      kept_.erase(it);
      return message;
    }
  }
  auto deadline = Clock::now() + timeout;
  while (auto message = receive(std::chrono::duration_cast<std::chrono::milliseconds>(
             std::max(deadline - Clock::now(), Clock::duration::zero())))) {
    if (!isReply(*message)) return message;
    kept_.push_back(std::move(*message));
  }
  return std::nullopt;
}

std::optional<boost::json::object> TestClient::nextPush(std::chrono::milliseconds timeout) {
  auto message = nextNonReply(timeout);
  if (!message || message->at("t") != "d" || !message->at("d").is_object()) return std::nullopt;
  return message->at("d").get_object();
}

bool TestClient::waitForClose(std::chrono::milliseconds timeout) {
  return impl_->runUntil(
      [&] {
        impl_->inbox.clear();
        return impl_->closed;
      },
      timeout);
}

void TestClient::dropTcp() { impl_->drop(); }

boost::json::object body(const std::string& path, boost::json::object extra) {
  extra["p"] = path;
  return extra;
}

}  // namespace dz::devserver::testing
