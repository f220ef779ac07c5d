// The development server's request path: a put's round trip (with a listener on another
// connection receiving the push) and a long count-framed put, over plain WebSocket and TLS;
// small puts pipelined with one listener, beside the same batches echoed by a peer that does
// nothing with the messages but reads and writes in batches as the server does (the ceiling), and
// by a bare Beast WebSocket server writing one message at a time.
#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <thread>

#include "database/websocket/frame_writer.h"
#include "tests/devserver/test_client.h"
#include "tests/support/beast_acceptor.h"
#include "tests/support/beast_websocket_server.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using dz::devserver::DevServer;
using dz::devserver::Options;
using dz::devserver::testing::body;
using dz::devserver::testing::TestClient;

void putWithListener(benchmark::State& state, bool tls) {
  Options options;
  options.tls = tls;
  options.connectionThreads = static_cast<unsigned>(state.range(0));
  auto server = DevServer::start(options);
  auto writer = TestClient::connect(*server);
  auto reader = TestClient::connect(*server);
  reader->call("q", body("/items"));
  reader->nextPush();
  int64_t value = 0;
  for (auto _ : state) {
    if (writer->call("p", body("/items/a", {{"d", ++value}})) != "ok") {
      state.SkipWithError("put failed");
      break;
    }
    if (!reader->nextPush()) {
      state.SkipWithError("no push");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_PutWithListenerPlain(benchmark::State& state) { putWithListener(state, false); }
void BM_PutWithListenerTls(benchmark::State& state) { putWithListener(state, true); }

void BM_LongPut(benchmark::State& state) {
  auto server = DevServer::start();
  auto writer = TestClient::connect(*server);
  std::string text(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    if (writer->call("p", body("/long", {{"d", text}})) != "ok") {
      state.SkipWithError("put failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr int kPipelineBatch = 1000;

// A plain WebSocket client that writes a whole batch of frames at once, so the benchmark
// measures the server rather than one write per message on the client's side.
class BatchClient {
 public:
  explicit BatchClient(uint16_t port) : ws_(io_) {
    ws_.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    ws_.next_layer().set_option(asio::ip::tcp::no_delay(true));
    ws_.handshake("ns.dz.test:" + std::to_string(port), "/.ws?v=5&ns=ns");
    read();  // the handshake
  }

  // Every message as one masked client frame, written in one go.
  void send(const std::vector<std::string>& messages) {
    std::string bytes;
    for (const auto& message : messages) {
      dz::websocket::appendFrame(bytes, dz::websocket::Opcode::kText, message, kKey);
    }
    asio::write(ws_.next_layer(), asio::buffer(bytes));
  }

  std::string read() {
    buffer_.clear();
    ws_.read(buffer_);
    return beast::buffers_to_string(buffer_.data());
  }

 private:
  static constexpr dz::websocket::MaskKey kKey{1, 2, 3, 4};
  asio::io_context io_;
  beast::websocket::stream<asio::ip::tcp::socket> ws_;
  beast::flat_buffer buffer_;
};

std::string putMessage(int64_t number) {
  return R"({"t":"d","d":{"r":)" + std::to_string(number) + R"(,"a":"p","b":{"p":"items/k)" +
         std::to_string(number % 100) + R"(","d":)" + std::to_string(number) + "}}}";
}

// A batch of small puts sent at once; then their replies (or echoes).
void putBatch(BatchClient& writer, int64_t& sent) {
  std::vector<std::string> messages;
  messages.reserve(kPipelineBatch);
  for (int i = 0; i < kPipelineBatch; ++i) messages.push_back(putMessage(++sent));
  writer.send(messages);
  for (int i = 0; i < kPipelineBatch; ++i) writer.read();
}

// Whole masked text frames at the front of `inbox`, unmasked and removed; the rest (a frame not
// yet all here) stays. Enough for the small unfragmented frames BatchClient sends.
std::vector<std::string> takeFrames(std::string& inbox) {
  std::vector<std::string> messages;
  size_t at = 0;
  while (inbox.size() - at >= 6) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(inbox.data() + at);
    uint64_t length = bytes[1] & 0x7f;
    size_t header = 2;
    if (length == 126 || length == 127) {
      const size_t width = length == 126 ? 2 : 8;
      if (inbox.size() - at < header + width) break;
      length = 0;
      for (size_t i = 0; i < width; ++i) length = length << 8 | bytes[header + i];
      header += width;
    }
    if (inbox.size() - at < header + 4 + length) break;
    const uint8_t* key = bytes + header;
    std::string message(inbox, at + header + 4, length);
    for (size_t i = 0; i < message.size(); ++i)
      message[i] = static_cast<char>(message[i] ^ key[i % 4]);
    messages.push_back(std::move(message));
    at += header + 4 + length;
  }
  inbox.erase(0, at);
  return messages;
}

// Appends an unmasked final text frame.
void appendServerFrame(std::string& out, std::string_view payload) {
  out.push_back(static_cast<char>(0x81));
  if (payload.size() < 126) {
    out.push_back(static_cast<char>(payload.size()));
  } else {
    const bool wide = payload.size() > 0xffff;
    out.push_back(static_cast<char>(wide ? 127 : 126));
    for (int shift = wide ? 56 : 8; shift >= 0; shift -= 8) {
      out.push_back(static_cast<char>(payload.size() >> shift & 0xff));
    }
  }
  out.append(payload);
}

// The peer, a ceiling for the server: it echoes the batches, doing nothing with the messages,
// and moves them as the development server does, reading whatever has arrived (64 KiB at a time)
// and writing the replies to all of it in one call. Its frames are its own code, not the
// server's; Beast does the upgrade.
std::unique_ptr<dz::testing::BeastAcceptor> batchingEchoPeer() {
  return std::make_unique<dz::testing::BeastAcceptor>([](asio::ip::tcp::socket& socket) {
    socket.set_option(asio::ip::tcp::no_delay(true));
    beast::websocket::stream<asio::ip::tcp::socket&> ws(socket);
    ws.accept();
    ws.write(asio::buffer(std::string_view(
        R"({"t":"c","d":{"t":"h","d":{"ts":0,"v":"5","h":"ns.dz.test","s":"x"}}})")));
    std::string inbox;
    std::vector<char> chunk(64 << 10);
    boost::system::error_code ec;
    while (true) {
      size_t n = socket.read_some(asio::buffer(chunk), ec);
      if (ec) return;
      inbox.append(chunk.data(), n);
      std::string replies;
      for (const auto& message : takeFrames(inbox)) appendServerFrame(replies, message);
      if (!replies.empty() && !asio::write(socket, asio::buffer(replies), ec)) return;
    }
  });
}

// Argument: the server's connection threads. Each iteration sends a batch to the server (its
// replies and the listener's pushes all in) and then the same batch to the batching echo peer,
// so both see the same load on a busy machine; `to_peer` is the server's rate over the peer's.
void BM_PipelinedPutsWithListener(benchmark::State& state) {
  Options options;
  options.connectionThreads = static_cast<unsigned>(state.range(0));
  auto server = DevServer::start(options);
  BatchClient writer(server->port());
  BatchClient reader(server->port());
  reader.send({R"({"t":"d","d":{"r":1,"a":"q","b":{"p":"/items"}}})"});
  reader.read();  // the data
  reader.read();  // the reply
  std::atomic<int64_t> pushes{0};
  // Reads until the server closes the connection at the end.
  std::thread readerThread([&] {
    try {
      while (true) {
        reader.read();
        ++pushes;
      }
    } catch (const std::exception&) {
    }
  });
  auto peer = batchingEchoPeer();
  BatchClient peerWriter(peer->port());
  using Clock = std::chrono::steady_clock;
  double serverSeconds = 0, peerSeconds = 0;
  int64_t sent = 0, echoed = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    putBatch(writer, sent);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pushes < sent && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (pushes < sent) {
      state.SkipWithError("the listener fell behind");
      break;
    }
    auto served = Clock::now();
    putBatch(peerWriter, echoed);
    peerSeconds += std::chrono::duration<double>(Clock::now() - served).count();
    serverSeconds += std::chrono::duration<double>(served - start).count();
  }
  server->stop();
  readerThread.join();
  state.counters["server_puts_per_s"] = static_cast<double>(sent) / serverSeconds;
  state.counters["peer_puts_per_s"] = static_cast<double>(echoed) / peerSeconds;
  state.counters["to_peer"] =
      (static_cast<double>(sent) / serverSeconds) / (static_cast<double>(echoed) / peerSeconds);
}

// For scale, the same batches echoed by a bare Beast server that reads and writes one message at
// a time (a write per message: no ceiling for a server that batches).
void BM_PipelinedEchoPeer(benchmark::State& state) {
  dz::testing::BeastWebSocketServer echo([](dz::testing::BeastWebSocketServer::Session& session) {
    session.write(R"({"t":"c","d":{"t":"h","d":{"ts":0,"v":"5","h":"ns.dz.test","s":"x"}}})");
    std::string message;
    bool isText = true;
    while (session.read(message, isText)) session.write(message, isText);
  });
  BatchClient writer(echo.port());
  int64_t sent = 0;
  for (auto _ : state) putBatch(writer, sent);
  state.SetItemsProcessed(sent);
}

BENCHMARK(BM_PipelinedPutsWithListener)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PipelinedEchoPeer)->Unit(benchmark::kMillisecond)->UseRealTime();
// Argument: the server's connection threads.
BENCHMARK(BM_PutWithListenerPlain)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PutWithListenerTls)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LongPut)
    ->Arg(100 << 10)
    ->Arg(256 << 10)
    ->Arg(512 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
