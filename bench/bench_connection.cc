// The client's whole connection stack (persistent connection, realtime connection, WebSocket
// session, WebSocket, socket streams) against the development server on 127.0.0.1: a put's round
// trip from the call to its completion, for short puts and for long count-framed ones.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "database/core/persistent_connection.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "platform/resolver.h"
#include "tools/devserver/dev_server.h"

namespace {

using namespace dz::database;

class NoTokenProvider : public AuthTokenProvider {
 public:
  void fetchTokenForcingRefresh(bool, TokenCallback callback) override {
    callback(std::nullopt, nullptr);
  }
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener) override {
    return std::make_unique<TokenListenerRegistration>();
  }
};

// Waits on the caller's thread for a flag set on the work queue.
class Signal {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    bool ok = changed_.wait_for(lock, std::chrono::seconds(10), [&] { return set_; });
    set_ = false;
    return ok;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

void BM_ClientPutRoundTrip(benchmark::State& state) {
  auto server = dz::devserver::DevServer::start();
  dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  auto queue = dz::platform::DispatchQueue::create("bench.work");
  auto repoInfo = RepoInfo::create("ns.dz.test:" + std::to_string(server->port()), false, "ns");
  std::shared_ptr<PersistentConnection> connection;
  queue->sync([&] {
    connection = PersistentConnection::create(
        repoInfo, queue, DatabaseConfig::create("bench", std::make_shared<NoTokenProvider>()));
    connection->open();
  });
  bool online = false;
  for (int i = 0; i < 10000 && !online; ++i) {
    queue->sync([&] { online = connection->canSendWrites(); });
    if (!online) std::this_thread::yield();
  }
  if (!online) {
    state.SkipWithError("not connected");
    queue->sync([&] { connection.reset(); });
    return;
  }
  std::string text(static_cast<size_t>(state.range(0)), 'x');
  Signal done;
  std::string status;
  for (auto _ : state) {
    queue->async([&] {
      connection->putData(SnapshotUtilities::nodeFrom(text), "/long", std::nullopt,
                          [&](const WriteResult& result) {
                            status = result.status;
                            done.set();
                          });
    });
    if (!done.wait() || status != "ok") {
      state.SkipWithError("put failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  queue->sync([&] { connection.reset(); });
}

BENCHMARK(BM_ClientPutRoundTrip)
    ->Arg(64)
    ->Arg(16 << 10)
    ->Arg(100 << 10)
    ->Arg(256 << 10)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
