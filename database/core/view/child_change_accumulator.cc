#include "database/core/view/child_change_accumulator.h"

#include "database/utilities/logging.h"

namespace dz::database {

void ChildChangeAccumulator::trackChildChange(Change change) {
  const std::string& key = *change.childKey;
  auto it = changes_.find(key);
  if (it == changes_.end()) {
    changes_.emplace(key, std::move(change));
    return;
  }
  Change& old = it->second;
  EventType type = change.type;
  EventType oldType = old.type;
  if (type == EventType::ChildAdded && oldType == EventType::ChildRemoved) {
    old = Change::childChanged(key, change.node, old.node);
  } else if (type == EventType::ChildRemoved && oldType == EventType::ChildAdded) {
    changes_.erase(it);
  } else if (type == EventType::ChildRemoved && oldType == EventType::ChildChanged) {
    old = Change::childRemoved(key, old.oldNode);
  } else if (type == EventType::ChildChanged && oldType == EventType::ChildAdded) {
    old = Change::childAdded(key, change.node);
  } else if (type == EventType::ChildChanged && oldType == EventType::ChildChanged) {
    old = Change::childChanged(key, change.node, old.oldNode);
  } else {
    // Cannot follow from the filters; keep the latest rather than fail.
    logWarning("I-RDB08501", std::string("Illegal combination of changes for child ") + key);
    old = std::move(change);
  }
}

std::vector<Change> ChildChangeAccumulator::changes() const {
  std::vector<Change> result;
  result.reserve(changes_.size());
  for (const auto& [key, change] : changes_) result.push_back(change);
  return result;
}

}  // namespace dz::database
