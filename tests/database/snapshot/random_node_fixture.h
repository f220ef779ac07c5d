// Random plain values and nodes for the property tests of the data model. Deterministic per seed.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "database/snapshot/node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/value.h"

namespace dz::database::testing {

class RandomValues {
 public:
  explicit RandomValues(uint32_t seed) : rng_(seed) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < percent; }

  // Keys that exercise the key order: integers, leading zeros, letters, mixed.
  std::string key() {
    static const std::vector<std::string> keys = {
        "0", "1",  "2", "3",  "5",  "9", "10",  "11", "07",  "007", "a",
        "b", "aa", "B", "-1", "1a", " ", "z\"", "é",  "100", "x\\", "9223372036854775808"};
    return keys[below(static_cast<int>(keys.size()))];
  }

  Value leaf() {
    switch (below(7)) {
      case 0:
        return Value(chance(50));
      case 1:
        return Value(static_cast<long long>(below(21) - 10));
      case 2:
        return Value(static_cast<double>(below(21) - 10));  // integral doubles
      case 3:
        return Value((below(2001) - 1000) / 8.0);
      case 4:
        return Value(static_cast<long long>(std::uniform_int_distribution<int64_t>()(rng_)));
      default: {
        static const std::vector<std::string> strings = {"", "a", "b", "ab", "B", "1", "10", "é"};
        return Value(strings[below(static_cast<int>(strings.size()))]);
      }
    }
  }

  Value priority() {
    switch (below(3)) {
      case 0:
        return Value(static_cast<long long>(below(5)));
      case 1:
        return Value(below(5) / 2.0);
      default:
        return Value(std::string(1, static_cast<char>('a' + below(3))));
    }
  }

  // A plain value up to `depth` levels deep; with priorities, in export form.
  Value value(int depth, bool withPriorities) {
    if (depth == 0 || chance(35)) {
      Value leafValue = leaf();
      if (withPriorities && chance(25)) {
        Value::Map wrapped;
        wrapped.emplace(".value", leafValue);
        wrapped.emplace(".priority", priority());
        return Value(std::move(wrapped));
      }
      return leafValue;
    }
    Value::Map map;
    int count = below(5);
    for (int i = 0; i < count; ++i) map.insert_or_assign(key(), value(depth - 1, withPriorities));
    if (withPriorities && !map.empty() && chance(25)) map.emplace(".priority", priority());
    return Value(std::move(map));
  }

  NodePtr node(int depth, bool withPriorities = true) {
    return SnapshotUtilities::nodeFrom(value(depth, withPriorities));
  }

  std::mt19937& engine() { return rng_; }

 private:
  std::mt19937 rng_;
};

}  // namespace dz::database::testing
