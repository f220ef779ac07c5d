#include "platform/run_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/exception.h"
#include "platform/task_guard.h"

namespace dz::platform {
namespace {

constexpr char kPostedOwner[] = "RunLoop posted task";
constexpr char kTimerOwner[] = "RunLoop timer";
constexpr char kFdOwner[] = "RunLoop fd source";
constexpr int kMaxEventsPerWait = 64;
// epoll data of the wake-up eventfd; fd sources carry (generation << 32 | fd) with generation > 0.
constexpr uint64_t kWakeTag = 0;
// Longest single wait of run(); it loops anyway.
constexpr auto kRunSliceWait = std::chrono::hours(1);
// runUntil() also looks at its condition this often, for conditions other threads change
// without posting to the loop.
constexpr auto kConditionPollInterval = std::chrono::milliseconds(5);

int currentThreadId() {
  thread_local const int id = static_cast<int>(::gettid());
  return id;
}

int waitMillis(Duration d) {
  if (d <= Duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

using TimerKey = std::pair<TimePoint, uint64_t>;

struct LoopState;

class LoopTimer : public Timer {
 public:
  LoopTimer(std::weak_ptr<LoopState> loop, Duration interval, bool repeats, RunLoop::Task task)
      : loop_(std::move(loop)), interval_(interval), repeats_(repeats), task_(std::move(task)) {}

  void invalidate() override;
  bool isValid() const override { return valid_.load(); }

  // Called by the loop when the timer is due, already rescheduled when it repeats.
  void fire() {
    RunLoop::Task finished;
    std::unique_lock call(callMutex_);
    if (!valid_) return;
    ++running_;  // a depth: the callback may run a nested loop that fires it again
    runCatchingAll(task_, kTimerOwner);
    --running_;
    if (!repeats_) valid_ = false;
    if (!valid_ && running_ == 0) finished = std::move(task_);
    call.unlock();
  }

  // Drops the task when the loop goes away first.
  void abandon() {
    RunLoop::Task finished;
    std::lock_guard call(callMutex_);
    valid_ = false;
    if (running_ == 0) finished = std::move(task_);
  }

  Duration interval() const { return interval_; }
  bool repeats() const { return repeats_; }
  TimerKey key;  // guarded by the loop's mutex

 private:
  const std::weak_ptr<LoopState> loop_;
  const Duration interval_;
  const bool repeats_;
  // Held while the callback runs; recursive so the callback may invalidate its own timer.
  std::recursive_mutex callMutex_;
  std::atomic<bool> valid_{true};
  int running_ = 0;
  RunLoop::Task task_;
};

struct FdSource {
  FdSource(uint32_t generation, RunLoop::FdHandler handler)
      : generation(generation), handler(std::move(handler)) {}
  const uint32_t generation;
  const RunLoop::FdHandler handler;
  // Held while the handler runs; recursive so the handler may remove or replace its own source.
  std::recursive_mutex callMutex;
  bool removed = false;  // guarded by callMutex
};

void markRemoved(const std::shared_ptr<FdSource>& source) {
  if (!source) return;
  std::lock_guard call(source->callMutex);
  source->removed = true;
}

struct LoopState {
  std::mutex mutex;
  std::deque<RunLoop::Task> posted;
  std::map<TimerKey, std::shared_ptr<LoopTimer>> timers;
  uint64_t nextTimerSeq = 0;
  std::unordered_map<int, std::shared_ptr<FdSource>> sources;
  uint32_t nextGeneration = 1;

  void removeTimer(LoopTimer* timer) {
    std::shared_ptr<LoopTimer> removed;
    std::lock_guard lock(mutex);
    auto it = timers.find(timer->key);
    if (it == timers.end() || it->second.get() != timer) return;
    removed = std::move(it->second);
    timers.erase(it);
  }
};

void LoopTimer::invalidate() {
  RunLoop::Task finished;
  {
    std::lock_guard call(callMutex_);
    if (!valid_) return;
    valid_ = false;
    // A running callback is the task itself: the loop drops it when the call returns.
    if (running_ == 0) finished = std::move(task_);
  }
  if (auto loop = loop_.lock()) loop->removeTimer(this);
}

}  // namespace

struct RunLoop::Impl {
  int ownerThreadId = 0;
  int epollFd = -1;
  int wakeFd = -1;
  std::atomic<bool> stopRequested{false};
  std::shared_ptr<LoopState> state = std::make_shared<LoopState>();

  void wake() {
    if (currentThreadId() == ownerThreadId) return;  // the loop is not blocked: it is us
    uint64_t one = 1;
    // A full counter already means a pending wake-up.
    [[maybe_unused]] ssize_t written = ::write(wakeFd, &one, sizeof one);
  }

  void drainWake() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(wakeFd, &count, sizeof count);
  }

  Duration untilNextWork(TimePoint now) {
    std::lock_guard lock(state->mutex);
    if (!state->posted.empty()) return Duration::zero();
    if (state->timers.empty()) return Duration::max();
    return state->timers.begin()->first.first - now;
  }

  bool dispatchFd(uint64_t tag, uint32_t events) {
    const int fd = static_cast<int>(tag & 0xffffffffu);
    const auto generation = static_cast<uint32_t>(tag >> 32);
    std::shared_ptr<FdSource> source;
    {
      std::lock_guard lock(state->mutex);
      auto it = state->sources.find(fd);
      if (it == state->sources.end() || it->second->generation != generation) return false;
      source = it->second;
    }
    std::lock_guard call(source->callMutex);
    if (source->removed) return false;
    runCatchingAll([&] { source->handler(events); }, kFdOwner);
    return true;
  }

  std::shared_ptr<LoopTimer> takeDueTimer(TimePoint now) {
    std::lock_guard lock(state->mutex);
    auto first = state->timers.begin();
    if (first == state->timers.end() || first->first.first > now) return nullptr;
    std::shared_ptr<LoopTimer> timer = std::move(first->second);
    const TimePoint due = first->first.first;
    state->timers.erase(first);
    if (timer->repeats()) {
      // Missed ticks are skipped rather than run in a burst.
      TimePoint next = deadlineAfter(due, timer->interval());
      if (next <= now) next = deadlineAfter(now, timer->interval());
      timer->key = {next, state->nextTimerSeq++};
      state->timers.emplace(timer->key, timer);
    }
    return timer;
  }

  bool takePosted(Task* task) {
    std::lock_guard lock(state->mutex);
    if (state->posted.empty()) return false;
    *task = std::move(state->posted.front());
    state->posted.pop_front();
    return true;
  }

  size_t postedCount() {
    std::lock_guard lock(state->mutex);
    return state->posted.size();
  }

  // One pass: fd events, due timers, then the work posted before the pass. `done` is checked
  // after the fd events and after every other callback, and ends the pass early. Every event the
  // wait returned is dispatched: the kernel reports a one-shot source's event only once.
  bool runPass(Duration maxWait, const std::function<bool()>* done) {
    const TimePoint start = std::chrono::steady_clock::now();
    const Duration wait = std::min(maxWait, untilNextWork(start));
    epoll_event events[kMaxEventsPerWait];
    int count = ::epoll_wait(epollFd, events, kMaxEventsPerWait, waitMillis(wait));
    if (count < 0) count = 0;  // EINTR: the caller loops
    auto finished = [done] { return done && (*done)(); };

    bool ran = false;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == kWakeTag) {
        drainWake();
        continue;
      }
      if (dispatchFd(events[i].data.u64, events[i].events)) ran = true;
    }
    if (ran && finished()) return true;
    const TimePoint now = std::chrono::steady_clock::now();
    while (auto timer = takeDueTimer(now)) {
      timer->fire();
      ran = true;
      if (finished()) return true;
    }
    // Work posted by these tasks waits for the next pass, so a task that re-posts itself cannot
    // keep the loop from its fds and timers.
    for (size_t n = postedCount(); n > 0; --n) {
      Task task;
      if (!takePosted(&task)) break;
      runCatchingAll(task, kPostedOwner);
      ran = true;
      if (finished()) return true;
    }
    return ran;
  }
};

RunLoop::RunLoop(int ownerThreadId) : impl_(std::make_unique<Impl>()) {
  impl_->ownerThreadId = ownerThreadId;
  impl_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->epollFd < 0 || impl_->wakeFd < 0) {
    std::string reason = systemError("RunLoop cannot create its epoll or eventfd");
    if (impl_->epollFd >= 0) ::close(impl_->epollFd);
    if (impl_->wakeFd >= 0) ::close(impl_->wakeFd);
    throw dz::Exception(kInternalInconsistencyException, reason);
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  ::epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->wakeFd, &event);
}

RunLoop::~RunLoop() {
  std::map<TimerKey, std::shared_ptr<LoopTimer>> timers;
  std::deque<Task> posted;
  std::unordered_map<int, std::shared_ptr<FdSource>> sources;
  {
    std::lock_guard lock(impl_->state->mutex);
    timers.swap(impl_->state->timers);
    posted.swap(impl_->state->posted);
    sources.swap(impl_->state->sources);
  }
  for (auto& [key, timer] : timers) timer->abandon();
  for (auto& [fd, source] : sources) markRemoved(source);
  ::close(impl_->epollFd);
  ::close(impl_->wakeFd);
}

RunLoop& RunLoop::main() {
  // Never destroyed: other threads may post to it while the process exits.
  static RunLoop* loop = new RunLoop(static_cast<int>(::getpid()));
  return *loop;
}

RunLoop& RunLoop::current() {
  if (isMainThread()) return main();
  thread_local std::unique_ptr<RunLoop> loop(new RunLoop(currentThreadId()));
  return *loop;
}

bool RunLoop::isMainThread() { return currentThreadId() == static_cast<int>(::getpid()); }

void RunLoop::post(Task task) {
  if (!task) return;
  {
    std::lock_guard lock(impl_->state->mutex);
    impl_->state->posted.push_back(std::move(task));
  }
  impl_->wake();
}

TimerPtr RunLoop::addTimer(Duration interval, bool repeats, Task task) {
  if (repeats && interval <= Duration::zero()) {
    // It would be due again at once, for ever, inside a single pass of the loop.
    throw dz::Exception(kInvalidArgumentException, "A repeating timer needs a positive interval");
  }
  auto timer = std::make_shared<LoopTimer>(impl_->state, interval, repeats, std::move(task));
  {
    std::lock_guard lock(impl_->state->mutex);
    timer->key = {deadlineAfter(std::chrono::steady_clock::now(), interval),
                  impl_->state->nextTimerSeq++};
    impl_->state->timers.emplace(timer->key, timer);
  }
  impl_->wake();
  return timer;
}

void RunLoop::addFd(int fd, uint32_t events, FdHandler handler) {
  std::shared_ptr<FdSource> replaced;
  {
    std::lock_guard lock(impl_->state->mutex);
    LoopState& state = *impl_->state;
    uint32_t generation = state.nextGeneration++;
    if (state.nextGeneration == 0) state.nextGeneration = 1;
    auto source = std::make_shared<FdSource>(generation, std::move(handler));
    epoll_event event{};
    event.events = events;
    event.data.u64 = (uint64_t{generation} << 32) | static_cast<uint32_t>(fd);
    // The kernel may still hold an fd whose source we forgot, or have dropped one we know of
    // (closed without removeFd): try both ways.
    int op = state.sources.count(fd) ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int result = ::epoll_ctl(impl_->epollFd, op, fd, &event);
    if (result < 0 && (errno == EEXIST || errno == ENOENT)) {
      op = op == EPOLL_CTL_ADD ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
      result = ::epoll_ctl(impl_->epollFd, op, fd, &event);
    }
    if (result < 0) {
      throw dz::Exception(kInvalidArgumentException,
                          systemError("RunLoop cannot watch fd " + std::to_string(fd)));
    }
    auto& slot = state.sources[fd];
    replaced = std::exchange(slot, std::move(source));
  }
  impl_->wake();
  markRemoved(replaced);
}

void RunLoop::modifyFd(int fd, uint32_t events) {
  std::lock_guard lock(impl_->state->mutex);
  auto it = impl_->state->sources.find(fd);
  if (it == impl_->state->sources.end()) return;
  epoll_event event{};
  event.events = events;
  event.data.u64 = (uint64_t{it->second->generation} << 32) | static_cast<uint32_t>(fd);
  if (::epoll_ctl(impl_->epollFd, EPOLL_CTL_MOD, fd, &event) < 0 && errno == ENOENT) {
    ::epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, fd, &event);
  }
}

void RunLoop::removeFd(int fd) {
  std::shared_ptr<FdSource> removed;
  {
    std::lock_guard lock(impl_->state->mutex);
    auto it = impl_->state->sources.find(fd);
    if (it == impl_->state->sources.end()) return;
    removed = std::move(it->second);
    impl_->state->sources.erase(it);
    ::epoll_ctl(impl_->epollFd, EPOLL_CTL_DEL, fd, nullptr);
  }
  markRemoved(removed);
}

void RunLoop::run() {
  const std::function<bool()> stopped = [this] { return impl_->stopRequested.load(); };
  while (!stopped()) impl_->runPass(kRunSliceWait, &stopped);
  // Taking the mutex waits for the stop() that ended us to finish touching the loop.
  std::lock_guard lock(impl_->state->mutex);
  impl_->stopRequested = false;
}

void RunLoop::stop() {
  // The loop's thread may end (and destroy its loop) as soon as it sees the request: it cannot
  // get past run() while we hold the mutex.
  std::lock_guard lock(impl_->state->mutex);
  impl_->stopRequested = true;
  impl_->wake();
}

bool RunLoop::runOnce(Duration maxWait) {
  const TimePoint deadline = deadlineAfter(std::chrono::steady_clock::now(), maxWait);
  for (;;) {
    // A wake-up with nothing to run (a stop(), a timer added elsewhere) goes on waiting.
    if (impl_->runPass(deadline - std::chrono::steady_clock::now(), nullptr)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool RunLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
  const TimePoint deadline = deadlineAfter(std::chrono::steady_clock::now(), timeout);
  for (;;) {
    if (done()) return true;
    const TimePoint now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    impl_->runPass(std::min<Duration>(deadline - now, kConditionPollInterval), &done);
  }
}

}  // namespace dz::platform
