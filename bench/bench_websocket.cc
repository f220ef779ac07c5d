// Receive throughput of the WebSocket client: a local Beast server streams text messages of 1 KiB
// and 64 KiB over loopback, read once by our client and once by a Beast client in the same run.
// Prints MB/s of each and our throughput as a ratio of Beast's (goal: at least 1.0).
//
// Twice: the server writing each message on its own, as Beast's stream does, and the server
// writing the same frames many to a write. Sending 1 KiB a write, the server's thread is the
// busiest in the run and the rate is mostly its own; batched, the readers set the rate.
#include <algorithm>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "database/websocket/web_socket.h"
#include "platform/dispatch_queue.h"
#include "tests/support/beast_websocket_server.h"

namespace {

namespace beast = boost::beast;
namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using dz::testing::BeastWebSocketServer;

constexpr int kRounds = 7;

constexpr size_t kBatchBytes = 256 * 1024;

// An unmasked text frame holding `payload`, as a server sends it.
void appendTextFrame(std::string& out, std::string_view payload) {
  out += '\x81';
  const uint64_t size = payload.size();
  if (size < 126) {
    out += static_cast<char>(size);
  } else if (size <= 0xFFFF) {
    out += '\x7E';
    for (int shift = 8; shift >= 0; shift -= 8) out += static_cast<char>(size >> shift);
  } else {
    out += '\x7F';
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(size >> shift);
  }
  out += payload;
}

// Asked "count:size:batched" (or "count:size:each"), the server sends that many text messages of
// that size, in writes of about kBatchBytes or one write a message.
void streamOnRequest(BeastWebSocketServer::Session& session) {
  std::string request;
  bool isText = true;
  while (session.read(request, isText)) {
    const size_t colon = request.find(':');
    const size_t count = std::stoul(request.substr(0, colon));
    const size_t size = std::stoul(request.substr(colon + 1));
    const std::string message(size, 'm');
    if (request.ends_with(":each")) {
      for (size_t i = 0; i < count; ++i) session.write(message);
      continue;
    }
    std::string frames;
    const size_t perWrite = std::max<size_t>(1, kBatchBytes / size);
    for (size_t i = 0; i < std::min(count, perWrite); ++i) appendTextFrame(frames, message);
    const size_t frameBytes = frames.size() / std::min(count, perWrite);
    for (size_t sent = 0; sent < count; sent += perWrite) {
      const size_t n = std::min(perWrite, count - sent);
      session.writeRaw(std::string_view(frames).substr(0, n * frameBytes));
    }
  }
}

class CountingDelegate : public dz::websocket::WebSocketDelegate {
 public:
  void didReceiveMessage(dz::websocket::WebSocket&, dz::websocket::Message& m) override {
    std::lock_guard lock(mutex_);
    bytes_ += m.data.size();
    ++count_;
    if (count_ >= target_) done_.notify_all();
  }
  void didOpen(dz::websocket::WebSocket&) override {
    std::lock_guard lock(mutex_);
    opened_ = true;
    done_.notify_all();
  }
  void waitOpen() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return opened_; });
  }
  void expect(size_t count) {
    std::lock_guard lock(mutex_);
    count_ = 0;
    target_ = count;
  }
  void waitAll() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return count_ >= target_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool opened_ = false;
  size_t count_ = 0, target_ = 0, bytes_ = 0;
};

double megabytesPerSecond(size_t bytes, Clock::duration elapsed) {
  return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

std::string requestFor(size_t count, size_t size, bool batched) {
  return std::to_string(count) + ":" + std::to_string(size) + (batched ? ":batched" : ":each");
}

double oursOnce(dz::websocket::WebSocket& socket, CountingDelegate& delegate, size_t count,
                size_t size, bool batched) {
  delegate.expect(count);
  const auto start = Clock::now();
  socket.send(requestFor(count, size, batched));
  delegate.waitAll();
  return megabytesPerSecond(count * size, Clock::now() - start);
}

double beastOnce(beast::websocket::stream<asio::ip::tcp::socket>& ws, size_t count, size_t size,
                 bool batched) {
  const auto start = Clock::now();
  ws.write(asio::buffer(requestFor(count, size, batched)));
  beast::flat_buffer buffer;
  for (size_t i = 0; i < count; ++i) {
    ws.read(buffer);
    buffer.consume(buffer.size());
  }
  return megabytesPerSecond(count * size, Clock::now() - start);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

// With an argument "ours" or "beast" only that client reads (for profiling one of them).
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  BeastWebSocketServer server(streamOnRequest);
  const std::string url = "ws://127.0.0.1:" + std::to_string(server.port()) + "/";

  auto delegate = std::make_shared<CountingDelegate>();
  dz::websocket::URLRequest request;
  request.url = url;
  auto socket = dz::websocket::WebSocket::create(
      request, std::nullopt, dz::platform::DispatchQueue::create("bench.delegate"));
  socket->setDelegate(delegate);
  socket->open();
  delegate->waitOpen();

  asio::io_context context;
  beast::websocket::stream<asio::ip::tcp::socket> ws(context);
  ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), server.port()});
  ws.handshake("127.0.0.1", "/");
  ws.read_message_max(0);

  std::printf("%-10s %-8s %12s %12s %8s\n", "message", "writes", "ours MB/s", "beast MB/s",
              "ratio");
  for (const bool batched : {true, false}) {
    for (const auto& [size, count] : {std::pair<size_t, size_t>{1024, 100000}, {65536, 4000}}) {
      std::vector<double> ours, theirs;
      for (int round = 0; round < kRounds; ++round) {
        // Alternate, so that neither side always runs on a warmer machine.
        ours.push_back(only == "beast" ? 1 : oursOnce(*socket, *delegate, count, size, batched));
        theirs.push_back(only == "ours" ? 1 : beastOnce(ws, count, size, batched));
      }
      const double a = median(ours), b = median(theirs);
      std::printf("%-10s %-8s %12.1f %12.1f %8.2f\n", size == 1024 ? "1 KiB" : "64 KiB",
                  batched ? "batched" : "each", a, b, a / b);
    }
  }
  ws.close(beast::websocket::close_code::normal);
  socket->close();
  return 0;
}
