// QueryWindow: the server's own reading of a listen's query parameters and of the children they
// select, written from docs/data-model.md (key order, value order, query parameters on the wire)
// rather than with the client's filters, so that a fault on either side shows as a disagreement.
// Simple rather than fast: every selection sorts the children in bounds. Nodes and paths are only
// its containers. Immutable once made; any thread.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::devserver {

// The key order: negative, zero or positive as `a` sorts before, with or after `b`.
int keyOrder(std::string_view a, std::string_view b);

// The value order of two index values (the empty node is null): negative, zero or positive.
int valueOrder(const database::Node& a, const database::Node& b);

class QueryWindow {
 public:
  // The window of the wire query parameters (null for none); none when they are malformed.
  static std::optional<QueryWindow> fromWire(const boost::json::value& query);

  // Whether the parameters bound or limit; when not, the listen gets the whole data, whatever
  // its index.
  bool filters() const { return start_ || end_ || limit_; }
  bool limited() const { return limit_.has_value(); }

  // The children of `data` in the window, without the node's priority; empty for a leaf.
  database::NodePtr select(const database::NodePtr& data) const;
  // Whether the child lies within the bounds (the limit aside).
  bool inBounds(const std::string& key, const database::Node& child) const;

 private:
  enum class IndexKind { kPriority, kKey, kValue, kPath };
  // A query bound, or a child, as the index sees it: its index value and key.
  struct Post {
    database::NodePtr value;
    std::string key;
  };

  std::optional<Post> readBound(const boost::json::object& query, const char* valueKey,
                                const char* nameKey, std::string_view defaultName,
                                bool& malformed) const;
  database::NodePtr indexValue(const database::Node& child) const;
  // Index order, ties broken by key order.
  int compare(const Post& a, const Post& b) const;

  IndexKind index_ = IndexKind::kPriority;
  database::Path indexPath_;
  std::optional<Post> start_;
  std::optional<Post> end_;
  std::optional<int64_t> limit_;
  bool fromStart_ = true;
};

}  // namespace dz::devserver
