// Framing of the WebSocket session: cutting outgoing messages into frames, and joining and
// parsing incoming frames into messages, for small pushes and for large multi-frame data.
#include <benchmark/benchmark.h>

#include <boost/json/serialize.hpp>
#include <cstdlib>
#include <filesystem>

#include "database/realtime/web_socket_connection.h"
#include "database/utilities/repo_info.h"

namespace {

using namespace dz::database;

struct NullSocket : SessionSocket {
  void open() override {}
  void send(std::string) override {}
  void close() override {}
};

struct CountingDelegate : WebSocketConnectionDelegate {
  void onMessage(WebSocketConnection*, boost::json::value message) override {
    benchmark::DoNotOptimize(message);
    ++messages;
  }
  void onDisconnect(WebSocketConnection*, bool) override {}
  int64_t messages = 0;
};

std::string pushText(size_t payloadBytes) {
  boost::json::object data;
  for (size_t i = 0; data.size() * 40 < payloadBytes; ++i) {
    data["key" + std::to_string(i)] = "value of some length " + std::to_string(i);
  }
  boost::json::object push{{"t", "d"},
                           {"d", {{"a", "d"}, {"b", {{"p", "polls/feed"}, {"d", data}}}}}};
  return boost::json::serialize(push);
}

void BM_FramesForMessage(benchmark::State& state) {
  std::string text = pushText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(framesForMessage(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_FramesForMessage)->Arg(200)->Arg(100'000);

void BM_ReceiveMessages(benchmark::State& state) {
  auto home = std::filesystem::temp_directory_path() / "dz-bench-framing";
  setenv("DZ_HOME", home.c_str(), 1);
  auto queue = dz::platform::DispatchQueue::create("bench.work");
  auto delegate = std::make_shared<CountingDelegate>();
  auto session = WebSocketConnection::create(
      RepoInfo::create("ns.dz.test", true, "ns"), queue, std::nullopt,
      {nullptr, [](const SessionSocketRequest&) { return std::make_shared<NullSocket>(); }});
  session->setDelegate(delegate);
  std::vector<std::string> frames = framesForMessage(pushText(static_cast<size_t>(state.range(0))));
  int64_t bytes = 0;
  for (const auto& frame : frames) bytes += static_cast<int64_t>(frame.size());
  for (auto _ : state) {
    // A copy of each frame, as the socket would hand over its own buffer.
    for (std::string frame : frames) session->webSocketDidReceiveMessage(frame);
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["frames"] = static_cast<double>(frames.size());
  std::filesystem::remove_all(home);
}
BENCHMARK(BM_ReceiveMessages)->Arg(200)->Arg(100'000);

}  // namespace

BENCHMARK_MAIN();
