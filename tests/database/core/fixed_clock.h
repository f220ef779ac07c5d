// A clock that always reads the time it was made with, for tests of what the time stamps.
#pragma once

#include "database/core/clock.h"

namespace dz::database::testing {

class FixedClock : public Clock {
 public:
  explicit FixedClock(double time) : time_(time) {}
  double currentTime() const override { return time_; }

 private:
  double time_;
};

}  // namespace dz::database::testing
