#include "database/core/retry_helper.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "database/utilities/logging.h"
#include "database/utilities/utilities.h"

namespace dz::database {
namespace {

constexpr char kCancelingOnRetryCode[] = "I-RDB05401";
constexpr char kRetrySchedulingCode[] = "I-RDB05402";
constexpr char kCancelingCode[] = "I-RDB05403";
constexpr char kNothingToCancelCode[] = "I-RDB05404";
constexpr char kCancelingMessage[] = "Canceling existing retry attempt";
constexpr char kNothingToCancelMessage[] = "No existing retry attempt to cancel";

}  // namespace

void RetryHelperTask::cancel() {
  block_ = nullptr;
  if (timer_) timer_->cancel();
  timer_ = nullptr;
}

void RetryHelperTask::execute() {
  auto block = std::move(block_);
  block_ = nullptr;
  timer_ = nullptr;
  if (block) block();
}

std::shared_ptr<RetryHelper> RetryHelper::create(platform::DispatchQueuePtr queue, Options options,
                                                 std::shared_ptr<platform::Scheduler> scheduler,
                                                 RandomSource random) {
  return std::shared_ptr<RetryHelper>(
      new RetryHelper(std::move(queue), options, std::move(scheduler), std::move(random)));
}

RetryHelper::RetryHelper(platform::DispatchQueuePtr queue, Options options,
                         std::shared_ptr<platform::Scheduler> scheduler, RandomSource random)
    : dispatchQueue_(std::move(queue)),
      options_(options),
      scheduler_(scheduler ? std::move(scheduler) : platform::Scheduler::system()),
      random_(random ? std::move(random) : RandomSource(randomDouble)) {}

RetryHelper::~RetryHelper() {
  // The owner may let go on another thread while the attempt is due on the queue: the task is left
  // alone (the attempt sees this helper gone) and only the thread-safe timer is withdrawn.
  if (scheduledTimer_) scheduledTimer_->cancel();
}

void RetryHelper::retry(std::function<void()> attempt) {
  if (scheduledRetry_) cancelScheduled(kCancelingOnRetryCode);

  double delay = 0;
  if (!lastWasSuccess_) {
    currentRetryDelay_ =
        currentRetryDelay_ == 0
            ? options_.minRetryDelayAfterFailure
            : std::min(currentRetryDelay_ * options_.retryExponent, options_.maxRetryDelay);
    double r = std::clamp(random_(), 0.0, 1.0);
    delay = (1 - options_.jitterFactor) * currentRetryDelay_ +
            options_.jitterFactor * currentRetryDelay_ * r;
    char text[64];
    std::snprintf(text, sizeof text, "Scheduling retry in %fs", delay);
    logDebug(kRetrySchedulingCode, text);
  }
  lastWasSuccess_ = false;

  auto task = std::make_shared<RetryHelperTask>(std::move(attempt));
  scheduledRetry_ = task;
  std::weak_ptr<RetryHelper> weakSelf = weak_from_this();
  auto fire = [weakSelf, task] {
    auto self = weakSelf.lock();
    if (!self || task->isCanceled()) return;
    if (self->scheduledRetry_ == task) self->scheduledRetry_ = nullptr;
    task->execute();
  };
  auto nanos = std::chrono::nanoseconds(static_cast<int64_t>(delay * 1e9));
  if (nanos.count() <= 0) {
    scheduledTimer_ = nullptr;
    dispatchQueue_->async(std::move(fire));
  } else {
    scheduledTimer_ = scheduler_->schedule(nanos, dispatchQueue_, std::move(fire));
    task->setTimer(scheduledTimer_);
  }
}

void RetryHelper::signalSuccess() {
  lastWasSuccess_ = true;
  currentRetryDelay_ = 0;
}

void RetryHelper::cancel() {
  if (scheduledRetry_) {
    cancelScheduled(kCancelingCode);
  } else {
    logDebug(kNothingToCancelCode, kNothingToCancelMessage);
  }
  currentRetryDelay_ = 0;
}

void RetryHelper::cancelScheduled(const char* code) {
  logDebug(code, kCancelingMessage);
  scheduledRetry_->cancel();
  scheduledRetry_ = nullptr;
}

}  // namespace dz::database
