// CompoundHash: the hashes of consecutive ranges of a node's data, sent with a listen so the
// server can answer with only the ranges that differ. The node's entries (each leaf, and the
// priority of each children node) are walked in path order and cut into ranges whose text stays
// under a target size; `posts` are the paths of the last entry of every range but the final one,
// `hashes` the hash of each range (one more than the posts). docs/data-model.md defines the entry
// text; hashesForPosts lets the other side hash its own data over the same posts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

struct CompoundHash {
  std::vector<Path> posts;
  std::vector<std::string> hashes;

  // Ranges of at most max(1,024, estimated JSON size / 32) bytes of entry text (one entry
  // larger than that makes a range of its own).
  static CompoundHash fromNode(const Node& node);
  static CompoundHash fromNode(const Node& node, size_t targetRangeBytes);
  // The hash of each range the posts mark off: range i holds the entries after post i-1 up to
  // and including post i; the last range everything after the last post.
  static std::vector<std::string> hashesForPosts(const Node& node, const std::vector<Path>& posts);
};

// Path order for compound hashes: key by key in key order, a prefix before what lies below it.
int comparePathsInKeyOrder(const Path& a, const Path& b);

}  // namespace dz::database
