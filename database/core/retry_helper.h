// RetryHelper: schedules the persistent connection's connection attempts with exponential backoff
// and jitter. One attempt is pending at a time; signalSuccess() makes the next one run at once.
// Every method is called on the given queue, where the attempts run too. Owned by its
// PersistentConnection. Time comes from the injected Scheduler and randomness from the injected
// source, so tests drive both.
#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch_queue.h"
#include "platform/scheduler.h"

namespace dz::database {

class RetryHelperTask;

class RetryHelper : public std::enable_shared_from_this<RetryHelper> {
 public:
  // A uniformly random double in [0, 1).
  using RandomSource = std::function<double()>;

  struct Options {
    double minRetryDelayAfterFailure = 1.0;  // seconds
    double maxRetryDelay = 30.0;             // seconds
    double retryExponent = 1.3;
    double jitterFactor = 0.7;  // 0..1, the randomised part of the delay
  };

  // A null scheduler means the system one; a null random source randomDouble().
  static std::shared_ptr<RetryHelper> create(platform::DispatchQueuePtr queue, Options options,
                                             std::shared_ptr<platform::Scheduler> scheduler = {},
                                             RandomSource random = {});

  RetryHelper(const RetryHelper&) = delete;
  RetryHelper& operator=(const RetryHelper&) = delete;
  ~RetryHelper();

  // Schedules `attempt` after the backoff delay, replacing any pending attempt.
  void retry(std::function<void()> attempt);
  // The next attempt runs without delay and the delay starts over.
  void signalSuccess();
  // Withdraws the pending attempt; the next delay after a failure starts at the minimum again.
  void cancel();

  bool hasScheduledRetry() const { return scheduledRetry_ != nullptr; }
  // The base delay of the last attempt, in seconds; 0 when the delay starts over.
  double currentRetryDelay() const { return currentRetryDelay_; }

 private:
  RetryHelper(platform::DispatchQueuePtr queue, Options options,
              std::shared_ptr<platform::Scheduler> scheduler, RandomSource random);
  void cancelScheduled(const char* code);

  bool lastWasSuccess_ = true;
  platform::DispatchQueuePtr dispatchQueue_;
  Options options_;
  double currentRetryDelay_ = 0;
  std::shared_ptr<RetryHelperTask> scheduledRetry_;
  platform::CancellablePtr scheduledTimer_;  // the timer of the last attempt, when it had one
  std::shared_ptr<platform::Scheduler> scheduler_;
  RandomSource random_;
};

// The cancellable holder of one scheduled attempt.
class RetryHelperTask {
 public:
  explicit RetryHelperTask(std::function<void()> block) : block_(std::move(block)) {}
  void cancel();
  bool isCanceled() const { return !block_; }
  void execute();
  void setTimer(platform::CancellablePtr timer) { timer_ = std::move(timer); }

 private:
  std::function<void()> block_;
  platform::CancellablePtr timer_;
};

}  // namespace dz::database
