#include "database/snapshot/node.h"

#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "database/snapshot/hashing.h"
#include "database/utilities/utilities.h"
#include "platform/crypto.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr char kNonFiniteNumber[] = "Numbers stored in the database must be finite";
constexpr char kNotALeafValue[] = "Only strings, numbers, booleans and server values make a leaf";

int sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

// Exact comparison of an int64 with a finite double.
int compareIntWithDouble(int64_t i, double d) {
  if (d >= kTwoTo63) return -1;
  if (d < -kTwoTo63) return 1;
  auto truncated = static_cast<int64_t>(d);
  if (i != truncated) return i < truncated ? -1 : 1;
  // Doubles with a fraction are below 2^53 in magnitude, so the difference is exact.
  double fraction = d - static_cast<double>(truncated);
  return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

int compareDoubles(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Rank of a leaf value's kind in value order; booleans split into false and true.
int leafRank(const LeafNode::Data& data) {
  switch (data.index()) {
    case 0:
      return std::get<bool>(data) ? 1 : 0;
    case 1:
    case 2:
      return 2;
    case 3:
      return 3;
    default:
      return 4;
  }
}

std::string placeholderText(const LeafNode::Placeholder& p) {
  return p ? p->toJsonString() : std::string("null");
}

const ChildMap& emptyChildMap() {
  static const ChildMap* empty = new ChildMap();
  return *empty;
}

NodePtr normalizedPriority(NodePtr priority) {
  if (priority && priority->isEmpty()) return nullptr;
  return priority;
}

Value childrenValue(const ChildMap& children, const NodePtr& priority, bool exportFormat) {
  if (children.isEmpty()) return Value();
  if (!exportFormat) {
    if (std::optional<size_t> length = arrayLengthOf(children)) {
      Value::Array array(*length);
      for (const auto& entry : children) {
        array[static_cast<size_t>(*intForString(entry.key))] = entry.value->val();
      }
      return Value(std::move(array));
    }
  }
  Value::Map map;
  for (const auto& entry : children) map.emplace(entry.key, entry.value->val(exportFormat));
  if (exportFormat && priority) map.emplace(kPriorityKey, priority->val());
  return Value(std::move(map));
}

// Nodes with a priority (never null or empty): a leaf or children node with room for one.
template <class Plain, class Contents>
class Prioritized final : public Plain {
 public:
  Prioritized(typename Plain::Passkey key, Contents&& contents, NodePtr priority)
      : Plain(key, std::move(contents)), priority_(std::move(priority)) {}
  const NodePtr& getPriority() const override { return priority_; }

 private:
  NodePtr priority_;
};
using PrioritizedLeafNode = Prioritized<LeafNode, LeafNode::Data>;
using PrioritizedChildrenNode = Prioritized<ChildrenNode, ChildMap>;

// The priority of a node made from `node`'s parts: null for none.
NodePtr priorityOf(const Node& node) {
  const NodePtr& priority = node.getPriority();
  return priority->isEmpty() ? nullptr : priority;
}

}  // namespace

// ---- Node

Node::~Node() { delete digest_.load(std::memory_order_relaxed); }

NodePtr Node::getChild(const Path& path) const {
  if (path.isEmpty()) return shared_from_this();
  std::span<const std::string> keys = path.keys();
  NodePtr node = getImmediateChild(keys[0]);
  for (size_t i = 1; i < keys.size() && !node->isEmpty(); ++i)
    node = node->getImmediateChild(keys[i]);
  return node;
}

NodePtr Node::updateChild(const Path& path, NodePtr node) const {
  if (!node) node = EmptyNode::emptyNode();
  if (path.isEmpty()) return node;
  const std::string& front = path.front();
  if (front == kPriorityKey) {
    // A priority has no children of its own: only ".priority" as the last key means anything.
    if (path.size() != 1) return shared_from_this();
    return updatePriority(std::move(node));
  }
  NodePtr oldChild = getImmediateChild(front);
  return updateImmediateChild(front, oldChild->updateChild(path.popFront(), std::move(node)),
                              oldChild);
}

std::optional<std::string> Node::predecessorChildKey(const std::string& key) const {
  const std::string* found = children().predecessorKey(key);
  return found ? std::optional<std::string>(*found) : std::nullopt;
}

std::optional<std::string> Node::successorChildKey(const std::string& key) const {
  const std::string* found = children().successorKey(key);
  return found ? std::optional<std::string>(*found) : std::nullopt;
}

Value Node::val(bool exportFormat) const {
  if (isLeafNode()) {
    const auto& leaf = static_cast<const LeafNode&>(*this);
    Value value = leaf.plainValue();
    const NodePtr& priority = leaf.getPriority();
    if (!exportFormat || priority->isEmpty()) return value;
    Value::Map map;
    map.emplace(kValueKey, std::move(value));
    map.emplace(kPriorityKey, priority->val());
    return Value(std::move(map));
  }
  const NodePtr& priority = getPriority();
  return childrenValue(children(), priority->isEmpty() ? nullptr : priority, exportFormat);
}

std::string Node::dataHash() const {
  if (isEmpty()) return {};
  std::string hash;
  appendKeptHash(hash);
  return hash;
}

void Node::appendKeptHash(std::string& out) const {
  const Digest& digest = keptDigest();
  char text[32];
  int length = platform::base64EncodeBytes(digest.data(), digest.size(), text, sizeof(text));
  out.append(text, static_cast<size_t>(length));
}

const Node::Digest& Node::keptDigest() const {
  if (const Digest* kept = digest_.load(std::memory_order_acquire)) return *kept;
  // Children first: the sink takes one node at a time.
  for (const auto& entry : children()) entry.value->keptDigest();
  HashTextSink& sink = HashTextSink::forThisThread();
  sink.begin();
  writeHashText(sink);
  auto digest = std::make_unique<Digest>();
  sink.finish(*digest);
  const Digest* kept = nullptr;
  if (digest_.compare_exchange_strong(kept, digest.get(), std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
    return *digest.release();
  }
  return *kept;  // another thread kept the same digest first
}

bool Node::equals(const Node& other) const {
  if (this == &other) return true;
  bool empty = isEmpty();
  if (empty || other.isEmpty()) return empty && other.isEmpty();
  if (isLeafNode() != other.isLeafNode()) return false;
  return equalsSameKind(other);
}

std::string Node::description() const { return val(true).toJsonString(); }

std::optional<size_t> arrayLengthOf(const ChildMap& children) {
  if (children.isEmpty()) return std::nullopt;
  int64_t largest = -1;
  for (const auto& entry : children) {
    const std::string& key = entry.key;
    if (key.size() > 1 && key[0] == '0') return std::nullopt;
    std::optional<int64_t> index = intForString(key);
    if (!index) return std::nullopt;
    largest = std::max(largest, *index);
  }
  if (static_cast<uint64_t>(largest) >= 2 * static_cast<uint64_t>(children.size())) {
    return std::nullopt;
  }
  return static_cast<size_t>(largest) + 1;
}

bool nodesEqual(const NodePtr& a, const NodePtr& b) {
  if (a.get() == b.get()) return true;
  const Node& left = a ? *a : *EmptyNode::emptyNode();
  const Node& right = b ? *b : *EmptyNode::emptyNode();
  return left.equals(right);
}

// ---- LeafNode

int compareLeafData(const LeafNode::Data& a, const LeafNode::Data& b) {
  int rankA = leafRank(a);
  int rankB = leafRank(b);
  if (rankA != rankB) return rankA < rankB ? -1 : 1;
  switch (rankA) {
    case 2: {
      const auto* intA = std::get_if<int64_t>(&a);
      const auto* intB = std::get_if<int64_t>(&b);
      if (intA && intB) return *intA < *intB ? -1 : (*intA > *intB ? 1 : 0);
      if (intA) return compareIntWithDouble(*intA, std::get<double>(b));
      if (intB) return -compareIntWithDouble(*intB, std::get<double>(a));
      return compareDoubles(std::get<double>(a), std::get<double>(b));
    }
    case 3:
      return sign(std::get<std::string>(a).compare(std::get<std::string>(b)));
    case 4:
      return sign(placeholderText(std::get<LeafNode::Placeholder>(a))
                      .compare(placeholderText(std::get<LeafNode::Placeholder>(b))));
    default:
      return 0;  // both false or both true
  }
}

LeafNode::LeafNode(Passkey, Data&& value) : value_(std::move(value)) {}

NodePtr LeafNode::make(Data&& value, NodePtr priority) {
  if (!priority) return NodePtr::adopt(new LeafNode(Passkey{}, std::move(value)));
  return NodePtr::adopt(new PrioritizedLeafNode(Passkey{}, std::move(value), std::move(priority)));
}

// Leaves of booleans and small integers without priority are common enough (flags, counts,
// indexes) to share one node each; nodes are immutable, so sharing is safe.
const NodePtr* LeafNode::sharedLeaf(const Data& value) {
  constexpr int64_t kSharedIntegers = 1024;
  static const std::vector<NodePtr>* shared = [] {
    auto* nodes = new std::vector<NodePtr>();
    nodes->reserve(kSharedIntegers + 2);
    for (int64_t i = 0; i < kSharedIntegers; ++i) {
      nodes->push_back(make(Data(i), nullptr));
    }
    nodes->push_back(make(Data(false), nullptr));
    nodes->push_back(make(Data(true), nullptr));
    return nodes;
  }();
  if (const auto* i = std::get_if<int64_t>(&value); i && *i >= 0 && *i < kSharedIntegers) {
    return &(*shared)[static_cast<size_t>(*i)];
  }
  if (const auto* b = std::get_if<bool>(&value)) return &(*shared)[kSharedIntegers + (*b ? 1 : 0)];
  return nullptr;
}

NodePtr LeafNode::create(Data&& value, NodePtr priority) {
  if (const double* d = std::get_if<double>(&value); d && !std::isfinite(*d)) {
    throw Exception(kInvalidDezuvuraData, kNonFiniteNumber);
  }
  priority = normalizedPriority(std::move(priority));
  if (!priority) {
    if (const NodePtr* shared = sharedLeaf(value)) return *shared;
  }
  return make(std::move(value), std::move(priority));
}

NodePtr LeafNode::fromValue(const Value& value, NodePtr priority) {
  switch (value.type()) {
    case Value::Type::Bool:
      return create(value.asBool(), std::move(priority));
    case Value::Type::Int:
      return create(value.asInt(), std::move(priority));
    case Value::Type::Double:
      return create(value.asDouble(), std::move(priority));
    case Value::Type::String:
      return create(value.asString(), std::move(priority));
    case Value::Type::Map:
      if (value.find(kServerValueKey)) {
        return create(std::make_shared<const Value>(value), std::move(priority));
      }
      break;
    default:
      break;
  }
  throw Exception(kInvalidDezuvuraData, kNotALeafValue);
}

Value LeafNode::plainValue() const {
  struct Convert {
    Value operator()(bool b) const { return Value(b); }
    Value operator()(int64_t i) const { return Value(static_cast<long long>(i)); }
    Value operator()(double d) const { return Value(d); }
    Value operator()(const std::string& s) const { return Value(s); }
    Value operator()(const Placeholder& p) const { return p ? *p : Value(); }
  };
  return std::visit(Convert{}, value_);
}

const NodePtr& LeafNode::getPriority() const { return EmptyNode::emptyNode(); }

NodePtr LeafNode::updatePriority(NodePtr priority) const {
  priority = normalizedPriority(std::move(priority));
  if (nodesEqual(priority, priorityOf(*this))) return shared_from_this();
  return make(Data(value_), std::move(priority));
}

NodePtr LeafNode::getImmediateChild(const std::string& key) const {
  if (key == kPriorityKey) return getPriority();
  return EmptyNode::emptyNode();
}

NodePtr LeafNode::updateImmediateChild(const std::string& key, NodePtr child) const {
  if (key == kPriorityKey) return updatePriority(std::move(child));
  if (!child || child->isEmpty()) return shared_from_this();
  return ChildrenNode::create(ChildMap().insert(key, std::move(child)), priorityOf(*this));
}

NodePtr LeafNode::updateImmediateChild(const std::string& key, NodePtr child,
                                       const NodePtr&) const {
  return updateImmediateChild(key, std::move(child));
}

const ChildMap& LeafNode::children() const { return emptyChildMap(); }

void LeafNode::writeHashText(HashTextSink& sink) const {
  appendPriorityHashText(sink.text(), *getPriority());
  appendLeafValueHashText(sink.text(), value_);
}

bool LeafNode::equalsSameKind(const Node& other) const {
  const auto& leaf = static_cast<const LeafNode&>(other);
  return compareLeafData(value_, leaf.value_) == 0 && getPriority()->equals(*leaf.getPriority());
}

// ---- ChildrenNode

ChildrenNode::ChildrenNode(Passkey, ChildMap children) : children_(std::move(children)) {}

NodePtr ChildrenNode::make(ChildMap children, NodePtr priority) {
  if (!priority) return NodePtr::adopt(new ChildrenNode(Passkey{}, std::move(children)));
  return NodePtr::adopt(
      new PrioritizedChildrenNode(Passkey{}, std::move(children), std::move(priority)));
}

NodePtr ChildrenNode::create(ChildMap children, NodePtr priority) {
  priority = normalizedPriority(std::move(priority));
  if (children.isEmpty() && !priority) return EmptyNode::emptyNode();
  return make(std::move(children), std::move(priority));
}

template <class EntryAt>
NodePtr ChildrenNode::fromOrderedEntries(size_t count, EntryAt entryAt, NodePtr priority) {
  priority = normalizedPriority(std::move(priority));
  const size_t size = priority ? sizeof(PrioritizedChildrenNode) : sizeof(ChildrenNode);
  static_assert(sizeof(PrioritizedChildrenNode) <= ChildMap::kMaxRoomBytes);
  void* room = nullptr;
  ChildMap children =
      ChildMap::fromOrderedEntries(count, entryAt, KeyCompare(), (size + 7) / 8 * 8, &room);
  if (!room) return create(std::move(children), std::move(priority));
  ChildrenNode* node = priority ? new (room) PrioritizedChildrenNode(Passkey{}, std::move(children),
                                                                     std::move(priority))
                                : new (room) ChildrenNode(Passkey{}, std::move(children));
  node->inBlock_ = true;
  return NodePtr::adopt(node);
}

NodePtr ChildrenNode::fromSortedEntries(std::vector<std::pair<std::string, NodePtr>>& entries,
                                        NodePtr priority) {
  return fromOrderedEntries(
      entries.size(), [&entries](size_t i) -> auto& { return entries[i]; }, std::move(priority));
}

NodePtr ChildrenNode::fromEntriesInOrder(std::vector<std::pair<std::string, NodePtr>>& entries,
                                         std::span<const uint32_t> order, NodePtr priority) {
  return fromOrderedEntries(
      order.size(), [&entries, order ](size_t i) -> auto& { return entries[order[i]]; },
      std::move(priority));
}

// The children go after the node: a node in their block's room then ends before its memory
// goes with them, and any other node gives its memory back before its children's.
void ChildrenNode::destroy() const {
  ChildMap children = std::move(const_cast<ChildMap&>(children_));
  if (inBlock_) {
    std::destroy_at(this);
  } else {
    delete this;
  }
}

const NodePtr& ChildrenNode::getPriority() const { return EmptyNode::emptyNode(); }

NodePtr ChildrenNode::updatePriority(NodePtr priority) const {
  priority = normalizedPriority(std::move(priority));
  if (nodesEqual(priority, priorityOf(*this))) return shared_from_this();
  return create(children_, std::move(priority));
}

NodePtr ChildrenNode::getImmediateChild(const std::string& key) const {
  if (key == kPriorityKey) return getPriority();
  const NodePtr* child = children_.find(key);
  return child ? *child : EmptyNode::emptyNode();
}

NodePtr ChildrenNode::updateImmediateChild(const std::string& key, NodePtr child) const {
  if (key == kPriorityKey) return updatePriority(std::move(child));
  const NodePtr* existing = children_.find(key);
  return updateImmediateChild(key, std::move(child), existing ? *existing : EmptyNode::emptyNode());
}

NodePtr ChildrenNode::updateImmediateChild(const std::string& key, NodePtr child,
                                           const NodePtr& oldChild) const {
  if (key == kPriorityKey) return updatePriority(std::move(child));
  // Children are never empty nodes, so an empty old child means there is none.
  const NodePtr* existing = oldChild->isEmpty() ? nullptr : &oldChild;
  if (!child || child->isEmpty()) {
    if (!existing) return shared_from_this();
    ChildMap remaining = children_.remove(key);
    // Without children there is no data left to carry a priority.
    if (remaining.isEmpty()) return EmptyNode::emptyNode();
    return make(std::move(remaining), priorityOf(*this));
  }
  if (existing && existing->get() == child.get()) return shared_from_this();
  return make(children_.insert(key, std::move(child)), priorityOf(*this));
}

void ChildrenNode::writeHashText(HashTextSink& sink) const {
  appendPriorityHashText(sink.text(), *getPriority());
  for (const auto& entry : children_) {
    std::string& text = sink.text();
    text.push_back(':');
    appendQuotedHashText(text, entry.key);
    text.push_back(':');
    entry.value->appendKeptHash(text);
    sink.flushIfLarge();
  }
}

bool ChildrenNode::equalsSameKind(const Node& other) const {
  const auto& node = static_cast<const ChildrenNode&>(other);
  if (children_.size() != node.children_.size() || !getPriority()->equals(*node.getPriority())) {
    return false;
  }
  for (auto i = children_.begin(), j = node.children_.begin(); i != children_.end(); ++i, ++j) {
    if (i->key != j->key || !i->value->equals(*j->value)) return false;
  }
  return true;
}

// ---- EmptyNode

const NodePtr& EmptyNode::emptyNode() {
  // Never destroyed, so nodes released during static destruction can still reach it.
  static const NodePtr* empty =
      new NodePtr(NodePtr::adopt(new ChildrenNode(ChildrenNode::Passkey{}, ChildMap())));
  return *empty;
}

}  // namespace dz::database
