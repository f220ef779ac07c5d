// OnDisconnectStore: the on-disconnect writes one connection asked for, kept by the rules of
// docs/on-disconnect.md in the server's own structure (not the client's sparse tree), so that a
// fault in either shows as a disagreement. Every location holds one value, which covers its
// whole subtree, or children; never both. Not thread-safe: used under the service's lock.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::devserver {

class OnDisconnectStore {
 public:
  // A set at `path` (a removal is a set of the empty node): it replaces whatever is stored at and
  // below the path, or lands inside a value stored above it.
  void set(const database::Path& path, database::NodePtr value);
  // A cancel at `path`: what is stored at and below it goes. A value with children stored above
  // it is split into a set per child first; a leaf above stays (nothing can be removed below
  // it); a removal above goes entirely (it has no children to keep).
  void cancel(const database::Path& path);
  // The stored values with their paths, in key order, as the sets to run.
  std::vector<std::pair<database::Path, database::NodePtr>> writes() const;

 private:
  struct KeyOrderLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  struct Location {
    database::NodePtr value;  // null when the location holds children (or nothing)
    std::map<std::string, Location, KeyOrderLess> children;
  };

  // Cancels below `at` from the `depth`-th key of `path`; whether `at` holds nothing after.
  static bool cancelAt(Location& at, const database::Path& path, size_t depth);
  static void collect(const Location& at, std::vector<std::string>& keys,
                      std::vector<std::pair<database::Path, database::NodePtr>>& out);

  Location root_;
};

}  // namespace dz::devserver
