#include "database/core/clock.h"

#include "platform/wall_clock.h"

namespace dz::database {

const std::shared_ptr<SystemClock>& SystemClock::clock() {
  static const auto* shared = new std::shared_ptr<SystemClock>(std::make_shared<SystemClock>());
  return *shared;
}

double SystemClock::currentTime() const { return platform::wallClockSeconds(); }

OffsetClock::OffsetClock(std::shared_ptr<const Clock> clock, double offset)
    : clock_(clock ? std::move(clock) : SystemClock::clock()), offset_(offset) {}

double OffsetClock::currentTime() const { return clock_->currentTime() + offset(); }

}  // namespace dz::database
