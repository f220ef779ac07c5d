#include "database/core/view/child_change_accumulator.h"

#include "database/utilities/logging.h"

namespace dz::database {

void ChildChangeAccumulator::buildIndex() {
  index_.clear();
  index_.reserve(changes_.size());
  for (size_t i = 0; i < changes_.size(); ++i) {
    if (changes_[i].childKey) index_.emplace(*changes_[i].childKey, i);
  }
  indexed_ = true;
}

void ChildChangeAccumulator::trackDistinctChildChanges(std::vector<Change> changes) {
  if (changes.empty() || !recordsChanges_) return;
  if (changes_.empty()) {
    live_ = changes.size();
    changes_ = std::move(changes);
    indexed_ = false;
    return;
  }
  for (Change& change : changes) trackChildChange(std::move(change));
}

void ChildChangeAccumulator::trackChildChange(Change change) {
  if (!recordsChanges_) return;
  if (!indexed_) buildIndex();
  const std::string key = *change.childKey;
  auto it = index_.find(key);
  if (it == index_.end()) {
    index_.emplace(key, changes_.size());
    changes_.push_back(std::move(change));
    ++live_;
    return;
  }
  Change& old = changes_[it->second];
  EventType type = change.type;
  EventType oldType = old.type;
  // A child that leaves and comes back, or changes and changes back, within one operation ends
  // as it began: no change (a window's entering child may push out one that a removal then
  // brings back).
  auto foldAway = [&] {
    old.childKey.reset();
    index_.erase(it);
    --live_;
  };
  if (type == EventType::ChildAdded && oldType == EventType::ChildRemoved) {
    if (change.node->equals(*old.node)) {
      foldAway();
    } else {
      old = Change::childChanged(key, change.node, old.node);
    }
  } else if (type == EventType::ChildRemoved && oldType == EventType::ChildAdded) {
    foldAway();
  } else if (type == EventType::ChildRemoved && oldType == EventType::ChildChanged) {
    old = Change::childRemoved(key, old.oldNode);
  } else if (type == EventType::ChildChanged && oldType == EventType::ChildAdded) {
    old = Change::childAdded(key, change.node);
  } else if (type == EventType::ChildChanged && oldType == EventType::ChildChanged) {
    if (change.node->equals(*old.oldNode)) {
      foldAway();
    } else {
      old = Change::childChanged(key, change.node, old.oldNode);
    }
  } else {
    // Cannot follow from the filters; keep the latest rather than fail.
    logWarning("I-RDB08501", "Illegal combination of changes for child " + key);
    old = std::move(change);
  }
}

std::vector<Change> ChildChangeAccumulator::takeChanges() {
  std::vector<Change> result;
  if (live_ == changes_.size()) {
    result = std::move(changes_);
  } else {
    result.reserve(live_);
    for (Change& change : changes_) {
      if (change.childKey) result.push_back(std::move(change));
    }
  }
  changes_.clear();
  index_.clear();
  live_ = 0;
  indexed_ = true;
  return result;
}

}  // namespace dz::database
