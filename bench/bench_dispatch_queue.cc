// Costs of the threading stand-ins: queue hand-offs and run loop posts.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/run_loop.h"

namespace dz::platform {
namespace {

void BM_AsyncThenSync(benchmark::State& state) {
  auto queue = DispatchQueue::create("bench");
  const auto tasks = static_cast<int>(state.range(0));
  int counter = 0;
  for (auto _ : state) {
    for (int i = 0; i < tasks; ++i) queue->async([&counter] { ++counter; });
    queue->sync([] {});
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * tasks);
}
BENCHMARK(BM_AsyncThenSync)->Arg(1)->Arg(1000);

void BM_SyncRoundTrip(benchmark::State& state) {
  auto queue = DispatchQueue::create("bench");
  int counter = 0;
  for (auto _ : state) queue->sync([&counter] { ++counter; });
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SyncRoundTrip);

void BM_AsyncThroughTargetQueue(benchmark::State& state) {
  auto target = DispatchQueue::create("target");
  auto queue = DispatchQueue::create("child", target);
  int counter = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) queue->async([&counter] { ++counter; });
    queue->sync([] {});
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_AsyncThroughTargetQueue);

void BM_ManyQueuesInParallel(benchmark::State& state) {
  std::vector<std::shared_ptr<DispatchQueue>> queues;
  std::vector<int> counters(16);
  for (int q = 0; q < 16; ++q) queues.push_back(DispatchQueue::create("parallel"));
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) {
      for (int q = 0; q < 16; ++q) queues[q]->async([&counters, q] { ++counters[q]; });
    }
    for (auto& queue : queues) queue->sync([] {});
  }
  state.SetItemsProcessed(state.iterations() * 200 * 16);
}
BENCHMARK(BM_ManyQueuesInParallel);

void BM_RunLoopPostFromAnotherThread(benchmark::State& state) {
  RunLoop* loop = nullptr;
  std::atomic<bool> ready{false};
  std::thread thread([&] {
    loop = &RunLoop::current();
    ready = true;
    loop->run();
  });
  while (!ready) std::this_thread::yield();
  std::atomic<int> counter{0};
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) loop->post([&counter] { ++counter; });
    while (counter.load() < 1000) std::this_thread::yield();
    counter = 0;
  }
  loop->stop();
  thread.join();
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_RunLoopPostFromAnotherThread);

}  // namespace
}  // namespace dz::platform

BENCHMARK_MAIN();
