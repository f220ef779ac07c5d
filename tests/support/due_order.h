// The firing order that timers started one after another on the steady clock must keep. A due
// time lies between the clock read just before and just after its timer starts; a stalled test
// thread can move it past another's, so only the orders those bounds settle are checked.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace dz::testing {

class DueOrder {
 public:
  using Clock = std::chrono::steady_clock;

  // Runs `start`, which starts the next timer `delay` ahead; timers are numbered from 0.
  template <typename Start>
  void start(Clock::duration delay, Start&& start) {
    const Clock::time_point before = Clock::now();
    start();
    bounds_.push_back({before + delay, Clock::now() + delay});
  }

  // `fired` holds the timers' numbers in the order they fired, each once.
  void expectKeptBy(const std::vector<size_t>& fired) const {
    ASSERT_EQ(fired.size(), bounds_.size());
    std::vector<size_t> position(bounds_.size());
    for (size_t at = 0; at < fired.size(); ++at) position.at(fired[at]) = at;
    for (size_t i = 0; i < bounds_.size(); ++i) {
      for (size_t j = 0; j < bounds_.size(); ++j) {
        if (bounds_[i].latest < bounds_[j].earliest) {
          EXPECT_LT(position[i], position[j]) << i << " before " << j;
        }
      }
    }
  }

 private:
  struct Bounds {
    Clock::time_point earliest;
    Clock::time_point latest;
  };
  std::vector<Bounds> bounds_;
};

}  // namespace dz::testing
