// ChildChangeAccumulator: collects the child changes of one operation on a view, folding several
// changes of one child into the one change they amount to (added then removed is nothing; removed
// then added is changed). Used on the work queue only, for one operation.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "database/core/view/change.h"
#include "database/snapshot/key_order.h"

namespace dz::database {

class ChildChangeAccumulator {
 public:
  void trackChildChange(Change change);
  // The folded changes in key order of their children.
  std::vector<Change> changes() const;
  bool isEmpty() const { return changes_.empty(); }

 private:
  std::map<std::string, Change, KeyLess> changes_;
};

}  // namespace dz::database
