// Transactions against the development server on 127.0.0.1:
// - throughput on one counter with 1, 5 and 20 contending clients, each keeping one transaction
//   in flight: commits per second, retries (sends beyond the first) per commit, and aborts;
// - one uncontended transaction's round trip, beside a plain set's in the same run (the floor:
//   both are one request and one reply).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database/api/database.h"
#include "platform/resolver.h"
#include "tests/support/database_client.h"
#include "tests/support/event_counter.h"
#include "tools/devserver/dev_server.h"

namespace {

using namespace dz::database;
using Clock = std::chrono::steady_clock;
using Counter = dz::testing::EventCounter;

std::shared_ptr<Database> client(const dz::devserver::DevServer& server) {
  static std::atomic<int> counter{0};
  return dz::testing::makeDatabaseClient(server.databaseUrl(),
                                         "bench-tx-" + std::to_string(++counter));
}

TransactionResult increment(MutableData& data) {
  data.setValue(dz::Value(data.value().getInt().value_or(0) + 1));
  return TransactionResult::successWithValue(data);
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Each client runs `commitsEach` increments one after another (the next starts when the last
// completes), all clients at once.
void BM_ContendedCounter(benchmark::State& state) {
  auto server = dz::devserver::DevServer::start();
  dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  const int clients = static_cast<int>(state.range(0));
  const int commitsEach = 50;
  std::vector<std::shared_ptr<Database>> databases;
  for (int i = 0; i < clients; ++i) databases.push_back(client(*server));
  // Every client listens first, so all start from the same data.
  Counter loaded;
  for (auto& database : databases) {
    database->reference().child("counter").observeEventType(
        DataEventType::Value, [&loaded, seen = std::make_shared<bool>(false)](const DataSnapshot&) {
          if (!std::exchange(*seen, true)) loaded.add();
        });
  }
  if (!loaded.waitFor(clients)) return state.SkipWithError("not connected");

  Counter finished;
  std::atomic<int> commits{0};
  std::atomic<int> aborts{0};
  size_t putsBefore = server->requestCount("p");
  std::vector<std::shared_ptr<std::function<void()>>> chains;
  auto start = Clock::now();
  for (auto _ : state) {
    for (auto& database : databases) {
      auto remaining = std::make_shared<std::atomic<int>>(commitsEach);
      auto runNext = std::make_shared<std::function<void()>>();
      DatabaseReference counter = database->reference().child("counter");
      *runNext = [&, counter, remaining, weakNext = std::weak_ptr(runNext)] {
        counter.runTransactionBlock(
            increment, [&, remaining, weakNext](const dz::ErrorPtr& error, bool committed,
                                                const std::optional<DataSnapshot>&) {
              ++(committed && !error ? commits : aborts);
              if (--*remaining == 0) return finished.add();
              if (auto next = weakNext.lock()) (*next)();
            });
      };
      chains.push_back(runNext);
      (*runNext)();
    }
    if (!finished.waitFor(clients, std::chrono::minutes(5))) {
      return state.SkipWithError("transactions did not finish");
    }
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  double puts = static_cast<double>(server->requestCount("p") - putsBefore);
  state.counters["commits_per_s"] = commits / seconds;
  state.counters["retries_per_commit"] = commits ? (puts - commits - aborts) / commits : 0;
  state.counters["aborts"] = aborts.load();
  for (auto& database : databases) database->goOffline();
}
BENCHMARK(BM_ContendedCounter)
    ->Arg(1)
    ->Arg(5)
    ->Arg(20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// One transaction at a time with no contention, and one set at a time, on the same client.
void BM_UncontendedRoundTrip(benchmark::State& state) {
  auto server = dz::devserver::DevServer::start();
  dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  auto database = client(*server);
  DatabaseReference ref = database->reference().child("solo");
  Counter loaded;
  ref.observeEventType(DataEventType::Value, [&loaded](const DataSnapshot&) { loaded.add(); });
  if (!loaded.waitFor(1)) return state.SkipWithError("not connected");
  std::vector<double> transactions;
  std::vector<double> sets;
  for (auto _ : state) {
    for (int i = 0; i < state.range(0); ++i) {
      Counter done;
      auto begin = Clock::now();
      ref.runTransactionBlock(
          increment,
          [&done](const dz::ErrorPtr&, bool, const std::optional<DataSnapshot>&) { done.add(); });
      done.waitFor(1);
      transactions.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
      begin = Clock::now();
      ref.setValue(dz::Value(i),
                   [&done](const dz::ErrorPtr&, const DatabaseReference&) { done.add(); });
      done.waitFor(2);
      sets.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
  }
  state.counters["transaction_p50_us"] = median(transactions);
  state.counters["set_p50_us"] = median(sets);
  state.counters["ratio_p50"] = median(transactions) / median(sets);
  database->goOffline();
}
BENCHMARK(BM_UncontendedRoundTrip)->Arg(500)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
