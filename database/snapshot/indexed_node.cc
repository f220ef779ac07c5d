#include "database/snapshot/indexed_node.h"

#include <vector>

namespace dz::database {

IndexedNode::IndexedNode(NodePtr node)
    : IndexedNode(std::move(node), PriorityIndex::priorityIndex()) {}

IndexedNode::IndexedNode(NodePtr node, IndexPtr index)
    : IndexedNode(std::move(node), std::move(index), std::make_shared<Order>()) {}

IndexedNode::IndexedNode(NodePtr node, IndexPtr index, std::shared_ptr<Order> order)
    : node_(node ? std::move(node) : EmptyNode::emptyNode()),
      index_(index ? std::move(index) : PriorityIndex::priorityIndex()),
      order_(std::move(order)) {}

const IndexedNode::Order& IndexedNode::order() const {
  Order& order = *order_;
  std::call_once(order.once, [&] {
    const ChildMap& children = node_->children();
    bool anyDefined = false;
    if (!index_->equals(*KeyIndex::keyIndex())) {
      for (const auto& entry : children) {
        if (index_->isDefinedOn(*entry.value)) {
          anyDefined = true;
          break;
        }
      }
    }
    if (!anyDefined) {
      order.keyOrder = true;
      order.built.store(true, std::memory_order_release);
      return;
    }
    std::vector<std::pair<NamedNode, std::monostate>> entries;
    entries.reserve(children.size());
    for (const auto& entry : children)
      entries.emplace_back(NamedNode(entry.key, entry.value), std::monostate());
    order.sorted = SortedChildren::fromEntries(std::move(entries), IndexCompare{index_});
    order.built.store(true, std::memory_order_release);
  });
  return order;
}

std::shared_ptr<IndexedNode::Order> IndexedNode::builtOrder(bool keyOrder,
                                                            std::optional<SortedChildren> sorted) {
  auto order = std::make_shared<Order>();
  std::call_once(order->once, [&] {
    order->keyOrder = keyOrder;
    order->sorted = std::move(sorted);
    order->built.store(true, std::memory_order_release);
  });
  return order;
}

IndexedNode IndexedNode::updateChild(const std::string& key, NodePtr child) const {
  return updateChild(key, std::move(child), node_->getImmediateChild(key));
}

IndexedNode IndexedNode::updateChild(const std::string& key, NodePtr child,
                                     const NodePtr& oldChild) const {
  if (!child) child = EmptyNode::emptyNode();
  NodePtr updated = node_->updateImmediateChild(key, child, oldChild);
  return updateChild(key, std::move(child), oldChild, std::move(updated));
}

IndexedNode IndexedNode::updateChild(const std::string& key, NodePtr child, const NodePtr& oldChild,
                                     NodePtr updated) const {
  if (updated == node_) return *this;
  if (!child) child = EmptyNode::emptyNode();
  // Carry a view that was built over to the new node; otherwise leave it to be built on use.
  if (!order_->built.load(std::memory_order_acquire))
    return IndexedNode(std::move(updated), index_);
  const Order& old = *order_;
  if (old.keyOrder) {
    if (!child->isEmpty() && index_->isDefinedOn(*child))
      return IndexedNode(std::move(updated), index_);
    return IndexedNode(std::move(updated), index_, builtOrder(true, std::nullopt));
  }
  SortedChildren sorted = *old.sorted;
  if (!oldChild->isEmpty()) sorted = sorted.remove(NamedNode(key, oldChild));
  if (!child->isEmpty()) sorted = sorted.insert(NamedNode(key, child), std::monostate());
  return IndexedNode(std::move(updated), index_, builtOrder(false, std::move(sorted)));
}

IndexedNode IndexedNode::updatePriority(NodePtr priority) const {
  // The children keep their order.
  return IndexedNode(node_->updatePriority(std::move(priority)), index_, order_);
}

IndexedNode IndexedNode::withIndex(const IndexPtr& index) const {
  if (hasIndex(*index)) return *this;
  return IndexedNode(node_, index);
}

std::optional<NamedNode> IndexedNode::firstChild() const {
  const Order& o = order();
  if (o.keyOrder) {
    const auto* entry = node_->children().minEntry();
    return entry ? std::optional<NamedNode>(NamedNode(entry->key, entry->value)) : std::nullopt;
  }
  const auto* entry = o.sorted->minEntry();
  return entry ? std::optional<NamedNode>(entry->key) : std::nullopt;
}

std::optional<NamedNode> IndexedNode::lastChild() const {
  const Order& o = order();
  if (o.keyOrder) {
    const auto* entry = node_->children().maxEntry();
    return entry ? std::optional<NamedNode>(NamedNode(entry->key, entry->value)) : std::nullopt;
  }
  const auto* entry = o.sorted->maxEntry();
  return entry ? std::optional<NamedNode>(entry->key) : std::nullopt;
}

std::optional<std::string> IndexedNode::predecessorChildKey(const std::string& key,
                                                            const NodePtr& child) const {
  const Order& o = order();
  if (o.keyOrder) return node_->predecessorChildKey(key);
  const NamedNode* before = o.sorted->predecessorKey(NamedNode(key, child));
  return before ? std::optional<std::string>(before->name) : std::nullopt;
}

int IndexedNode::postAgainstUndefined(const NamedNode& post) const {
  int c = index_->compare(post, NamedNode(post.name, EmptyNode::emptyNode()));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

NamedNode IndexedNode::Iterator::operator*() const {
  return std::visit(
      [](const auto& it) -> NamedNode {
        if constexpr (std::is_same_v<std::decay_t<decltype(it->key)>, NamedNode>) {
          return it->key;
        } else {
          return NamedNode(it->key, it->value);
        }
      },
      it_);
}

IndexedNode::Iterator& IndexedNode::Iterator::operator++() {
  std::visit([](auto& it) { ++it; }, it_);
  return *this;
}

IndexedNode::Iterator IndexedNode::begin() const {
  const Order& o = order();
  if (o.keyOrder) return Iterator(node_->children().begin());
  return Iterator(o.sorted->begin());
}

IndexedNode::Iterator IndexedNode::end() const {
  const Order& o = order();
  if (o.keyOrder) return Iterator(node_->children().end());
  return Iterator(o.sorted->end());
}

IndexedNode::Iterator IndexedNode::iteratorFrom(const NamedNode& post) const {
  const Order& o = order();
  if (!o.keyOrder) return Iterator(o.sorted->iteratorFrom(post));
  switch (postAgainstUndefined(post)) {
    case -1:
      return begin();
    case 0:
      return Iterator(node_->children().iteratorFrom(post.name));
    default:
      return end();
  }
}

IndexedNode::ReverseRange IndexedNode::reversed() const { return ReverseRange(*this); }

IndexedNode::Iterator IndexedNode::ReverseRange::begin() const {
  const Order& o = node_.order();
  if (o.keyOrder) return Iterator(node_.node_->children().rbegin());
  return Iterator(o.sorted->rbegin());
}

IndexedNode::Iterator IndexedNode::ReverseRange::end() const {
  const Order& o = node_.order();
  if (o.keyOrder) return Iterator(node_.node_->children().rend());
  return Iterator(o.sorted->rend());
}

IndexedNode::Iterator IndexedNode::ReverseRange::from(const NamedNode& post) const {
  const Order& o = node_.order();
  if (!o.keyOrder) return Iterator(o.sorted->reverseIteratorFrom(post));
  switch (node_.postAgainstUndefined(post)) {
    case -1:
      return end();
    case 0:
      return Iterator(node_.node_->children().reverseIteratorFrom(post.name));
    default:
      return begin();
  }
}

bool operator==(const IndexedNode& a, const IndexedNode& b) {
  return indexesEqual(a.index_, b.index_) && nodesEqual(a.node_, b.node_);
}

}  // namespace dz::database
