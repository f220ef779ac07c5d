#include "database/utilities/work_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "database/utilities/client_version.h"

namespace dz::database {
namespace {

TEST(WorkQueueTest, OneQueueForEveryThread) {
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  std::vector<std::future<platform::DispatchQueue*>> seen;
  for (int i = 0; i < 4; ++i) {
    seen.push_back(std::async(std::launch::async, [start] {
      start.wait();
      return workQueue().get();
    }));
  }
  go.set_value();
  for (auto& queue : seen) EXPECT_EQ(queue.get(), workQueue().get());
  EXPECT_EQ(workQueue()->label(), "DezuvuraWorker");
}

TEST(WorkQueueTest, RunsTasksOneAtATimeInOrder) {
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) workQueue()->async([&order, i] { order.push_back(i); });
  workQueue()->sync([] {});
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(ClientVersionTest, VersionStrings) {
  EXPECT_EQ(sdkVersion(), "3.1.1");
  EXPECT_EQ(buildVersion(), "3.1.1_20161111_bdc155de7df72dad439cbad6d8caca31b7ef8257");
}

}  // namespace
}  // namespace dz::database
