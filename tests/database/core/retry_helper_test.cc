#include "database/core/retry_helper.h"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

namespace dz::database {
namespace {

using std::chrono::milliseconds;

class RetryHelperTest : public ::testing::Test {
 protected:
  std::shared_ptr<RetryHelper> makeHelper(RetryHelper::Options options = {}) {
    options.retryExponent = static_cast<double>(1.3f);
    return RetryHelper::create(queue_, options, scheduler_, [this] {
      double r = randoms_.empty() ? 0.5 : randoms_.front();
      if (!randoms_.empty()) randoms_.pop_front();
      return r;
    });
  }
  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  // Runs the attempt when it is due within `within` and reports after how long it ran.
  std::optional<milliseconds> retryAndMeasure(RetryHelper& helper, milliseconds within) {
    bool ran = false;
    onQueue([&] { helper.retry([&] { ran = true; }); });
    onQueue([] {});
    milliseconds elapsed{0};
    while (!ran && elapsed < within) {
      scheduler_->advance(milliseconds(1));
      ++elapsed;
      onQueue([] {});
    }
    if (!ran) return std::nullopt;
    return elapsed;
  }

  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("test.retry");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  std::deque<double> randoms_;
};

TEST_F(RetryHelperTest, FirstAttemptRunsAtOnceThenBacksOff) {
  auto helper = makeHelper();
  EXPECT_EQ(retryAndMeasure(*helper, milliseconds(0)), milliseconds(0));
  randoms_ = {0.0};
  // (1 - 0.7) * 1.0 s + 0.7 * 1.0 s * 0 = 300 ms.
  EXPECT_EQ(retryAndMeasure(*helper, milliseconds(2000)), milliseconds(300));
  randoms_ = {0.999};
  auto delay = retryAndMeasure(*helper, milliseconds(2000));
  ASSERT_TRUE(delay);
  EXPECT_GE(*delay, milliseconds(1290));  // base 1.3 s
  EXPECT_LE(*delay, milliseconds(1300));
}

TEST_F(RetryHelperTest, BaseDelayGrowsByTheExponentUpToTheCap) {
  auto helper = makeHelper();
  const double expected[] = {1.0,    1.3,     1.69,    2.197,   2.8561,  3.7129, 4.8268, 6.2749,
                             8.1573, 10.6045, 13.7858, 17.9216, 23.2981, 30.0,   30.0,   30.0};
  onQueue([&] { helper->retry([] {}); });  // the free first attempt
  for (double base : expected) {
    onQueue([&] {
      helper->retry([] {});
      EXPECT_NEAR(helper->currentRetryDelay(), base, 1e-3);
    });
  }
}

TEST_F(RetryHelperTest, JitterFactorBoundsTheDelay) {
  auto exact = makeHelper({.minRetryDelayAfterFailure = 1.0, .jitterFactor = 0.0});
  onQueue([&] { exact->retry([] {}); });
  randoms_ = {0.9};
  EXPECT_EQ(retryAndMeasure(*exact, milliseconds(2000)), milliseconds(1000));

  auto full = makeHelper({.minRetryDelayAfterFailure = 1.0, .jitterFactor = 1.0});
  onQueue([&] { full->retry([] {}); });
  randoms_ = {0.25};
  EXPECT_EQ(retryAndMeasure(*full, milliseconds(2000)), milliseconds(250));
}

TEST_F(RetryHelperTest, ASecondRetryReplacesThePendingOne) {
  auto helper = makeHelper();
  onQueue([&] { helper->retry([] {}); });
  onQueue([] {});
  int first = 0, second = 0;
  onQueue([&] {
    helper->retry([&] { ++first; });
    helper->retry([&] { ++second; });
  });
  scheduler_->advance(std::chrono::seconds(5));
  onQueue([] {});
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_FALSE(helper->hasScheduledRetry());
}

TEST_F(RetryHelperTest, SignalSuccessMakesTheNextAttemptImmediate) {
  auto helper = makeHelper();
  onQueue([&] { helper->retry([] {}); });
  onQueue([&] { helper->retry([] {}); });
  onQueue([&] { helper->signalSuccess(); });
  EXPECT_EQ(retryAndMeasure(*helper, milliseconds(0)), milliseconds(0));
}

TEST_F(RetryHelperTest, CancelWithdrawsTheAttemptAndRestartsAtTheMinimum) {
  auto helper = makeHelper();
  onQueue([&] { helper->retry([] {}); });
  for (int i = 0; i < 4; ++i) onQueue([&] { helper->retry([] {}); });
  bool ran = false;
  onQueue([&] {
    helper->retry([&] { ran = true; });
    helper->cancel();
    EXPECT_FALSE(helper->hasScheduledRetry());
  });
  scheduler_->advance(std::chrono::seconds(60));
  onQueue([] {});
  EXPECT_FALSE(ran);
  // Not zero: a cancel does not count as a success.
  randoms_ = {0.0};
  EXPECT_EQ(retryAndMeasure(*helper, milliseconds(2000)), milliseconds(300));
}

// The owner may let go of the helper on another thread while an attempt is due on the queue:
// the attempt then runs once or not at all, the two threads never touch it at once (the
// sanitizers watch that), and neither the helper nor its attempt outlives the release.
TEST_F(RetryHelperTest, ReleasedOffTheQueueWhileAnAttemptIsDueRunsItAtMostOnceAndFreesIt) {
  constexpr int kHelpers = 300;
  auto witness = std::make_shared<int>(0);  // held by every attempt
  std::vector<int> runs(kHelpers, 0);       // counted on the queue
  std::vector<std::weak_ptr<RetryHelper>> released;
  for (int i = 0; i < kHelpers; ++i) {
    auto helper = makeHelper();
    std::weak_ptr<RetryHelper> weak = helper;
    released.push_back(weak);
    queue_->async([weak, witness, &runs, i] {
      if (auto h = weak.lock()) h->retry([witness, &runs, i] { ++runs[i]; });
    });
    for (int spin = 0; spin < i % 13; ++spin) std::this_thread::yield();
    helper.reset();
  }
  // Once for the retries, once for the attempts they posted.
  onQueue([] {});
  onQueue([] {});
  for (int i = 0; i < kHelpers; ++i) {
    EXPECT_TRUE(released[i].expired()) << i;
    EXPECT_LE(runs[i], 1) << i;
  }
  EXPECT_EQ(witness.use_count(), 1);
}

}  // namespace
}  // namespace dz::database
