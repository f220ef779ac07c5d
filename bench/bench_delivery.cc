// Delivery latency through the development server: a put on one client to the data push on a
// second, listening client, one at a time. Ours: two persistent connections (the whole client
// stack below the repository), from the put's call on the bench thread to the push reaching the
// listener's delegate on its work queue. The peer, in the same run: two thin Boost.Beast
// WebSocket clients, one writing the put frame, the other reading the push. Prints p50 and p99
// of each and the ratio of the p50s.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "database/core/persistent_connection.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "platform/resolver.h"
#include "tests/devserver/test_client.h"

namespace {

using namespace dz::database;
using Clock = std::chrono::steady_clock;
using dz::devserver::testing::body;
using dz::devserver::testing::TestClient;

constexpr int kRounds = 2000;

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(p * static_cast<double>(samples.size() - 1))];
}

class NoTokenProvider : public AuthTokenProvider {
 public:
  void fetchTokenForcingRefresh(bool, TokenCallback callback) override {
    callback(std::nullopt, nullptr);
  }
  TokenListenerRegistrationPtr listenForTokenChanges(TokenChangeListener) override {
    return std::make_unique<TokenListenerRegistration>();
  }
};

// Notes when each push arrives and when the connection is ready.
class Listener : public PersistentConnectionDelegate {
 public:
  void onDataUpdate(PersistentConnection*, const std::string&, PushedData, bool,
                    std::optional<int64_t>) override {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    lastPush_ = now;
    ++pushes_;
    changed_.notify_all();
  }
  void onRangeMerge(const std::vector<RangeMerge>&, const std::string&,
                    std::optional<int64_t>) override {}
  void onConnect(PersistentConnection*) override {
    std::lock_guard lock(mutex_);
    connected_ = true;
    changed_.notify_all();
  }
  void onDisconnect(PersistentConnection*) override {}
  void onServerInfoUpdate(PersistentConnection*, const dz::Value::Map&) override {}

  bool waitConnected() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return connected_; });
  }
  size_t pushes() {
    std::lock_guard lock(mutex_);
    return pushes_;
  }
  // The time the push after `seen` pushes arrived.
  std::optional<Clock::time_point> waitPush(size_t seen) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return pushes_ > seen; })) {
      return std::nullopt;
    }
    return lastPush_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
  size_t pushes_ = 0;
  Clock::time_point lastPush_;
};

struct Client {
  dz::platform::DispatchQueuePtr queue = dz::platform::DispatchQueue::create("bench.client");
  std::shared_ptr<Listener> listener = std::make_shared<Listener>();
  std::shared_ptr<PersistentConnection> connection;

  Client(const RepoInfoPtr& repoInfo) {
    queue->sync([&] {
      connection = PersistentConnection::create(
          repoInfo, queue, DatabaseConfig::create("bench", std::make_shared<NoTokenProvider>()));
      connection->setDelegate(listener);
      connection->open();
    });
    listener->waitConnected();
  }
  ~Client() {
    queue->sync([&] { connection.reset(); });
  }
};

std::vector<double> ours(const dz::devserver::DevServer& server) {
  dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  auto repoInfo = RepoInfo::create("ns.dz.test:" + std::to_string(server.port()), false, "ns");
  Client writer(repoInfo), reader(repoInfo);
  reader.queue->sync([&] {
    reader.connection->listen(QuerySpec::defaultQueryAtPath(Path("/ours")), std::nullopt, nullptr,
                              [](const dz::ErrorPtr&) {});
  });
  reader.listener->waitPush(0);  // the listen's first data
  std::vector<double> samples;
  for (int i = 0; i < kRounds; ++i) {
    const size_t seen = reader.listener->pushes();
    const auto start = Clock::now();
    writer.queue->async([&, i] {
      writer.connection->putData(SnapshotUtilities::nodeFrom(i), "/ours/a", std::nullopt,
                                 [](const WriteResult&) {});
    });
    auto arrived = reader.listener->waitPush(seen);
    if (!arrived) break;
    samples.push_back(std::chrono::duration<double, std::micro>(*arrived - start).count());
  }
  return samples;
}

std::vector<double> thin(const dz::devserver::DevServer& server) {
  auto writer = TestClient::connect(server);
  auto reader = TestClient::connect(server);
  reader->call("q", body("/thin"));
  reader->nextPush();
  std::vector<double> samples;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    const int64_t request = writer->request("p", body("/thin/a", {{"d", i}}));
    if (!reader->nextPush()) break;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    writer->awaitReply(request);
  }
  return samples;
}

}  // namespace

int main() {
  auto server = dz::devserver::DevServer::start();
  // Alternating halves, so that neither side has the warmer machine throughout.
  std::vector<double> ourSamples, thinSamples;
  for (int half = 0; half < 2; ++half) {
    auto a = thin(*server);
    auto b = ours(*server);
    thinSamples.insert(thinSamples.end(), a.begin(), a.end());
    ourSamples.insert(ourSamples.end(), b.begin(), b.end());
  }
  if (ourSamples.empty() || thinSamples.empty()) {
    std::fprintf(stderr, "no samples\n");
    return 1;
  }
  std::printf("%-34s %10s %10s\n", "put to push (us)", "p50", "p99");
  std::printf("%-34s %10.1f %10.1f\n", "ours (persistent connections)", percentile(ourSamples, 0.5),
              percentile(ourSamples, 0.99));
  std::printf("%-34s %10.1f %10.1f\n", "thin Beast clients", percentile(thinSamples, 0.5),
              percentile(thinSamples, 0.99));
  std::printf("p50 ours / thin: %.2f (goal: at most 2)\n",
              percentile(ourSamples, 0.5) / percentile(thinSamples, 0.5));
  return 0;
}
