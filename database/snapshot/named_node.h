// NamedNode: a child node together with its key, the unit that indexes order and that queries
// bound ranges with ("posts"). A cheap value type.
#pragma once

#include <string>

#include "database/snapshot/node.h"

namespace dz::database {

struct NamedNode {
  NamedNode() : node(EmptyNode::emptyNode()) {}
  NamedNode(std::string name, NodePtr node)
      : name(std::move(name)), node(node ? std::move(node) : EmptyNode::emptyNode()) {}

  std::string name;
  NodePtr node;  // never null

  // Same name and same data.
  friend bool operator==(const NamedNode& a, const NamedNode& b) {
    return a.name == b.name && nodesEqual(a.node, b.node);
  }
};

}  // namespace dz::database
