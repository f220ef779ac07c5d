// QuerySpec: a location and the query parameters over it; the key of views, listens and tracked
// queries. A cheap value type with equality and std::hash, for unordered maps.
#pragma once

#include <cstddef>
#include <string>

#include "database/snapshot/path.h"
#include "database/snapshot/query_params.h"

namespace dz::database {

class QuerySpec {
 public:
  QuerySpec(Path path, QueryParams params) : path_(std::move(path)), params_(std::move(params)) {}
  // All data at the path, by priority.
  static QuerySpec defaultQueryAtPath(Path path) {
    return QuerySpec(std::move(path), QueryParams::defaultInstance());
  }

  const Path& path() const { return path_; }
  const QueryParams& params() const { return params_; }
  const IndexPtr& index() const { return params_.index(); }
  bool isDefault() const { return params_.isDefault(); }
  bool loadsAllData() const { return params_.loadsAllData(); }

  // "<path>:<params>", for logs.
  std::string description() const { return path_.toString() + ":" + params_.description(); }

  friend bool operator==(const QuerySpec& a, const QuerySpec& b) {
    return a.path_ == b.path_ && a.params_ == b.params_;
  }
  size_t hash() const { return path_.hash() * 31 + params_.hash(); }

 private:
  Path path_;
  QueryParams params_;
};

}  // namespace dz::database

template <>
struct std::hash<dz::database::QuerySpec> {
  size_t operator()(const dz::database::QuerySpec& spec) const noexcept { return spec.hash(); }
};
