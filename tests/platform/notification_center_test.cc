#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "platform/run_loop.h"
#include "tests/support/capture_stderr.h"

namespace dz::platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 10s;

char senderA;
char senderB;

TEST(NotificationCenterTest, ObserverWithoutQueueRunsOnPostingThreadBeforePostReturns) {
  NotificationCenter center;
  std::thread::id calledOn;
  Value::Map received;
  center.addObserver("changed", nullptr, nullptr, [&](const Notification& notification) {
    calledOn = std::this_thread::get_id();
    received = notification.userInfo;
  });
  std::thread poster([&] {
    center.post("changed", &senderA, {{"index", Value(3)}});
    EXPECT_EQ(calledOn, std::this_thread::get_id());
  });
  poster.join();
  EXPECT_EQ(received, (Value::Map{{"index", Value(3)}}));
}

TEST(NotificationCenterTest, DeliversByNameAndSenderFilter) {
  NotificationCenter center;
  std::vector<std::string> seen;
  center.addObserver("n", &senderA, nullptr, [&](const Notification& n) {
    seen.push_back(n.sender == &senderA ? "filtered:A" : "filtered:other");
  });
  center.addObserver("n", nullptr, nullptr, [&](const Notification& n) {
    seen.push_back(n.sender == &senderA ? "any:A" : n.sender ? "any:B" : "any:none");
  });
  center.addObserver("other", nullptr, nullptr, [&](const Notification&) { seen.push_back("x"); });

  center.post("n", &senderA);
  center.post("n", &senderB);
  center.post("n");
  EXPECT_EQ(seen, (std::vector<std::string>{"filtered:A", "any:A", "any:B", "any:none"}));
}

TEST(NotificationCenterTest, ObserverWithQueueIsCalledOnThatQueue) {
  NotificationCenter center;
  auto queue = DispatchQueue::create("observer");
  std::promise<bool> onQueue;
  center.addObserver("n", nullptr, queue,
                     [&](const Notification&) { onQueue.set_value(queue->isCurrent()); });
  center.post("n");
  auto future = onQueue.get_future();
  ASSERT_EQ(future.wait_for(kTimeout), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST(NotificationCenterTest, MainQueueObserverIsCalledInlineWhenPostedOnMainThread) {
  ASSERT_TRUE(RunLoop::isMainThread());
  NotificationCenter center;
  int calls = 0;
  center.addObserver("n", nullptr, DispatchQueue::main(), [&](const Notification&) { ++calls; });
  center.post("n");
  EXPECT_EQ(calls, 1);  // before post returned, without pumping the run loop
}

TEST(NotificationCenterTest, MainQueueObserverGetsPostsFromOtherThreadsThroughTheMainQueue) {
  NotificationCenter center;
  std::atomic<int> calls = 0;
  std::atomic<bool> onMain = false;
  center.addObserver("n", nullptr, DispatchQueue::main(), [&](const Notification&) {
    onMain = RunLoop::isMainThread();
    ++calls;
  });
  std::thread([&] { center.post("n"); }).join();
  EXPECT_EQ(calls, 0);  // queued: nothing runs the main queue until we pump it
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return calls == 1; }, kTimeout));
  EXPECT_TRUE(onMain);
}

TEST(NotificationCenterTest, RemovedObserverIsNotCalledAgainEvenWithDeliveriesQueued) {
  NotificationCenter center;
  auto queue = DispatchQueue::create("blocked");
  std::promise<void> unblock;
  std::shared_future<void> unblocked = unblock.get_future().share();
  queue->async([unblocked] { unblocked.wait(); });
  std::atomic<int> calls = 0;
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification&) { ++calls; });
  center.post("n");  // waits behind the blocking task
  center.removeObserver(token);
  unblock.set_value();
  queue->sync([] {});
  EXPECT_EQ(calls, 0);
  center.post("n");
  queue->sync([] {});
  EXPECT_EQ(calls, 0);
}

TEST(NotificationCenterTest, RemovalWaitsForACallInProgressOnAnotherThread) {
  NotificationCenter center;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callbackDone = false;
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    entered.set_value();
    released.wait();
    callbackDone = true;
  });
  std::thread poster([&] { center.post("n"); });
  entered.get_future().wait();

  std::promise<bool> doneWhenRemoved;
  auto removedFuture = doneWhenRemoved.get_future();
  std::thread remover([&] {
    center.removeObserver(token);
    doneWhenRemoved.set_value(callbackDone.load());
  });
  // removeObserver must not come back while the callback is still running.
  EXPECT_EQ(removedFuture.wait_for(100ms), std::future_status::timeout);
  release.set_value();
  ASSERT_EQ(removedFuture.wait_for(kTimeout), std::future_status::ready);
  EXPECT_TRUE(removedFuture.get());
  poster.join();
  remover.join();
}

TEST(NotificationCenterTest, NoCallStartsOrRunsAfterRemovalReturnsUnderConcurrentPosts) {
  NotificationCenter center;
  std::atomic<int> inFlight = 0;
  std::atomic<bool> removed = false;
  std::atomic<int> callsAfterRemoval = 0;
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    ++inFlight;
    if (removed) ++callsAfterRemoval;
    std::this_thread::yield();
    --inFlight;
  });
  std::atomic<bool> stop = false;
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&] {
      while (!stop) center.post("n");
    });
  }
  while (inFlight == 0) std::this_thread::yield();  // posts are under way
  center.removeObserver(token);
  EXPECT_EQ(inFlight, 0);
  removed = true;
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  stop = true;
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(callsAfterRemoval, 0);
}

TEST(NotificationCenterTest, CallbacksMayPostAddAndRemoveFromInside) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::ObserverToken self = 0;
  NotificationCenter::ObserverToken added = 0;
  self = center.addObserver("first", nullptr, nullptr, [&](const Notification&) {
    seen.push_back("first");
    center.removeObserver(self);  // from inside its own call: must not wait on itself
    added = center.addObserver("second", nullptr, nullptr,
                               [&](const Notification&) { seen.push_back("second"); });
    center.post("second");
  });
  center.post("first");
  center.post("first");
  center.post("second");
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second", "second"}));
  EXPECT_NE(added, 0u);
}

TEST(NotificationCenterTest, ThrowingObserverDoesNotStopOthersOrEscapePost) {
  NotificationCenter center;
  int calls = 0;
  center.addObserver("n", nullptr, nullptr,
                     [](const Notification&) { throw std::runtime_error("observer failed"); });
  center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    throw dz::Exception("Named", "forged\nsecond line");
  });
  center.addObserver("n", nullptr, nullptr, [&](const Notification&) { ++calls; });
  dz::testing::StderrCapture capture;
  EXPECT_NO_THROW(center.post("n"));
  EXPECT_EQ(calls, 1);
  // Logged with the exception's name, and text from elsewhere cannot pass for a log line.
  const std::string logged = capture.text();
  EXPECT_NE(logged.find("NotificationCenter observer of n: task threw: observer failed\n"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find("threw Named: forged second line\n"), std::string::npos) << logged;
}

TEST(NotificationCenterTest, RemovalReleasesWhatTheCallbackHolds) {
  NotificationCenter center;
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  auto token = center.addObserver("n", nullptr, nullptr, [held](const Notification&) {});
  held.reset();
  EXPECT_FALSE(watch.expired());
  center.removeObserver(token);
  EXPECT_TRUE(watch.expired());
  center.removeObserver(token);  // again, and unknown tokens: ignored
  center.removeObserver(0);
}

TEST(NotificationCenterTest, DefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace dz::platform
