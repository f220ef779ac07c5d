// The development server's request path: a put's round trip (with a listener on another
// connection receiving the push) and a long count-framed put, over plain WebSocket and TLS.
#include <benchmark/benchmark.h>

#include "tests/devserver/test_client.h"

namespace {

using dz::devserver::DevServer;
using dz::devserver::Options;
using dz::devserver::testing::body;
using dz::devserver::testing::TestClient;

void putWithListener(benchmark::State& state, bool tls) {
  Options options;
  options.tls = tls;
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

BENCHMARK(BM_PutWithListenerPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PutWithListenerTls)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LongPut)
    ->Arg(100 << 10)
    ->Arg(256 << 10)
    ->Arg(512 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
