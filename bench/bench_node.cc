// Node tree costs: a 10 MB JSON document to nodes (straight from the text) and back, against
// plain Boost.JSON parsing of the same text; 100,000 children inserted one at a time; and the
// heap bytes a leaf costs.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <boost/json.hpp>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "database/snapshot/node.h"
#include "database/snapshot/snapshot_utilities.h"

namespace {

using dz::database::ChildMap;
using dz::database::EmptyNode;
using dz::database::LeafNode;
using dz::database::NodePtr;
using dz::database::SnapshotUtilities;

// A poll-shaped document of about `targetBytes` of JSON text.
const std::string& document() {
  static const std::string text = [] {
    std::mt19937 rng(7);
    boost::json::object polls;
    std::string text;
    for (int i = 0; text.size() < 10'000'000; ++i) {
      boost::json::object poll;
      poll["question"] = "Where should we have lunch on day " + std::to_string(i) + "?";
      poll["sender"] = "user" + std::to_string(rng() % 5000);
      poll["domain"] = "example" + std::to_string(rng() % 50) + ".com";
      poll["type"] = (i % 3 == 0) ? "direct" : "community";
      poll["closed"] = (i % 7 == 0);
      poll["created"] = 1.7e9 + i * 13.25;
      boost::json::array options;
      for (int o = 0; o < 4; ++o) {
        options.push_back(boost::json::object{{"index", o},
                                              {"name", "Option " + std::to_string(o)},
                                              {"votes", static_cast<int64_t>(rng() % 1000)}});
      }
      poll["options"] = std::move(options);
      boost::json::object recipients;
      for (int r = 0; r < 3; ++r) recipients["user" + std::to_string(rng() % 5000)] = true;
      poll["recipients"] = std::move(recipients);
      polls["-poll" + std::to_string(1'000'000 + i)] = std::move(poll);
      if (i % 1000 == 999) text = boost::json::serialize(polls);
    }
    return boost::json::serialize(boost::json::object{{"polls", std::move(polls)}});
  }();
  return text;
}

// 100,000 small records under one node, as an initial load receives them; the keys come in
// the order they were made ("child10" before "child2"), not in key order.
const std::string& recordsDocument() {
  static const std::string text = [] {
    boost::json::object children;
    for (int i = 0; i < 100'000; ++i) {
      children["child" + std::to_string(i)] =
          boost::json::object{{"name", "a name of some length " + std::to_string(i)},
                              {"score", i},
                              {"open", i % 2 == 0},
                              {"text", std::string(40, 'x')}};
    }
    return boost::json::serialize(children);
  }();
  return text;
}

// The document of a benchmark's first argument: 0 polls, 1 records.
const std::string& documentOf(const benchmark::State& state) {
  return state.range(0) == 0 ? document() : recordsDocument();
}

// Minor page faults of this process so far.
long minorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

boost::json::value parse(const std::string& text) {
  boost::json::parse_options options;
  options.max_depth = 2000;
  return boost::json::parse(text, {}, options);
}

// Each conversion is timed apart from freeing its result: the result is dropped, and the
// allocator's deferred work on the freed blocks done (malloc_trim), with the timer paused.
// BM_FreeNodeTree and BM_FreeJsonValue time that part.
void releaseUntimed(benchmark::State& state, auto& result) {
  state.PauseTiming();
  result = {};
  malloc_trim(0);
  state.ResumeTiming();
}

void BM_BoostJsonParse(benchmark::State& state) {
  const std::string& text = documentOf(state);
  for (auto _ : state) {
    boost::json::value json = parse(text);
    benchmark::DoNotOptimize(json);
    releaseUntimed(state, json);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_BoostJsonParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Text to nodes, read straight from the text (what a data push costs), beside a Boost.JSON parse
// of the same text, both sides timed in the same heap state. Warm: each right after an untimed run
// of the same step dropped its result, so it reuses its own freed memory, as a client reading push
// after push does; `to_parse` is the reader's time over the parse's then, and the reported time is
// the warm read. Cold, in a pass of its own: each right after malloc_trim gave the free memory
// back (`to_parse_cold`). A trim between a step's two runs would hand the parse's large freed
// blocks back to the system, and its warm run would fault them in again. `faults_read` and
// `faults_parse` count the minor page faults of a warm run.
void BM_JsonTextToNode(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const std::string& text = documentOf(state);
  double read = 0, parsed = 0, coldRead = 0, coldParsed = 0, readFaults = 0, parseFaults = 0;
  struct Run {
    double seconds;
    long faults;
  };
  // One run of `step`; its result is dropped after the clock stops.
  auto runOnce = [](auto step) {
    const long faults = minorFaults();
    const auto start = Clock::now();
    auto result = step();
    const Run run{std::chrono::duration<double>(Clock::now() - start).count(),
                  minorFaults() - faults};
    benchmark::DoNotOptimize(result);
    return run;
  };
  auto readText = [&] { return SnapshotUtilities::nodeFromJsonText(text); };
  auto parseText = [&] { return parse(text); };
  for (auto _ : state) {
    malloc_trim(0);
    coldRead += runOnce(readText).seconds;
    malloc_trim(0);
    coldParsed += runOnce(parseText).seconds;
    runOnce(readText);
    const Run warmRead = runOnce(readText);
    runOnce(parseText);
    const Run warmParse = runOnce(parseText);
    read += warmRead.seconds;
    parsed += warmParse.seconds;
    readFaults += static_cast<double>(warmRead.faults);
    parseFaults += static_cast<double>(warmParse.faults);
    state.SetIterationTime(warmRead.seconds);
  }
  const auto runs = static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["to_parse"] = read / parsed;
  state.counters["to_parse_cold"] = coldRead / coldParsed;
  state.counters["faults_read"] = readFaults / runs;
  state.counters["faults_parse"] = parseFaults / runs;
}
BENCHMARK(BM_JsonTextToNode)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Text to nodes through a parsed document (parse, convert, free the document).
void BM_JsonTextToNodeViaDocument(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) {
    NodePtr node = SnapshotUtilities::nodeFromJson(parse(text));
    benchmark::DoNotOptimize(node);
    releaseUntimed(state, node);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_JsonTextToNodeViaDocument)->Unit(benchmark::kMillisecond);

// The conversion alone, from an already parsed document.
void BM_JsonValueToNode(benchmark::State& state) {
  boost::json::value json = parse(document());
  for (auto _ : state) {
    NodePtr node = SnapshotUtilities::nodeFromJson(json);
    benchmark::DoNotOptimize(node);
    releaseUntimed(state, node);
  }
}
BENCHMARK(BM_JsonValueToNode)->Unit(benchmark::kMillisecond);

// Freeing a converted document, with the allocator's deferred work.
void BM_FreeNodeTree(benchmark::State& state) {
  boost::json::value json = parse(document());
  for (auto _ : state) {
    state.PauseTiming();
    NodePtr node = SnapshotUtilities::nodeFromJson(json);
    state.ResumeTiming();
    node.reset();
    malloc_trim(0);
  }
}
BENCHMARK(BM_FreeNodeTree)->Unit(benchmark::kMillisecond);

void BM_FreeJsonValue(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    boost::json::value json = parse(document());
    state.ResumeTiming();
    json = nullptr;
    malloc_trim(0);
  }
}
BENCHMARK(BM_FreeJsonValue)->Unit(benchmark::kMillisecond);

// Nodes to text, written directly.
void BM_NodeToJsonText(benchmark::State& state) {
  NodePtr node = SnapshotUtilities::nodeFromJson(parse(document()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(SnapshotUtilities::toJsonText(*node, true));
  }
}
BENCHMARK(BM_NodeToJsonText)->Unit(benchmark::kMillisecond);

// Nodes to text through a JSON document.
void BM_NodeToJsonTextViaDocument(benchmark::State& state) {
  NodePtr node = SnapshotUtilities::nodeFromJson(parse(document()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(boost::json::serialize(SnapshotUtilities::toJson(*node, true)));
  }
}
BENCHMARK(BM_NodeToJsonTextViaDocument)->Unit(benchmark::kMillisecond);

// Building the document's nodes, hashing them and freeing them, each timed apart (and apart from
// malloc_trim); hash and free are reported as ratios to the build.
void BM_DataHashOfDocument(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  boost::json::value json = parse(document());
  double build = 0, hash = 0, release = 0, trim = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    NodePtr node = SnapshotUtilities::nodeFromJson(json);
    const auto built = Clock::now();
    benchmark::DoNotOptimize(node->dataHash());
    const auto hashed = Clock::now();
    node.reset();
    const auto freed = Clock::now();
    // Handing the pages back to the system is not part of freeing; a program rarely asks for it.
    malloc_trim(0);
    const auto trimmed = Clock::now();
    build += std::chrono::duration<double>(built - start).count();
    hash += std::chrono::duration<double>(hashed - built).count();
    release += std::chrono::duration<double>(freed - hashed).count();
    trim += std::chrono::duration<double>(trimmed - freed).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["build_ms"] = build / n * 1e3;
  state.counters["hash_ms"] = hash / n * 1e3;
  state.counters["free_ms"] = release / n * 1e3;
  state.counters["trim_ms"] = trim / n * 1e3;
  state.counters["hash_to_build"] = hash / build;
  state.counters["free_to_build"] = release / build;
}
BENCHMARK(BM_DataHashOfDocument)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_InsertChildrenOneAtATime(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  std::vector<std::string> keys;
  for (int i = 0; i < count; ++i) keys.push_back("-key" + std::to_string(i * 7919 % count));
  NodePtr value = LeafNode::create(int64_t{1});
  for (auto _ : state) {
    NodePtr node = EmptyNode::emptyNode();
    for (const std::string& key : keys) node = node->updateImmediateChild(key, value);
    benchmark::DoNotOptimize(node);
  }
  state.SetComplexityN(count);
}
BENCHMARK(BM_InsertChildrenOneAtATime)
    ->RangeMultiplier(10)
    ->Range(1000, 100'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

size_t heapInUse() { return mallinfo2().uordblks; }

// Heap bytes of one leaf (node and control block; small integers and booleans are shared and
// cost nothing), and of one child of a children node (the leaf plus its sorted-map entry).
void BM_MemoryPerLeaf(benchmark::State& state) {
  constexpr int kCount = 100'000;
  for (auto _ : state) {
    size_t before = heapInUse();
    std::vector<NodePtr> leaves;
    leaves.reserve(kCount);
    size_t vectorBytes = heapInUse() - before;
    for (int i = 0; i < kCount; ++i) leaves.push_back(LeafNode::create(int64_t{1'000'000} + i));
    size_t leafBytes = heapInUse() - before - vectorBytes;

    before = heapInUse();
    NodePtr node = EmptyNode::emptyNode();
    {
      std::vector<std::pair<std::string, NodePtr>> entries;
      for (int i = 0; i < kCount; ++i) {
        std::string key = "k";
        key += std::to_string(i);
        entries.emplace_back(std::move(key), LeafNode::create(int64_t{1'000'000} + i));
      }
      node = dz::database::ChildrenNode::create(
          ChildMap::fromEntries(std::move(entries), dz::database::KeyCompare()));
    }
    size_t childBytes = heapInUse() - before;
    state.counters["bytes_per_leaf"] = static_cast<double>(leafBytes) / kCount;
    state.counters["bytes_per_child"] = static_cast<double>(childBytes) / kCount;
    state.counters["sizeof_LeafNode"] = sizeof(LeafNode);
  }
}
BENCHMARK(BM_MemoryPerLeaf)->Iterations(1)->Unit(benchmark::kMillisecond);

// Heap bytes of the whole document as parsed JSON and as a node tree.
void BM_DocumentMemory(benchmark::State& state) {
  for (auto _ : state) {
    size_t before = heapInUse();
    boost::json::value json = parse(document());
    size_t jsonBytes = heapInUse() - before;
    before = heapInUse();
    NodePtr node = SnapshotUtilities::nodeFromJson(json);
    size_t nodeBytes = heapInUse() - before;
    state.counters["json_MB"] = static_cast<double>(jsonBytes) / 1e6;
    state.counters["node_MB"] = static_cast<double>(nodeBytes) / 1e6;
    state.counters["text_MB"] = static_cast<double>(document().size()) / 1e6;
  }
}
BENCHMARK(BM_DocumentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
