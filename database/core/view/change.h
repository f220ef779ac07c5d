// Change: one change of a view's event cache, as the view processor records it and the event
// generator turns it into events. A plain value type.
#pragma once

#include <optional>
#include <string>

#include "database/core/view/event.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/node.h"

namespace dz::database {

struct Change {
  EventType type = EventType::Value;
  // The child for child changes (the old child for a removal); the event cache for a value.
  NodePtr node;
  // The event cache with the view's index, for a value change only.
  std::optional<IndexedNode> snapshot;
  std::optional<std::string> childKey;
  // The child before the change, for child changed.
  NodePtr oldNode;
  // Filled by the event generator for added, changed and moved.
  std::optional<std::string> prevKey;

  static Change value(IndexedNode snapshot) {
    Change c;
    c.node = snapshot.node();
    c.snapshot = std::move(snapshot);
    return c;
  }
  static Change child(EventType type, const std::string& key, NodePtr node,
                      NodePtr oldNode = nullptr) {
    Change c;
    c.type = type;
    c.node = std::move(node);
    c.childKey = key;
    c.oldNode = std::move(oldNode);
    return c;
  }
  static Change childAdded(const std::string& key, NodePtr node) {
    return child(EventType::ChildAdded, key, std::move(node));
  }
  static Change childRemoved(const std::string& key, NodePtr node) {
    return child(EventType::ChildRemoved, key, std::move(node));
  }
  static Change childChanged(const std::string& key, NodePtr node, NodePtr oldNode) {
    return child(EventType::ChildChanged, key, std::move(node), std::move(oldNode));
  }
  static Change childMoved(const std::string& key, NodePtr node) {
    return child(EventType::ChildMoved, key, std::move(node));
  }
};

}  // namespace dz::database
