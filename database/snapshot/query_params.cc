#include "database/snapshot/query_params.h"

#include <functional>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"

namespace dz::database {
namespace {

size_t combine(size_t seed, size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t hashOf(const NodePtr& node) { return node ? std::hash<std::string>()(node->dataHash()) : 0; }

size_t hashOf(const std::optional<std::string>& text) {
  return text ? std::hash<std::string>()(*text) : 0x51ed;
}

// The index value of a bound read from the wire; none when it cannot be a bound.
std::optional<NodePtr> boundValue(const Value* value) {
  if (!value) return NodePtr();
  try {
    return SnapshotUtilities::nodeFrom(*value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

QueryParams::QueryParams() : index_(PriorityIndex::priorityIndex()) {}

const QueryParams& QueryParams::defaultInstance() {
  static const QueryParams* params = new QueryParams();
  return *params;
}

bool QueryParams::isValid() const { return !(hasStart() && hasEnd() && limitSet() && !viewFrom_); }

const NodePtr& QueryParams::indexStartValue() const {
  return startValue_ ? startValue_ : EmptyNode::emptyNode();
}

const std::string& QueryParams::indexStartKey() const { return startKey_ ? *startKey_ : minName(); }

const NodePtr& QueryParams::indexEndValue() const {
  return endValue_ ? endValue_ : EmptyNode::emptyNode();
}

const std::string& QueryParams::indexEndKey() const { return endKey_ ? *endKey_ : maxName(); }

NamedNode QueryParams::startPost() const {
  return hasStart() ? index_->makePost(startValue_, indexStartKey()) : index_->minPost();
}

NamedNode QueryParams::endPost() const {
  return hasEnd() ? index_->makePost(endValue_, indexEndKey()) : index_->maxPost();
}

bool QueryParams::isViewFromLeft() const {
  // Without an anchor a bounded query reads from its start.
  return viewFrom_ ? *viewFrom_ == kViewFromLeft : !(hasEnd() && !hasStart());
}

QueryParams QueryParams::startAt(NodePtr indexValue, std::optional<std::string> key) const {
  QueryParams params = *this;
  params.startValue_ = indexValue ? std::move(indexValue) : EmptyNode::emptyNode();
  params.startKey_ = std::move(key);
  return params;
}

QueryParams QueryParams::endAt(NodePtr indexValue, std::optional<std::string> key) const {
  QueryParams params = *this;
  params.endValue_ = indexValue ? std::move(indexValue) : EmptyNode::emptyNode();
  params.endKey_ = std::move(key);
  return params;
}

QueryParams QueryParams::limitToFirst(int64_t limit) const {
  QueryParams params = *this;
  params.limit_ = limit;
  params.viewFrom_ = kViewFromLeft;
  return params;
}

QueryParams QueryParams::limitToLast(int64_t limit) const {
  QueryParams params = *this;
  params.limit_ = limit;
  params.viewFrom_ = kViewFromRight;
  return params;
}

QueryParams QueryParams::orderBy(IndexPtr index) const {
  QueryParams params = *this;
  params.index_ = index ? std::move(index) : PriorityIndex::priorityIndex();
  return params;
}

bool QueryParams::isDefault() const {
  return loadsAllData() && index_->equals(*PriorityIndex::priorityIndex());
}

Value::Map QueryParams::wireProtocolParams() const {
  Value::Map params;
  if (startValue_) {
    params.emplace(kQueryParamStartValue, startValue_->val(true));
    if (startKey_) params.emplace(kQueryParamStartName, *startKey_);
  }
  if (endValue_) {
    params.emplace(kQueryParamEndValue, endValue_->val(true));
    if (endKey_) params.emplace(kQueryParamEndName, *endKey_);
  }
  if (limit_) {
    params.emplace(kQueryParamLimit, Value(static_cast<long long>(*limit_)));
    if (viewFrom_) params.emplace(kQueryParamViewFrom, *viewFrom_);
  }
  if (!index_->equals(*PriorityIndex::priorityIndex())) {
    params.emplace(kQueryParamIndex, index_->queryDefinition());
  }
  return params;
}

std::optional<QueryParams> QueryParams::fromWireProtocolParams(const Value::Map& wire) {
  auto member = [&wire](const char* key) -> const Value* {
    auto it = wire.find(key);
    return it == wire.end() ? nullptr : &it->second;
  };
  auto text = [&](const char* key, std::optional<std::string>& into) {
    const Value* value = member(key);
    if (!value) return true;
    if (!value->isString()) return false;
    into = value->asString();
    return true;
  };
  QueryParams params;
  std::optional<std::string> startKey, endKey, viewFrom, indexDefinition;
  std::optional<NodePtr> startValue = boundValue(member(kQueryParamStartValue));
  std::optional<NodePtr> endValue = boundValue(member(kQueryParamEndValue));
  if (!startValue || !endValue || !text(kQueryParamStartName, startKey) ||
      !text(kQueryParamEndName, endKey) || !text(kQueryParamViewFrom, viewFrom) ||
      !text(kQueryParamIndex, indexDefinition)) {
    return std::nullopt;
  }
  if (indexDefinition) {
    IndexPtr index = Index::fromQueryDefinition(*indexDefinition);
    if (!index) return std::nullopt;
    params.index_ = std::move(index);
  }
  if (member(kQueryParamStartValue)) params = params.startAt(*startValue, startKey);
  if (member(kQueryParamEndValue)) params = params.endAt(*endValue, endKey);
  if (const Value* limit = member(kQueryParamLimit)) {
    if (!limit->isInt()) return std::nullopt;
    params.limit_ = limit->asInt();
    if (viewFrom && *viewFrom != kViewFromLeft && *viewFrom != kViewFromRight) return std::nullopt;
    params.viewFrom_ = viewFrom;
  }
  return params;
}

std::string QueryParams::description() const { return Value(wireProtocolParams()).toJsonString(); }

bool operator==(const QueryParams& a, const QueryParams& b) {
  auto sameBound = [](const NodePtr& x, const NodePtr& y) {
    return (x == nullptr) == (y == nullptr) && nodesEqual(x, y);
  };
  return indexesEqual(a.index_, b.index_) && sameBound(a.startValue_, b.startValue_) &&
         a.startKey_ == b.startKey_ && sameBound(a.endValue_, b.endValue_) &&
         a.endKey_ == b.endKey_ && a.limit_ == b.limit_ && a.viewFrom_ == b.viewFrom_;
}

size_t QueryParams::hash() const {
  size_t seed = index_->hash();
  seed = combine(seed, hashOf(startValue_));
  seed = combine(seed, hashOf(startKey_));
  seed = combine(seed, hashOf(endValue_));
  seed = combine(seed, hashOf(endKey_));
  seed = combine(seed, limit_ ? std::hash<int64_t>()(*limit_) : 0x11);
  seed = combine(seed, hashOf(viewFrom_));
  return seed;
}

}  // namespace dz::database
