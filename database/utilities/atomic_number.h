// A counter that hands out 1, 2, 3 ... to any number of threads; each value is handed out once.
// Request numbers and put ids of one connection come from one of these.
#pragma once

#include <atomic>
#include <cstdint>

namespace dz::database {

class AtomicNumber {
 public:
  AtomicNumber() = default;
  AtomicNumber(const AtomicNumber&) = delete;
  AtomicNumber& operator=(const AtomicNumber&) = delete;

  // The current value; the counter then moves on by one.
  uint64_t getAndIncrement() { return next_.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> next_{1};
};

}  // namespace dz::database
