// Clocks: the time the client believes it is, in seconds since 1970. SystemClock is the wall
// clock; OffsetClock adds the offset the server reported to another clock and is the
// repository's server clock. All clocks may be read from any thread; an offset clock's offset
// may be replaced from any thread as well.
#pragma once

#include <atomic>
#include <memory>

namespace dz::database {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1 January 1970.
  virtual double currentTime() const = 0;
};

class SystemClock final : public Clock {
 public:
  // The one shared wall clock.
  static const std::shared_ptr<SystemClock>& clock();
  double currentTime() const override;
};

class OffsetClock final : public Clock {
 public:
  OffsetClock(std::shared_ptr<const Clock> clock, double offset);

  // The underlying clock's time plus the offset.
  double currentTime() const override;
  double offset() const { return offset_.load(std::memory_order_relaxed); }
  void setOffset(double offset) { offset_.store(offset, std::memory_order_relaxed); }
  const std::shared_ptr<const Clock>& clock() const { return clock_; }

 private:
  std::shared_ptr<const Clock> clock_;
  std::atomic<double> offset_;
};

}  // namespace dz::database
