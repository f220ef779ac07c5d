// The database's key order: keys that read as 64-bit integers first, in numeric order, then every
// other key in byte order; "[MIN_NAME]" sorts before and "[MAX_NAME]" after every key. Children,
// compound writes and query bounds all order keys this way. Thread-safe free functions.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace dz::database {

// Neither an integer key nor a sentinel (those start with a digit or '['): two such keys are in
// byte order.
inline bool isPlainKey(std::string_view key) {
  return key.empty() || ((key[0] < '0' || key[0] > '9') && key[0] != '[');
}

// compareKeys for any pair with an integer key or a sentinel.
int compareSpecialKeys(std::string_view a, std::string_view b);

// Negative, zero or positive as `a` sorts before, with or after `b`. Zero only for equal keys:
// integer keys of equal value ("7" and "007") fall back to byte order. Inline for the common
// pair of plain keys: every child look-up compares keys.
inline int compareKeys(std::string_view a, std::string_view b) {
  if (isPlainKey(a) && isPlainKey(b)) {
    // Keys are short: a loop here costs less than a call to the library's compare.
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
      const auto x = static_cast<unsigned char>(a[i]);
      const auto y = static_cast<unsigned char>(b[i]);
      if (x != y) return x < y ? -1 : 1;
    }
    return (a.size() > b.size()) - (a.size() < b.size());
  }
  return compareSpecialKeys(a, b);
}

// The key order as a comparator for SortedMap, std::map and std::sort.
struct KeyCompare {
  int operator()(std::string_view a, std::string_view b) const { return compareKeys(a, b); }
};
struct KeyLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return compareKeys(a, b) < 0; }
};

}  // namespace dz::database
