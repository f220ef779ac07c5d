// QueryParams: the ordering index, range bounds and limit of a query. Immutable: the builders
// return modified copies. Cheap to copy; safe to share between threads. Equality and hash cover
// every parameter, so params (and QuerySpec) can key hash maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "database/snapshot/index.h"
#include "database/snapshot/named_node.h"
#include "database/snapshot/node.h"
#include "platform/value.h"

namespace dz::database {

// Wire keys of query parameters.
inline constexpr char kQueryParamStartValue[] = "sp";
inline constexpr char kQueryParamStartName[] = "sn";
inline constexpr char kQueryParamEndValue[] = "ep";
inline constexpr char kQueryParamEndName[] = "en";
inline constexpr char kQueryParamLimit[] = "l";
inline constexpr char kQueryParamViewFrom[] = "vf";
inline constexpr char kQueryParamIndex[] = "i";
// Anchors of a limit: the first children ("l") or the last ("r").
inline constexpr char kViewFromLeft[] = "l";
inline constexpr char kViewFromRight[] = "r";

class QueryParams {
 public:
  // Priority index, no bounds, no limit.
  QueryParams();
  static const QueryParams& defaultInstance();

  // False only when start, end and limit are all set and the limit has no anchor side.
  bool isValid() const;
  bool hasStart() const { return startValue_ != nullptr; }
  bool hasEnd() const { return endValue_ != nullptr; }
  bool limitSet() const { return limit_.has_value(); }
  bool hasAnchoredLimit() const { return limitSet() && viewFrom_.has_value(); }

  const IndexPtr& index() const { return index_; }
  // The bounds' index values (the empty node when unset) and keys (the min / max sentinel name
  // when no key was given).
  const NodePtr& indexStartValue() const;
  const std::string& indexStartKey() const;
  const NodePtr& indexEndValue() const;
  const std::string& indexEndKey() const;
  // The bounds as posts of the index: minPost()/maxPost() when unset.
  NamedNode startPost() const;
  NamedNode endPost() const;
  // The limit (0 when unset) and whether it counts from the start ("l") rather than the end.
  int64_t limit() const { return limit_.value_or(0); }
  bool isViewFromLeft() const;
  const std::optional<std::string>& viewFrom() const { return viewFrom_; }

  // Copies with one parameter changed. A bound value is an index value (a leaf or the empty
  // node); a key of none means the sentinel.
  QueryParams startAt(NodePtr indexValue, std::optional<std::string> key = std::nullopt) const;
  QueryParams endAt(NodePtr indexValue, std::optional<std::string> key = std::nullopt) const;
  QueryParams limitToFirst(int64_t limit) const;
  QueryParams limitToLast(int64_t limit) const;
  QueryParams orderBy(IndexPtr index) const;

  // No bounds and no limit, whatever the index.
  bool loadsAllData() const { return !hasStart() && !hasEnd() && !limitSet(); }
  // Loads all data ordered by priority.
  bool isDefault() const;

  // The parameters that are set under their wire keys: "sp"/"sn" start value and key, "ep"/"en"
  // end value and key, "l" limit, "vf" anchor, "i" the index's query definition (only when it is
  // not the priority index).
  Value::Map wireProtocolParams() const;
  // Parameters read back from that form (the development server and the disk cache); none when
  // a member has the wrong type or names no index.
  static std::optional<QueryParams> fromWireProtocolParams(const Value::Map& params);
  // The wire form as JSON text.
  std::string description() const;

  friend bool operator==(const QueryParams& a, const QueryParams& b);
  size_t hash() const;

 private:
  IndexPtr index_;
  NodePtr startValue_;  // null when unset
  std::optional<std::string> startKey_;
  NodePtr endValue_;  // null when unset
  std::optional<std::string> endKey_;
  std::optional<int64_t> limit_;
  std::optional<std::string> viewFrom_;
};

}  // namespace dz::database

template <>
struct std::hash<dz::database::QueryParams> {
  size_t operator()(const dz::database::QueryParams& params) const noexcept {
    return params.hash();
  }
};
