// The serial task queue: its tasks run one at a time on a queue of its own over the global work
// queue, each holding the queue until its completion is called.
#include "auth/serial_task_queue.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace dz::auth {
namespace {

// Runs everything the task queues have handed to the global work queue so far.
void drainWorkQueue() {
  globalWorkQueue()->sync([] {});
}

TEST(SerialTaskQueueTest, EachQueueRunsItsTasksOnItsOwnQueueOverTheGlobalWorkQueue) {
  struct Seen {
    std::string label;
    platform::DispatchQueuePtr queue;
    bool onGlobalWorkQueue = false;
  };
  std::vector<Seen> seen;
  auto record = [&seen](SerialTaskQueue::Completion complete) {
    auto current = platform::DispatchQueue::current();
    seen.push_back({current ? current->label() : "", current, globalWorkQueue()->isCurrent()});
    complete();
  };
  auto first = SerialTaskQueue::create();
  auto second = SerialTaskQueue::create();
  for (const auto& queue : {first, second, first}) {
    queue->enqueueTask(record);
    drainWorkQueue();
  }
  ASSERT_EQ(seen.size(), 3u);
  for (const Seen& task : seen) {
    EXPECT_EQ(task.label, "com.vivuro.dezuvura.auth.serialTaskQueue");
    EXPECT_TRUE(task.onGlobalWorkQueue);
  }
  EXPECT_NE(seen[0].queue.get(), seen[1].queue.get());
  EXPECT_EQ(seen[0].queue.get(), seen[2].queue.get());
}

TEST(SerialTaskQueueTest, ATaskHoldsTheQueueUntilItsFirstCompletion) {
  auto queue = SerialTaskQueue::create();
  std::mutex mutex;
  std::vector<std::string> started;
  std::vector<SerialTaskQueue::Completion> held;
  auto holding = [&](const std::string& name) {
    return [&, name](SerialTaskQueue::Completion complete) {
      std::lock_guard lock(mutex);
      started.push_back(name);
      held.push_back(std::move(complete));
    };
  };
  queue->enqueueTask(holding("one"));
  queue->enqueueTask(holding("two"));
  queue->enqueueTask([&](SerialTaskQueue::Completion) {
    {
      std::lock_guard lock(mutex);
      started.push_back("throws");
    }
    throw std::runtime_error("task failed");
  });
  queue->enqueueTask(holding("four"));
  drainWorkQueue();
  auto completion = [&](size_t index) {
    std::lock_guard lock(mutex);
    return held.at(index);
  };
  auto startedSoFar = [&] {
    std::lock_guard lock(mutex);
    return started;
  };
  EXPECT_EQ(startedSoFar(), std::vector<std::string>{"one"});
  // A second completion of the same task releases nothing more.
  completion(0)();
  completion(0)();
  drainWorkQueue();
  EXPECT_EQ(startedSoFar(), (std::vector<std::string>{"one", "two"}));
  // A task that throws counts as finished.
  completion(1)();
  drainWorkQueue();
  drainWorkQueue();
  EXPECT_EQ(startedSoFar(), (std::vector<std::string>{"one", "two", "throws", "four"}));
  completion(2)();
}

}  // namespace
}  // namespace dz::auth
