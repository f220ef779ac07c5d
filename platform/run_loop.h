// RunLoop: one per thread, made on first use of RunLoop::current() on that thread. It runs posted
// work, one-shot and repeating timers and file-descriptor sources (epoll). The main run loop is the
// loop of the process's first thread; it also drains DispatchQueue::main(). post(), addTimer() and
// the fd-source calls are thread-safe; run(), runOnce() and runUntil() must be called on the loop's
// own thread. Callbacks that throw are caught and logged. The main loop lives for the whole
// process; another thread's loop is destroyed, with its pending work, when that thread ends.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <functional>
#include <memory>

#include "platform/scheduler.h"

namespace dz::platform {

class RunLoop;

class Timer {
 public:
  virtual ~Timer() = default;
  // Stops the timer; safe from any thread and from its own callback. Once it returns the callback
  // is not called again: from another thread it waits for a callback already running.
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};
using TimerPtr = std::shared_ptr<Timer>;

class RunLoop {
 public:
  using Task = std::function<void()>;
  // Receives the epoll event bits (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP, ...).
  using FdHandler = std::function<void(uint32_t events)>;

  static RunLoop& current();
  static RunLoop& main();
  // True on the process's main thread.
  static bool isMainThread();

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  void post(Task task);
  // A timer firing after `interval`, then every `interval` when it repeats (missed ticks are
  // skipped). Throws dz::Exception for a repeating timer whose interval is not positive.
  TimerPtr addTimer(Duration interval, bool repeats, Task task);

  // Watches `fd` for `events` (EPOLLIN / EPOLLOUT, level-triggered unless EPOLLONESHOT is among
  // them; every event reported reaches the handler). One handler per fd; adding again replaces
  // it. Throws dz::Exception when epoll refuses the fd. removeFd() guarantees the handler is not
  // called afterwards: from another thread it waits for a call already running. modifyFd() and
  // removeFd() ignore an fd that is not watched.
  void addFd(int fd, uint32_t events, FdHandler handler);
  void modifyFd(int fd, uint32_t events);
  void removeFd(int fd);

  // Runs until stop() is called; a stop() that came while the loop was not running ends the next
  // run() at once.
  void run();
  void stop();
  // Runs ready work, waiting at most `maxWait` for some; returns whether anything ran.
  bool runOnce(Duration maxWait);
  // Runs until `done()` is true (checked after the fd events of each wait, after every other piece
  // of work, and every few milliseconds for conditions that other threads change) or `timeout`
  // passes; returns done(). The tool of tests and the demo for waiting on conditions.
  bool runUntil(const std::function<bool()>& done, Duration timeout);

 private:
  explicit RunLoop(int ownerThreadId);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dz::platform
