#include "database/core/repo_dot_info.h"

#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {

DotInfoTree::DotInfoTree(platform::DispatchQueuePtr queue, RaiseEvents raise) {
  std::weak_ptr<State> weak = state_;
  auto start = [weak, queue, raise](const QuerySpec& query, std::optional<QueryTag>,
                                    std::shared_ptr<const SyncTreeHash>,
                                    ListenCompletion onComplete) -> Events {
    queue->async([weak, query, raise, onComplete] {
      auto state = weak.lock();
      if (!state) return;
      NodePtr node = state->data->getChild(query.path());
      // No value yet: the listener hears of it when one is stored.
      if (node->isEmpty()) return;
      raise(state->syncTree->applyServerOverwrite(query.path(), node));
      onComplete(nullptr);
    });
    return {};
  };
  state_->syncTree =
      SyncTree::create(queue, std::make_shared<ListenProvider>(std::move(start), nullptr));
}

Events DotInfoTree::update(const std::string& key, const Value& value) {
  Path path = Path().child(kDotInfo).child(key);
  NodePtr node = SnapshotUtilities::nodeFrom(value);
  state_->data = state_->data->updateChild(path, node);
  return state_->syncTree->applyServerOverwrite(path, node);
}

}  // namespace dz::database
