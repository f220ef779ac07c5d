// DotInfoTree: the repository's local ".info" subtree ("connected", "serverTimeOffset"): the
// current values and the sync tree that serves listeners there. Nothing of it reaches the server.
// Owned by the repository; work queue only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "database/core/sync_tree.h"
#include "platform/dispatch_queue.h"
#include "platform/value.h"

namespace dz::database {

inline constexpr char kDotInfo[] = ".info";
inline constexpr char kDotInfoConnected[] = "connected";
inline constexpr char kDotInfoServerTimeOffset[] = "serverTimeOffset";

class DotInfoTree {
 public:
  using RaiseEvents = std::function<void(const Events&)>;

  // A listen's first value is applied by a task on `queue` (the work queue), never inside the
  // sync tree's own registration call; its events go to `raise`.
  DotInfoTree(platform::DispatchQueuePtr queue, RaiseEvents raise);
  DotInfoTree(const DotInfoTree&) = delete;
  DotInfoTree& operator=(const DotInfoTree&) = delete;

  static bool contains(const Path& path) { return !path.isEmpty() && path.front() == kDotInfo; }

  // Stores ".info/<key>" and returns the events of listeners there.
  Events update(const std::string& key, const Value& value);
  SyncTree& syncTree() const { return *state_->syncTree; }

 private:
  struct State {
    NodePtr data = EmptyNode::emptyNode();
    std::shared_ptr<SyncTree> syncTree;
  };

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace dz::database
