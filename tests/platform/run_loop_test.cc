#include "platform/run_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "tests/platform/generous_wait.h"
#include "tests/support/due_order.h"

namespace dz::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A run loop running on a thread of its own until the fixture ends.
class LoopThread {
 public:
  LoopThread() {
    std::promise<RunLoop*> made;
    auto ready = made.get_future();
    thread_ = std::thread([&made] {
      RunLoop& loop = RunLoop::current();
      made.set_value(&loop);
      loop.run();
    });
    loop_ = ready.get();
  }
  ~LoopThread() {
    loop_->stop();
    thread_.join();
  }
  RunLoop& loop() { return *loop_; }

  // Runs `task` on the loop's thread and waits for it.
  void runOnLoop(const std::function<void()>& task) {
    std::promise<void> done;
    loop_->post([&] {
      task();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(kGenerousWait), std::future_status::ready);
  }

 private:
  std::thread thread_;
  RunLoop* loop_ = nullptr;
};

// Both ends non-blocking, closed at the end of the test.
struct SocketPair {
  SocketPair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  }
  ~SocketPair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void send(std::string_view bytes) const {
    EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  int fds[2] = {-1, -1};
};

TEST(RunLoopTest, EachThreadHasItsOwnLoopAndTheMainThreadHasTheMainLoop) {
  EXPECT_TRUE(RunLoop::isMainThread());
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
  RunLoop* other = nullptr;
  bool otherIsMain = true;
  std::thread([&] {
    other = &RunLoop::current();
    otherIsMain = RunLoop::isMainThread();
    EXPECT_EQ(&RunLoop::current(), other);
  }).join();
  EXPECT_NE(other, &RunLoop::main());
  EXPECT_FALSE(otherIsMain);
}

TEST(RunLoopTest, AThreadsLoopClosesItsDescriptorsWhenTheThreadEnds) {
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = openDescriptors();
  constexpr int kThreads = 32;
  for (int i = 0; i < kThreads; ++i) {
    std::thread([] {
      bool ran = false;
      RunLoop::current().post([&] { ran = true; });
      RunLoop::current().runUntil([&] { return ran; }, kGenerousWait);
    }).join();
  }
  // Each loop holds two (epoll and eventfd): a leak would show dozens.
  EXPECT_LT(openDescriptors(), before + kThreads);
}

TEST(RunLoopTest, PostedWorkFromManyThreadsRunsOnTheLoopThread) {
  LoopThread loopThread;
  std::mutex mutex;
  std::vector<std::vector<int>> seen(4);
  std::atomic<int> offThread{0};
  std::thread::id loopId;
  loopThread.runOnLoop([&] { loopId = std::this_thread::get_id(); });
  std::vector<std::thread> posters;
  for (int p = 0; p < 4; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < 500; ++i) {
        loopThread.loop().post([&, p, i] {
          if (std::this_thread::get_id() != loopId) ++offThread;
          std::lock_guard lock(mutex);
          seen[p].push_back(i);
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  loopThread.runOnLoop([] {});
  for (const auto& fromOne : seen) {
    ASSERT_EQ(fromOne.size(), 500u);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(fromOne[i], i);
  }
  EXPECT_EQ(offThread.load(), 0);
}

TEST(RunLoopTest, RunOnceReportsWhetherAnythingRan) {
  RunLoop& loop = RunLoop::main();
  while (loop.runOnce(Duration::zero())) {
  }
  EXPECT_FALSE(loop.runOnce(milliseconds(1)));
  bool ran = false;
  loop.post([&] { ran = true; });
  EXPECT_TRUE(loop.runOnce(Duration::zero()));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(loop.runUntil([] { return false; }, milliseconds(5)));
}

TEST(RunLoopTest, WaitsSeeWorkAndConditionsFromOtherThreads) {
  RunLoop& loop = RunLoop::main();
  while (loop.runOnce(Duration::zero())) {
  }
  // The timer's wake-up alone runs nothing: runOnce goes on waiting until the timer fires.
  bool fired = false;
  std::thread adder([&] { loop.addTimer(milliseconds(2), false, [&] { fired = true; }); });
  EXPECT_TRUE(loop.runOnce(kGenerousWait));
  adder.join();
  EXPECT_TRUE(fired);

  // Nothing is posted to the loop: runUntil still notices.
  std::atomic<bool> flag{false};
  std::thread setter([&] { flag = true; });
  EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, kGenerousWait));
  setter.join();
}

TEST(RunLoopTest, TimersFireInDueOrderAndOneShotsOnce) {
  RunLoop& loop = RunLoop::main();
  const std::vector<milliseconds> delays{milliseconds(30), milliseconds(10), milliseconds(20)};
  dz::testing::DueOrder due;
  std::vector<TimerPtr> timers;
  std::vector<size_t> order;
  for (size_t i = 0; i < delays.size(); ++i) {
    due.start(delays[i], [&] {
      timers.push_back(loop.addTimer(delays[i], false, [&, i] { order.push_back(i); }));
    });
  }
  auto never = loop.addTimer(milliseconds(15), false, [&] { order.push_back(delays.size()); });
  never->invalidate();
  EXPECT_FALSE(never->isValid());
  EXPECT_TRUE(timers[1]->isValid());
  EXPECT_TRUE(loop.runUntil([&] { return order.size() >= delays.size(); }, kGenerousWait));
  // Another, later timer shows that nothing fires twice.
  bool after = false;
  auto marker = loop.addTimer(milliseconds(5), false, [&] { after = true; });
  EXPECT_TRUE(loop.runUntil([&] { return after; }, kGenerousWait));
  due.expectKeptBy(order);
  for (const TimerPtr& timer : timers) EXPECT_FALSE(timer->isValid());
}

TEST(RunLoopTest, RepeatingTimerInvalidatedFromItsOwnCallbackStops) {
  RunLoop& loop = RunLoop::main();
  int ticks = 0;
  TimerPtr timer;
  timer = loop.addTimer(milliseconds(1), true, [&] {
    if (++ticks == 3) timer->invalidate();
  });
  EXPECT_TRUE(loop.runUntil([&] { return ticks == 3; }, kGenerousWait));
  EXPECT_FALSE(timer->isValid());
  bool later = false;
  auto marker = loop.addTimer(milliseconds(10), false, [&] { later = true; });
  EXPECT_TRUE(loop.runUntil([&] { return later; }, kGenerousWait));
  EXPECT_EQ(ticks, 3);
}

TEST(RunLoopTest, RepeatingTimerWithoutAPositiveIntervalIsRefused) {
  RunLoop& loop = RunLoop::main();
  int ticks = 0;
  for (Duration interval : {Duration::zero(), Duration(-milliseconds(1))}) {
    try {
      loop.addTimer(interval, true, [&] { ++ticks; });
      ADD_FAILURE() << "accepted";
    } catch (const dz::Exception& e) {
      EXPECT_EQ(e.name(), kInvalidArgumentException);
    }
  }
  // Such a timer, once in, would be due again at once for ever and this pass would never end.
  EXPECT_FALSE(loop.runOnce(Duration::zero()));
  // A one-shot timer may be due at once.
  auto now = loop.addTimer(Duration::zero(), false, [&] { ++ticks; });
  EXPECT_TRUE(loop.runUntil([&] { return ticks == 1; }, kGenerousWait));
}

TEST(RunLoopTest, TimerInvalidatedFromAnotherThreadNeverFiresAgain) {
  LoopThread loopThread;
  std::atomic<int> ticks{0};
  std::promise<void> ticking;
  auto timer = loopThread.loop().addTimer(milliseconds(1), true, [&] {
    if (++ticks == 2) ticking.set_value();
  });
  ASSERT_EQ(ticking.get_future().wait_for(kGenerousWait), std::future_status::ready);
  timer->invalidate();
  const int atInvalidate = ticks.load();
  bool later = false;
  auto marker = loopThread.loop().addTimer(milliseconds(10), false, [&] { later = true; });
  loopThread.runOnLoop([] {});
  std::promise<void> markerFired;
  auto waiter =
      loopThread.loop().addTimer(milliseconds(20), false, [&] { markerFired.set_value(); });
  ASSERT_EQ(markerFired.get_future().wait_for(kGenerousWait), std::future_status::ready);
  EXPECT_EQ(ticks.load(), atInvalidate);
}

TEST(RunLoopTest, FdSourcesReportReadableAndWritableLevelTriggered) {
  RunLoop& loop = RunLoop::main();
  SocketPair pair;
  std::string received;
  int readCalls = 0, writableCalls = 0;
  loop.addFd(pair.fds[0], EPOLLIN, [&](uint32_t events) {
    if (events & EPOLLOUT) ++writableCalls;
    if (!(events & EPOLLIN)) return;
    ++readCalls;
    char byte;
    if (::read(pair.fds[0], &byte, 1) == 1) received.push_back(byte);
  });
  std::thread writer([&] { pair.send("abc"); });
  // One byte per call: the level-triggered source keeps calling while data is left.
  EXPECT_TRUE(loop.runUntil([&] { return received.size() == 3; }, kGenerousWait));
  writer.join();
  EXPECT_EQ(received, "abc");
  EXPECT_EQ(readCalls, 3);
  EXPECT_EQ(writableCalls, 0);

  loop.modifyFd(pair.fds[0], EPOLLOUT);
  EXPECT_TRUE(loop.runUntil([&] { return writableCalls > 0; }, kGenerousWait));
  loop.modifyFd(pair.fds[0], EPOLLIN);
  const int writableBefore = writableCalls;
  bool marker = false;
  auto timer = loop.addTimer(milliseconds(5), false, [&] { marker = true; });
  EXPECT_TRUE(loop.runUntil([&] { return marker; }, kGenerousWait));
  EXPECT_EQ(writableCalls, writableBefore);
  EXPECT_EQ(readCalls, 3);
  loop.removeFd(pair.fds[0]);
}

TEST(RunLoopTest, AWaitEndedByOneOneShotSourceStillCallsTheOthersReadyWithIt) {
  RunLoop& loop = RunLoop::main();
  SocketPair first, second;
  first.send("x");
  second.send("x");
  int calls = 0;
  // Both are ready before the loop waits, so one wait reports both; the condition holds after
  // either handler. A one-shot source is reported once: an event left undelivered never returns.
  for (const SocketPair* pair : {&first, &second}) {
    loop.addFd(pair->fds[0], EPOLLIN | EPOLLONESHOT, [&](uint32_t) { ++calls; });
  }
  EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, kGenerousWait));
  EXPECT_TRUE(loop.runUntil([&] { return calls == 2; }, kGenerousWait));
  loop.removeFd(first.fds[0]);
  loop.removeFd(second.fds[0]);
}

TEST(RunLoopTest, RemovedFdSourceIsNeverCalledAgain) {
  RunLoop& loop = RunLoop::main();
  SocketPair pair;
  pair.send("x");  // never read: the fd stays readable
  int calls = 0;
  loop.addFd(pair.fds[0], EPOLLIN, [&](uint32_t) {
    ++calls;
    loop.removeFd(pair.fds[0]);
  });
  EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, kGenerousWait));
  bool marker = false;
  auto timer = loop.addTimer(milliseconds(10), false, [&] { marker = true; });
  EXPECT_TRUE(loop.runUntil([&] { return marker; }, kGenerousWait));
  EXPECT_EQ(calls, 1);
}

TEST(RunLoopTest, FdSourceRemovedFromAnotherThreadIsNeverCalledAfterRemoveReturns) {
  LoopThread loopThread;
  SocketPair pair;
  pair.send("x");
  std::atomic<int> calls{0};
  std::promise<void> called;
  loopThread.loop().addFd(pair.fds[0], EPOLLIN, [&](uint32_t) {
    if (++calls == 5) called.set_value();
  });
  ASSERT_EQ(called.get_future().wait_for(kGenerousWait), std::future_status::ready);
  loopThread.loop().removeFd(pair.fds[0]);
  const int atRemove = calls.load();
  loopThread.runOnLoop([] {});
  loopThread.runOnLoop([] {});
  EXPECT_EQ(calls.load(), atRemove);
}

TEST(RunLoopTest, FdSourcesAddedAndRemovedFromManyThreadsAreNeverCalledAfterRemoval) {
  LoopThread loopThread;
  std::atomic<int> lateCalls{0};
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 100; ++round) {
        SocketPair pair;
        pair.send("r");  // stays readable: the handler is called on every pass
        auto removed = std::make_shared<std::atomic<bool>>(false);
        loopThread.loop().addFd(pair.fds[0], EPOLLIN, [&, removed](uint32_t) {
          ++calls;
          if (removed->load()) ++lateCalls;
        });
        if (round % 2 == 0) std::this_thread::yield();
        loopThread.loop().removeFd(pair.fds[0]);
        removed->store(true);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  loopThread.runOnLoop([] {});
  EXPECT_EQ(lateCalls.load(), 0);
}

TEST(RunLoopTest, AddingAnFdAgainReplacesItsHandler) {
  RunLoop& loop = RunLoop::main();
  SocketPair pair;
  int oldCalls = 0, newCalls = 0;
  loop.addFd(pair.fds[0], EPOLLIN, [&](uint32_t) { ++oldCalls; });
  loop.addFd(pair.fds[0], EPOLLIN, [&](uint32_t) {
    char byte;
    if (::read(pair.fds[0], &byte, 1) == 1) ++newCalls;
  });
  pair.send("y");
  EXPECT_TRUE(loop.runUntil([&] { return newCalls == 1; }, kGenerousWait));
  EXPECT_EQ(oldCalls, 0);
  loop.removeFd(pair.fds[0]);
  loop.removeFd(pair.fds[0]);  // a second remove is harmless
  loop.modifyFd(pair.fds[0], EPOLLIN);
}

TEST(RunLoopTest, WatchingAnFdEpollRefusesThrows) {
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  try {
    RunLoop::main().addFd(fd, EPOLLIN, [](uint32_t) {});
    FAIL() << "a regular file was accepted";
  } catch (const dz::Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
  }
  ::close(fd);
}

TEST(RunLoopTest, ThrowingCallbacksAreLoggedAndTheLoopGoesOn) {
  RunLoop& loop = RunLoop::main();
  SocketPair pair;
  pair.send("z");
  bool fdThrew = false;
  loop.addFd(pair.fds[0], EPOLLIN, [&](uint32_t) {
    fdThrew = true;
    loop.removeFd(pair.fds[0]);
    throw std::runtime_error("fd");
  });
  loop.post([] { throw std::runtime_error("posted"); });
  auto timer = loop.addTimer(milliseconds(1), false, [] { throw 7; });
  bool after = false;
  auto marker = loop.addTimer(milliseconds(5), false, [&] { after = true; });
  EXPECT_TRUE(loop.runUntil([&] { return after && fdThrew; }, kGenerousWait));
}

TEST(RunLoopTest, SelfRepostingWorkDoesNotStarveTimers) {
  RunLoop& loop = RunLoop::main();
  bool fired = false;
  int posts = 0;
  std::function<void()> again = [&] {
    ++posts;
    if (!fired) loop.post(again);
  };
  loop.post(again);
  auto timer = loop.addTimer(milliseconds(5), false, [&] { fired = true; });
  EXPECT_TRUE(loop.runUntil([&] { return fired; }, kGenerousWait));
  loop.runUntil([] { return false; }, milliseconds(1));
  EXPECT_GT(posts, 0);
}

TEST(RunLoopTest, StopEndsRunFromAnyThread) {
  LoopThread* loopThread = new LoopThread();
  loopThread->runOnLoop([] {});
  delete loopThread;  // stop() from this thread, then join

  std::thread([] {
    RunLoop& loop = RunLoop::current();
    loop.stop();
    loop.run();  // returns at once: the stop came first
    int ran = 0;
    loop.post([&] {
      ++ran;
      loop.stop();
    });
    loop.post([&] { ++ran; });
    loop.run();
    EXPECT_EQ(ran, 1);
    loop.runOnce(Duration::zero());
    EXPECT_EQ(ran, 2);
  }).join();
}

TEST(RunLoopTest, MainQueueRunsWhenRunOnceOrRunIsUsed) {
  RunLoop& loop = RunLoop::main();
  int ran = 0;
  DispatchQueue::main()->async([&] { ++ran; });
  while (ran == 0 && loop.runOnce(kGenerousWait)) {
  }
  EXPECT_EQ(ran, 1);
  DispatchQueue::main()->async([&] {
    ++ran;
    RunLoop::main().stop();
  });
  loop.run();
  EXPECT_EQ(ran, 2);
}

}  // namespace
}  // namespace dz::platform
