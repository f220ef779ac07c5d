// Sync tree throughput: server child-added pushes at one location with a child-event and a value
// registration (events per second), one large server overwrite raised as a value event against
// building its node tree alone, and pending writes with their acknowledgements.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "database/core/clock.h"
#include "database/core/sync_tree.h"
#include "database/core/view/event_registration.h"
#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

constexpr int kPushes = 100000;

std::shared_ptr<SyncTree> makeTree(ListenCompletion& completion) {
  auto provider = std::make_shared<ListenProvider>();
  provider->setStartListening([&completion](const QuerySpec&, std::optional<QueryTag>,
                                            std::shared_ptr<const SyncTreeHash>,
                                            ListenCompletion done) {
    completion = std::move(done);
    return Events{};
  });
  return SyncTree::create(platform::DispatchQueue::main(), provider);
}

void BM_ServerChildAddedPushes(benchmark::State& state) {
  size_t events = 0;
  size_t fired = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ListenCompletion completion;
    auto tree = makeTree(completion);
    QuerySpec query = QuerySpec::defaultQueryAtPath(Path("/messages"));
    ChildEventRegistration::Callbacks callbacks;
    callbacks[EventType::ChildAdded] = [&fired](const DataEvent&) { ++fired; };
    tree->addEventRegistration(ChildEventRegistration::create(1, callbacks), query);
    tree->addEventRegistration(
        ValueEventRegistration::create(2, [&fired](const DataEvent&) { ++fired; }), query);
    completion(nullptr);
    std::vector<std::pair<Path, NodePtr>> pushes;
    pushes.reserve(kPushes);
    for (int i = 0; i < kPushes; ++i) {
      pushes.emplace_back(Path("/messages/m" + std::to_string(1000000 + i)),
                          SnapshotUtilities::nodeFrom(Value("message text " + std::to_string(i))));
    }
    state.ResumeTiming();
    for (const auto& [path, node] : pushes) {
      Events raised = tree->applyServerOverwrite(path, node);
      for (const Event& event : raised) event.fire();
      events += raised.size();
    }
  }
  state.counters["events"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kAvgIterations);
  state.counters["events_per_second"] =
      benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
  benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_ServerChildAddedPushes)->Unit(benchmark::kMillisecond)->Iterations(3);

// About 10 MB of JSON: 50,000 children of about 200 bytes each.
Value largeValue() {
  Value::Map children;
  for (int i = 0; i < 50000; ++i) {
    Value::Map child;
    child.emplace("title", std::string(120, 'a' + i % 26));
    child.emplace("votes", i);
    child.emplace("owner", "user" + std::to_string(i % 977));
    child.emplace("open", i % 2 == 0);
    children.emplace("poll" + std::to_string(i), Value(std::move(child)));
  }
  return Value(std::move(children));
}

// Building the node tree of the data alone, and then the same data through the sync tree to one
// value event. Frees happen outside both timings. Reports milliseconds of each and the ratio of
// (build + sync) to build.
void BM_LargeServerOverwriteValueEvent(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  Value value = largeValue();
  state.counters["json_bytes"] = static_cast<double>(value.toJsonString().size());
  double buildSeconds = 0;
  double syncSeconds = 0;
  size_t values = 0;
  for (auto _ : state) {
    ListenCompletion completion;
    auto tree = makeTree(completion);
    QuerySpec query = QuerySpec::defaultQueryAtPath(Path("/polls"));
    tree->addEventRegistration(
        ValueEventRegistration::create(1, [&values](const DataEvent&) { ++values; }), query);
    auto start = Clock::now();
    NodePtr node = SnapshotUtilities::nodeFrom(value);
    auto built = Clock::now();
    Events raised = tree->applyServerOverwrite(Path("/polls"), node);
    for (const Event& event : raised) event.fire();
    auto done = Clock::now();
    buildSeconds += std::chrono::duration<double>(built - start).count();
    syncSeconds += std::chrono::duration<double>(done - built).count();
  }
  double n = static_cast<double>(state.iterations());
  state.counters["build_ms"] = buildSeconds / n * 1000;
  state.counters["sync_ms"] = syncSeconds / n * 1000;
  state.counters["ratio_to_build"] = (buildSeconds + syncSeconds) / buildSeconds;
  state.counters["value_events"] = static_cast<double>(values) / n;
}
BENCHMARK(BM_LargeServerOverwriteValueEvent)->Unit(benchmark::kMillisecond)->Iterations(5);

// Pending writes over listened data: user overwrites and merges below the children of a list
// watched by the default query and a limited query, then the server's echo and acknowledgement of
// each. Timed over 1,000 and over 10,000 children; the cost per write should not
// grow with the children (`growth`: the time over 10,000 children over the time over 1,000).
// Timed in the thread's CPU time, which a loaded machine disturbs less than the wall clock.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double pendingWritesSeconds(int writes, int childCount, size_t& fired) {
  ListenCompletion completion;
  auto tree = makeTree(completion);
  Path list("/list");
  QuerySpec all = QuerySpec::defaultQueryAtPath(list);
  QuerySpec firstTen(list, QueryParams().orderBy(PathIndex::create(Path("v"))).limitToFirst(10));
  auto count = [&fired](const DataEvent&) { ++fired; };
  ChildEventRegistration::Callbacks callbacks{{EventType::ChildAdded, count},
                                              {EventType::ChildChanged, count},
                                              {EventType::ChildRemoved, count}};
  tree->addEventRegistration(ChildEventRegistration::create(1, callbacks), all);
  tree->addEventRegistration(ChildEventRegistration::create(2, callbacks), firstTen);
  Value::Map children;
  for (int i = 0; i < childCount; ++i) {
    children.emplace("k" + std::to_string(100000 + i), Value(Value::Map{{"v", Value(i)}}));
  }
  tree->applyServerOverwrite(list, SnapshotUtilities::nodeFrom(Value(std::move(children))));
  completion(nullptr);
  OffsetClock clock(SystemClock::clock(), 0.0);
  auto pathOf = [&](int i) {
    return Path("k" + std::to_string(100000 + (i * 7919) % childCount) + "/v");
  };
  const double start = threadSeconds();
  for (int i = 0; i < writes; ++i) {
    NodePtr value = SnapshotUtilities::nodeFrom(Value(childCount - i));
    Events raised =
        i % 3 == 0 ? tree->applyUserMerge(list, CompoundWrite().addWrite(pathOf(i), value), i + 1)
                   : tree->applyUserOverwrite(list.child(pathOf(i)), value, i + 1);
    for (const Event& event : raised) event.fire();
  }
  for (int i = 0; i < writes; ++i) {
    NodePtr value = SnapshotUtilities::nodeFrom(Value(childCount - i));
    for (const Event& event : tree->applyServerOverwrite(list.child(pathOf(i)), value)) {
      event.fire();
    }
    for (const Event& event : tree->ackUserWrite(i + 1, false, true, clock)) event.fire();
  }
  return threadSeconds() - start;
}

// The machine's speed drifts within seconds here, and a run after another finds the heap in another
// state: the two sizes take turns, each first as often as second, and each reports its median.
void BM_PendingWritesThenAcknowledgements(benchmark::State& state) {
  constexpr int kRounds = 6;
  const int writes = static_cast<int>(state.range(0));
  size_t fired = 0;
  std::vector<double> small, large;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const bool smallFirst = round % 4 == 0 || round % 4 == 3;
      if (smallFirst) small.push_back(pendingWritesSeconds(writes, 1000, fired));
      large.push_back(pendingWritesSeconds(writes, 10000, fired));
      if (!smallFirst) small.push_back(pendingWritesSeconds(writes, 1000, fired));
    }
  }
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  };
  const double smallSeconds = median(small), largeSeconds = median(large);
  state.counters["cpu_ms_1000_children"] = smallSeconds * 1e3;
  state.counters["cpu_ms_10000_children"] = largeSeconds * 1e3;
  state.counters["us_per_write_10000"] = largeSeconds / writes * 1e6;
  state.counters["growth"] = largeSeconds / smallSeconds;
  benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_PendingWritesThenAcknowledgements)
    ->Arg(2000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// Offline writes at distinct children of a listened location (the listen not yet answered), then
// the acknowledgement of each, oldest first. Beside it, the floor: the same children set one by
// one on a node. Reports microseconds per write (write and acknowledgement) and its ratio to the
// floor; the cost per write should not grow with the number of writes.
void BM_OfflineWritesThenAcknowledgements(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const int writes = static_cast<int>(state.range(0));
  std::vector<std::pair<Path, NodePtr>> data;
  for (int i = 0; i < writes; ++i) {
    data.emplace_back(Path("/items/i" + std::to_string(100000 + i)),
                      SnapshotUtilities::nodeFrom(Value(Value::Map{{"v", Value(i)}})));
  }
  double treeSeconds = 0, floorSeconds = 0;
  size_t fired = 0;
  for (auto _ : state) {
    ListenCompletion completion;
    auto tree = makeTree(completion);
    auto count = [&fired](const DataEvent&) { ++fired; };
    tree->addEventRegistration(ValueEventRegistration::create(1, count),
                               QuerySpec::defaultQueryAtPath(Path("/items")));
    OffsetClock clock(SystemClock::clock(), 0.0);
    auto start = Clock::now();
    for (int i = 0; i < writes; ++i) {
      for (const Event& event : tree->applyUserOverwrite(data[i].first, data[i].second, i + 1)) {
        event.fire();
      }
    }
    for (int i = 0; i < writes; ++i) {
      for (const Event& event : tree->ackUserWrite(i + 1, false, true, clock)) event.fire();
    }
    auto written = Clock::now();
    NodePtr node = EmptyNode::emptyNode();
    for (const auto& [path, value] : data) node = node->updateChild(path, value);
    benchmark::DoNotOptimize(node);
    treeSeconds += std::chrono::duration<double>(written - start).count();
    floorSeconds += std::chrono::duration<double>(Clock::now() - written).count();
  }
  const double n = static_cast<double>(state.iterations()) * writes;
  state.counters["us_per_write"] = treeSeconds / n * 1e6;
  state.counters["floor_us_per_write"] = floorSeconds / n * 1e6;
  state.counters["ratio_to_floor"] = treeSeconds / floorSeconds;
  benchmark::DoNotOptimize(fired);
}
BENCHMARK(BM_OfflineWritesThenAcknowledgements)
    ->Arg(2000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace dz::database

BENCHMARK_MAIN();
