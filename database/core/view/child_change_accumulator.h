// ChildChangeAccumulator: collects the child changes of one operation on a view, folding several
// changes of one child into the one change they amount to (added then removed is nothing; removed
// then added is changed, or nothing when the data came back the same). Used on the work queue
// only, for one operation.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "database/core/view/change.h"

namespace dz::database {

class ChildChangeAccumulator {
 public:
  // Without records, tracking does nothing: for a view whose registrations hear no child events,
  // where making a change per child of a large overwrite would be wasted.
  explicit ChildChangeAccumulator(bool recordsChanges = true) : recordsChanges_(recordsChanges) {}
  bool recordsChanges() const { return recordsChanges_; }
  void trackChildChange(Change change);
  // Adds changes of distinct children none of which was tracked before (a whole node compared
  // with another), without the cost of folding.
  void trackDistinctChildChanges(std::vector<Change> changes);
  // The folded changes, in the order their children were first changed.
  std::vector<Change> takeChanges();
  bool isEmpty() const { return live_ == 0; }

 private:
  void buildIndex();

  std::vector<Change> changes_;  // a change without key was folded away
  std::unordered_map<std::string, size_t> index_;
  bool recordsChanges_;
  bool indexed_ = true;
  size_t live_ = 0;
};

}  // namespace dz::database
