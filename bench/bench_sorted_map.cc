// Costs of the persistent sorted map: building by single inserts (O(n log n)), lookups,
// iteration, removal, and the heap bytes each entry costs; inserts, lookups and memory beside
// std::map on the same keys.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "database/snapshot/sorted_map.h"

namespace {

// Every heap allocation of the process is counted, so a benchmark can read what a structure
// asked for.
std::atomic<size_t> gAllocations{0};
std::atomic<size_t> gBytes{0};

}  // namespace

// The replacements pair malloc with free, which the compiler cannot see through inlining.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gBytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using dz::database::SortedMap;
using Value = std::shared_ptr<const int>;  // what a children node holds: a shared child
using StringMap = SortedMap<std::string, Value>;

// Keys shaped like the tree's keys: short names, or 20-character push ids.
std::vector<std::string> makeKeys(size_t count, size_t length) {
  std::mt19937_64 random(42);
  static const char kChars[] = "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
  std::vector<std::string> keys(count);
  for (auto& key : keys) {
    key.resize(length);
    for (char& c : key) c = kChars[random() % 64];
  }
  return keys;
}

const Value& sharedValue() {
  static const Value value = std::make_shared<const int>(1);
  return value;
}

void BM_InsertOneAtATime(benchmark::State& state) {
  auto keys = makeKeys(static_cast<size_t>(state.range(0)), 12);
  for (auto _ : state) {
    StringMap map;
    for (const auto& key : keys) map = map.insert(key, sharedValue());
    benchmark::DoNotOptimize(map.size());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InsertOneAtATime)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Complexity(benchmark::oNLogN)
    ->Unit(benchmark::kMillisecond);

// Records: small maps built one field at a time, then one field replaced, for short keys and
// for push-id keys.
void BM_SmallMapInsertThenReplace(benchmark::State& state) {
  auto keys = makeKeys(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
  for (auto _ : state) {
    StringMap map;
    for (const auto& key : keys) map = map.insert(key, sharedValue());
    map = map.insert(keys[keys.size() / 2], sharedValue());
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * (state.range(0) + 1));
}
BENCHMARK(BM_SmallMapInsertThenReplace)->ArgsProduct({{4, 8, 16, 32}, {8, 20}});

void BM_InsertAscendingIntegers(benchmark::State& state) {
  for (auto _ : state) {
    SortedMap<int64_t, int64_t> map;
    for (int64_t i = 0; i < state.range(0); ++i) map = map.insert(i, i);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InsertAscendingIntegers)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same inserts into the sorted map and into std::map, the same keys in the same order, each
// timed in every iteration; `to_std_map` is the sorted map's time over std::map's.
template <class Key, class Mapped>
void insertBesideStdMap(benchmark::State& state, const std::vector<Key>& keys,
                        const Mapped& mapped) {
  using Clock = std::chrono::steady_clock;
  double sorted = 0, standard = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    {
      SortedMap<Key, Mapped> map;
      for (const auto& key : keys) map = map.insert(key, mapped);
      benchmark::DoNotOptimize(map.size());
      sorted += std::chrono::duration<double>(Clock::now() - start).count();
    }
    start = Clock::now();
    {
      std::map<Key, Mapped> map;
      for (const auto& key : keys) map.emplace(key, mapped);
      benchmark::DoNotOptimize(map.size());
      standard += std::chrono::duration<double>(Clock::now() - start).count();
    }
  }
  state.counters["sorted_map_ms"] = sorted / static_cast<double>(state.iterations()) * 1e3;
  state.counters["std_map_ms"] = standard / static_cast<double>(state.iterations()) * 1e3;
  state.counters["to_std_map"] = sorted / standard;
}

// The string keys of BM_InsertOneAtATime.
void BM_InsertBesideStdMap(benchmark::State& state) {
  insertBesideStdMap(state, makeKeys(static_cast<size_t>(state.range(0)), 12), sharedValue());
}
BENCHMARK(BM_InsertBesideStdMap)->Arg(100000)->Unit(benchmark::kMillisecond);

// The integer keys of BM_InsertAscendingIntegers.
void BM_InsertAscendingIntegersBesideStdMap(benchmark::State& state) {
  std::vector<int64_t> keys(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = static_cast<int64_t>(i);
  insertBesideStdMap(state, keys, int64_t{1});
}
BENCHMARK(BM_InsertAscendingIntegersBesideStdMap)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_FromEntries(benchmark::State& state) {
  auto keys = makeKeys(static_cast<size_t>(state.range(0)), 12);
  for (auto _ : state) {
    std::vector<std::pair<std::string, Value>> entries;
    entries.reserve(keys.size());
    for (const auto& key : keys) entries.emplace_back(key, sharedValue());
    auto map = StringMap::fromEntries(std::move(entries));
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FromEntries)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Lookup(benchmark::State& state) {
  auto keys = makeKeys(100000, 12);
  StringMap map;
  for (const auto& key : keys) map = map.insert(key, sharedValue());
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(keys[i]));
    i = (i + 7919) % keys.size();
  }
  state.counters["height"] = static_cast<double>(map.height());
}
BENCHMARK(BM_Lookup);

void BM_StdMapLookup(benchmark::State& state) {
  auto keys = makeKeys(100000, 12);
  std::map<std::string, Value> map;
  for (const auto& key : keys) map.emplace(key, sharedValue());
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(keys[i]));
    i = (i + 7919) % keys.size();
  }
}
BENCHMARK(BM_StdMapLookup);

void BM_Iterate(benchmark::State& state) {
  auto keys = makeKeys(100000, 12);
  StringMap map;
  for (const auto& key : keys) map = map.insert(key, sharedValue());
  for (auto _ : state) {
    size_t total = 0;
    for (const auto& entry : map) total += entry.key.size();
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Iterate)->Unit(benchmark::kMicrosecond);

void BM_RemoveOneAtATime(benchmark::State& state) {
  auto keys = makeKeys(100000, 12);
  StringMap full;
  for (const auto& key : keys) full = full.insert(key, sharedValue());
  for (auto _ : state) {
    StringMap map = full;
    for (const auto& key : keys) map = map.remove(key);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_RemoveOneAtATime)->Unit(benchmark::kMillisecond);

// Heap cost per entry of a finished map, keys included: the bytes the allocator holds for it
// (mallinfo2) and the allocations it keeps, for short keys and for push-id keys.
template <class Map>
void measureMemory(benchmark::State& state, size_t keyLength) {
  constexpr size_t kCount = 100000;
  auto keys = makeKeys(kCount, keyLength);
  for (auto _ : state) {
    malloc_trim(0);
    size_t heldBefore = mallinfo2().uordblks;
    size_t allocationsBefore = gAllocations.load();
    Map map;
    for (const auto& key : keys) {
      if constexpr (std::is_same_v<Map, StringMap>) {
        map = map.insert(key, sharedValue());
      } else {
        map.emplace(key, sharedValue());
      }
    }
    size_t allocations = gAllocations.load() - allocationsBefore;
    state.counters["held_bytes_per_entry"] =
        static_cast<double>(mallinfo2().uordblks - heldBefore) / kCount;
    state.counters["allocations_per_insert"] = static_cast<double>(allocations) / kCount;
    benchmark::DoNotOptimize(map);
  }
}

void BM_MemoryShortKeys(benchmark::State& state) { measureMemory<StringMap>(state, 12); }
BENCHMARK(BM_MemoryShortKeys)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MemoryPushIdKeys(benchmark::State& state) { measureMemory<StringMap>(state, 20); }
BENCHMARK(BM_MemoryPushIdKeys)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MemoryStdMapShortKeys(benchmark::State& state) {
  measureMemory<std::map<std::string, Value>>(state, 12);
}
BENCHMARK(BM_MemoryStdMapShortKeys)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MemoryStdMapPushIdKeys(benchmark::State& state) {
  measureMemory<std::map<std::string, Value>>(state, 20);
}
BENCHMARK(BM_MemoryStdMapPushIdKeys)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
