// Operations: the changes the sync tree applies to its views (overwrite, merge, acknowledgement
// of a user write, completion of a listen), with where they came from: the user, the server, or
// the server for one tagged query. Immutable values; work queue only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"
#include "database/snapshot/query_params.h"

namespace dz::database {

struct OperationSource {
  bool fromUser = false;
  bool fromServer = false;
  // The parameters of the tagged query the data is for (server data of a tagged listen only).
  std::optional<QueryParams> queryParams;

  bool tagged() const { return queryParams.has_value(); }

  static OperationSource user() { return {true, false, std::nullopt}; }
  static OperationSource server() { return {false, true, std::nullopt}; }
  static OperationSource forServerTaggedQuery(QueryParams params) {
    return {false, true, std::move(params)};
  }
};

// The paths an acknowledged write touched, relative to its path: the root for an overwrite,
// each written path for a merge.
class AffectedTree {
 public:
  AffectedTree() = default;
  static std::shared_ptr<const AffectedTree> root();

  bool value() const { return value_; }
  bool isEmpty() const { return !value_ && children_.empty(); }
  const std::map<std::string, std::shared_ptr<const AffectedTree>>& children() const {
    return children_;
  }
  std::shared_ptr<const AffectedTree> subtree(const std::string& key) const;
  // A copy with `path` marked.
  std::shared_ptr<const AffectedTree> set(const Path& path) const;
  // Every marked path, parents first.
  void forEach(const std::function<void(const Path&)>& visit, const Path& prefix = Path()) const;

 private:
  bool value_ = false;
  std::map<std::string, std::shared_ptr<const AffectedTree>> children_;
};

using AffectedTreePtr = std::shared_ptr<const AffectedTree>;

class Operation {
 public:
  enum class Type { Overwrite, Merge, AckUserWrite, ListenComplete };

  static Operation overwrite(OperationSource source, Path path, NodePtr snap);
  static Operation merge(OperationSource source, Path path, CompoundWrite children);
  static Operation ackUserWrite(Path path, AffectedTreePtr affectedTree, bool revert);
  static Operation listenComplete(OperationSource source, Path path);

  Type type() const { return type_; }
  const OperationSource& source() const { return source_; }
  const Path& path() const { return path_; }
  const NodePtr& snap() const { return snap_; }
  const CompoundWrite& children() const { return children_; }
  const AffectedTreePtr& affectedTree() const { return affectedTree_; }
  bool revert() const { return revert_; }

  // The operation as seen from the child `key` of its location's root (the path's first key, or
  // any child when the path is empty); none when the child is not affected.
  std::optional<Operation> operationForChild(const std::string& key) const;

 private:
  Operation(Type type, OperationSource source, Path path)
      : type_(type), source_(std::move(source)), path_(std::move(path)) {}

  Type type_;
  OperationSource source_;
  Path path_;
  NodePtr snap_;
  CompoundWrite children_;
  AffectedTreePtr affectedTree_;
  bool revert_ = false;
};

}  // namespace dz::database
