#include "database/snapshot/snapshot_utilities.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <optional>
#include <vector>

#include "database/snapshot/json_reader.h"
#include "database/snapshot/json_writer.h"
#include "database/snapshot/validation.h"
#include "database/utilities/utilities.h"
#include "platform/exception.h"
#include "platform/json_text.h"

namespace dz::database {
namespace {

constexpr char kMalformedJsonText[] = ") Invalid JSON text: ";

// Reads a plain value for the node builder.
struct PlainSource {
  using Source = Value;
  static bool isNull(const Value& v) { return v.isNull(); }
  static bool isObject(const Value& v) { return v.isMap(); }
  static bool isArray(const Value& v) { return v.isArray(); }
  static const Value* member(const Value& v, std::string_view key) { return v.find(key); }
  static size_t size(const Value& v) { return v.size(); }
  template <class Visit>
  static void forEachMember(const Value& v, Visit&& visit) {
    for (const auto& [key, child] : v.asMap()) visit(std::string_view(key), child);
  }
  template <class Visit>
  static void forEachElement(const Value& v, Visit&& visit) {
    for (const Value& child : v.asArray()) visit(child);
  }
  static std::optional<LeafNode::Data> scalar(const Value& v) {
    switch (v.type()) {
      case Value::Type::Bool:
        return LeafNode::Data(v.asBool());
      case Value::Type::Int:
        return LeafNode::Data(v.asInt());
      case Value::Type::Double:
        return LeafNode::Data(v.asDouble());
      case Value::Type::String:
        return LeafNode::Data(v.asString());
      default:
        return std::nullopt;
    }
  }
  static Value plain(const Value& v) { return v; }
};

// Reads wire JSON for the node builder.
struct JsonSource {
  using Source = boost::json::value;
  static bool isNull(const Source& v) { return v.is_null(); }
  static bool isObject(const Source& v) { return v.is_object(); }
  static bool isArray(const Source& v) { return v.is_array(); }
  static const Source* member(const Source& v, std::string_view key) {
    const boost::json::object* object = v.if_object();
    return object ? object->if_contains(key) : nullptr;
  }
  static size_t size(const Source& v) {
    if (const auto* object = v.if_object()) return object->size();
    if (const auto* array = v.if_array()) return array->size();
    return 0;
  }
  template <class Visit>
  static void forEachMember(const Source& v, Visit&& visit) {
    for (const auto& member : v.get_object()) visit(std::string_view(member.key()), member.value());
  }
  template <class Visit>
  static void forEachElement(const Source& v, Visit&& visit) {
    for (const Source& child : v.get_array()) visit(child);
  }
  static std::optional<LeafNode::Data> scalar(const Source& v) {
    switch (v.kind()) {
      case boost::json::kind::bool_:
        return LeafNode::Data(v.get_bool());
      case boost::json::kind::int64:
        return LeafNode::Data(static_cast<int64_t>(v.get_int64()));
      case boost::json::kind::uint64: {
        uint64_t u = v.get_uint64();
        if (u <= static_cast<uint64_t>(INT64_MAX)) return LeafNode::Data(static_cast<int64_t>(u));
        return LeafNode::Data(static_cast<double>(u));
      }
      case boost::json::kind::double_:
        return LeafNode::Data(v.get_double());
      case boost::json::kind::string:
        return LeafNode::Data(std::string(v.get_string()));
      default:
        return std::nullopt;
    }
  }
  static Value plain(const Source& v) { return Value::fromJson(v); }
};

bool isFinite(const LeafNode::Data& data) {
  const double* d = std::get_if<double>(&data);
  return !d || std::isfinite(*d);
}

// Builds the node of one value, tracking the path for error messages.
template <class Access>
class NodeBuilder {
 public:
  using Source = typename Access::Source;

  explicit NodeBuilder(std::string_view label) : label_(label) {}

  NodePtr build(const Source& value, const Source* priority) {
    NodePtr priorityNode = priority ? priorityFrom(Access::plain(*priority)) : nullptr;
    return node(value, std::move(priorityNode), 0);
  }

  // The priority node of a value (null for none), or an exception.
  NodePtr priorityFrom(const Value& priority) {
    bool finite = !priority.isDouble() || std::isfinite(priority.asDouble());
    if (!finite || !Validation::validatePriorityValue(priority)) {
      fail(kInvalidDezuvuraData,
           ") Invalid priority: a priority must be a string, a finite number, null or a server "
           "value, at ",
           "");
    }
    if (priority.isNull()) return nullptr;
    if (priority.isMap()) return placeholder(priority, nullptr);
    return LeafNode::fromValue(priority);
  }

 private:
  NodePtr node(const Source& value, NodePtr priority, size_t depth) {
    if (depth > kMaxObjectDepth) fail(kInvalidDezuvuraData, ") Max object depth exceeded: ", "...");
    if (Access::isNull(value)) return EmptyNode::emptyNode();
    if (Access::isObject(value)) {
      // One look for the members with a meaning of their own (only they start with a dot).
      const Source* priorityMember = nullptr;
      const Source* valueMember = nullptr;
      bool serverValue = false;
      Access::forEachMember(value, [&](std::string_view key, const Source& member) {
        if (key.empty() || key[0] != '.') return;
        if (key == kPriorityKey) priorityMember = &member;
        if (key == kValueKey) valueMember = &member;
        if (key == kServerValueKey) serverValue = true;
      });
      if (priorityMember) priority = priorityFrom(Access::plain(*priorityMember));
      if (valueMember) return valueLeaf(*valueMember, priority);
      if (serverValue) return placeholder(Access::plain(value), priority);
      return childrenOf(value, std::move(priority), depth);
    }
    if (Access::isArray(value)) return elementsOf(value, std::move(priority), depth);
    return leaf(value, std::move(priority));
  }

  NodePtr leaf(const Source& value, NodePtr priority) {
    std::optional<LeafNode::Data> data = Access::scalar(value);
    if (!data) fail(kInvalidDezuvuraData, ") Invalid data type at ", "");
    if (!isFinite(*data))
      fail(kInvalidDezuvuraData, ") Cannot store a number that is not finite at ", "");
    return LeafNode::create(std::move(*data), std::move(priority));
  }

  NodePtr valueLeaf(const Source& inner, NodePtr priority) {
    if (Access::isNull(inner)) return EmptyNode::emptyNode();
    if (Access::isObject(inner) && Access::member(inner, kServerValueKey)) {
      return placeholder(Access::plain(inner), std::move(priority));
    }
    if (!Access::scalar(inner)) {
      fail(kInvalidLeafValueType,
           ") Invalid data type used with .value: only strings, numbers, booleans, server values "
           "and null can be used, at ",
           "");
    }
    return leaf(inner, std::move(priority));
  }

  using Entries = std::vector<std::pair<std::string, NodePtr>>;

  // The entry list of one nesting level, reused for every object at that level.
  Entries& entriesAt(size_t depth) {
    if (scratch_.size() <= depth) scratch_.resize(depth + 1);
    Entries& entries = scratch_[depth];
    entries.clear();
    return entries;
  }

  NodePtr childrenOf(const Source& value, NodePtr priority, size_t depth) {
    entriesAt(depth);
    Access::forEachMember(value, [&](std::string_view key, const Source& child) {
      if (key == kPriorityKey) return;
      path_.push_back(key);
      if (!Validation::isValidKey(key)) {
        fail(kInvalidDezuvuraData,
             ") Invalid key: keys must be non-empty and must not contain '/' '.' '#' '$' '[' or "
             "']', at ",
             "");
      }
      NodePtr childNode = node(child, nullptr, depth + 1);
      path_.pop_back();
      if (!childNode->isEmpty())
        scratch_[depth].emplace_back(std::string(key), std::move(childNode));
    });
    return childrenNode(scratch_[depth], std::move(priority));
  }

  NodePtr elementsOf(const Source& value, NodePtr priority, size_t depth) {
    entriesAt(depth);
    size_t index = 0;
    Access::forEachElement(value, [&](const Source& child) {
      std::string key = std::to_string(index++);
      path_.push_back(key);
      NodePtr childNode = node(child, nullptr, depth + 1);
      path_.pop_back();
      if (!childNode->isEmpty()) scratch_[depth].emplace_back(std::move(key), std::move(childNode));
    });
    return childrenNode(scratch_[depth], std::move(priority));
  }

  static NodePtr childrenNode(Entries& entries, NodePtr priority) {
    if (entries.empty()) return EmptyNode::emptyNode();
    auto less = [](const auto& a, const auto& b) { return compareKeys(a.first, b.first) < 0; };
    if (!std::is_sorted(entries.begin(), entries.end(), less)) {
      std::sort(entries.begin(), entries.end(), less);
      // Objects hold each key once; should a source repeat one, keep a single entry.
      auto same = [](const auto& a, const auto& b) { return a.first == b.first; };
      entries.erase(std::unique(entries.begin(), entries.end(), same), entries.end());
    }
    NodePtr node = ChildrenNode::create(ChildMap::fromSortedEntries(entries, KeyCompare()),
                                        std::move(priority));
    entries.clear();
    return node;
  }

  // A placeholder may hold ".sv" (naming a known server value) and ".priority", nothing else.
  NodePtr placeholder(const Value& value, NodePtr priority) {
    const Value::Map& map = value.asMap();
    const Value& name = value[kServerValueKey];
    size_t allowed = map.contains(kPriorityKey) ? 2 : 1;
    if (map.size() != allowed) {
      fail(kInvalidDezuvuraData, ") A server value holds only \".sv\" and \".priority\", at ", "");
    }
    if (!name.isString() || name.asString() != kServerValueTimestamp) {
      fail(kInvalidDezuvuraData, ") Unknown server value " + name.toJsonString() + " at ", "");
    }
    Value::Map placeholderMap;
    placeholderMap.emplace(kServerValueKey, name);
    return LeafNode::create(std::make_shared<const Value>(std::move(placeholderMap)),
                            std::move(priority));
  }

  [[noreturn]] void fail(const char* name, std::string_view middle, std::string_view end) {
    std::string reason = "(";
    reason.append(label_);
    reason.append(middle);
    if (path_.empty()) reason.push_back('/');
    for (std::string_view key : path_) {
      reason.push_back('/');
      reason.append(key);
    }
    reason.append(end);
    throw Exception(name, reason);
  }

  std::string_view label_;
  std::vector<std::string_view> path_;
  // Nested levels get their own list (a vector of vectors: growing it moves, never copies).
  std::vector<Entries> scratch_;
};

boost::json::value leafJson(const LeafNode& leaf) {
  struct Convert {
    boost::json::value operator()(bool b) const { return b; }
    boost::json::value operator()(int64_t i) const { return i; }
    boost::json::value operator()(double d) const { return d; }
    boost::json::value operator()(const std::string& s) const { return boost::json::string(s); }
    boost::json::value operator()(const LeafNode::Placeholder& p) const {
      return p ? p->toJson() : boost::json::value();
    }
  };
  return std::visit(Convert{}, leaf.value());
}

size_t leafEstimate(const LeafNode& leaf) {
  struct Estimate {
    size_t operator()(bool b) const { return b ? 4 : 5; }
    size_t operator()(int64_t i) const { return std::to_string(i).size(); }
    size_t operator()(double) const { return 8; }
    size_t operator()(const std::string& s) const { return s.size() + 2; }
    size_t operator()(const LeafNode::Placeholder&) const { return 16; }
  };
  return std::visit(Estimate{}, leaf.value());
}

}  // namespace

NodePtr SnapshotUtilities::nodeFrom(const Value& value, const Value& priority,
                                    std::string_view label) {
  return NodeBuilder<PlainSource>(label).build(value, &priority);
}

NodePtr SnapshotUtilities::nodeFromJson(const boost::json::value& json, std::string_view label) {
  return NodeBuilder<JsonSource>(label).build(json, nullptr);
}

NodePtr SnapshotUtilities::tryNodeFromJson(const boost::json::value& json) noexcept {
  try {
    return nodeFromJson(json);
  } catch (const std::exception&) {
    return nullptr;
  }
}

NodePtr SnapshotUtilities::nodeFromJsonText(std::string_view text, std::string_view label) {
  JsonTextRead read = readJsonText(text, kMaxJsonTextDepth);
  if (read.node) return std::move(read.node);
  if (read.needsDocument) {
    boost::json::parse_options options;
    options.max_depth = kMaxJsonTextDepth;
    boost::json::value json = parseJsonExact(text, read.error, options);
    if (!read.error) return nodeFromJson(json, label);
  }
  std::string reason = "(";
  reason.append(label);
  reason.append(kMalformedJsonText);
  reason.append(read.error.message());
  throw Exception(kInvalidDezuvuraData, reason);
}

NodePtr SnapshotUtilities::tryNodeFromJsonText(std::string_view text) noexcept {
  try {
    return nodeFromJsonText(text);
  } catch (const std::exception&) {
    return nullptr;
  }
}

boost::json::value SnapshotUtilities::toJson(const Node& node, bool exportFormat) {
  if (node.isEmpty()) return nullptr;
  const NodePtr& priority = node.getPriority();
  bool withPriority = exportFormat && !priority->isEmpty();
  if (node.isLeafNode()) {
    boost::json::value value = leafJson(static_cast<const LeafNode&>(node));
    if (!withPriority) return value;
    boost::json::object object;
    object.emplace(kValueKey, std::move(value));
    object.emplace(kPriorityKey, toJson(*priority));
    return object;
  }
  const ChildMap& children = node.children();
  if (!exportFormat) {
    if (std::optional<size_t> length = arrayLengthOf(children)) {
      boost::json::array array(*length);
      for (const auto& entry : children) {
        array[static_cast<size_t>(*intForString(entry.key))] = toJson(*entry.value);
      }
      return array;
    }
  }
  boost::json::object object;
  object.reserve(children.size() + (withPriority ? 1 : 0));
  for (const auto& entry : children) object.emplace(entry.key, toJson(*entry.value, exportFormat));
  if (withPriority) object.emplace(kPriorityKey, toJson(*priority));
  return object;
}

std::string SnapshotUtilities::toJsonText(const Node& node, bool exportFormat) {
  std::string text;
  writeJsonText(node, exportFormat, text);
  return text;
}

CompoundWrite SnapshotUtilities::compoundWriteFromDictionary(const Value::Map& values,
                                                             std::string_view label) {
  CompoundWrite write;
  for (const auto& [pathString, value] : values) {
    Path path(pathString);
    if (path.back() == kPriorityKey) {
      // Only the last key may name the priority; the rest must be a valid path.
      std::optional<Path> parent = path.parent();
      if (!parent->isEmpty()) Validation::validatePathString(label, parent->toString());
      NodePtr priority = NodeBuilder<PlainSource>(label).priorityFrom(value);
      write = write.addWrite(path, priority ? priority : EmptyNode::emptyNode());
      continue;
    }
    Validation::validatePathString(label, pathString);
    write = write.addWrite(path, nodeFrom(value, Value(), label));
  }
  return write;
}

size_t SnapshotUtilities::estimateSerializedNodeSize(const Node& node) {
  if (node.isEmpty()) return 4;  // null
  size_t size = 0;
  const NodePtr& priority = node.getPriority();
  if (!priority->isEmpty()) size += 24 + estimateSerializedNodeSize(*priority);
  if (node.isLeafNode()) return size + leafEstimate(static_cast<const LeafNode&>(node));
  size += 2;  // braces
  for (const auto& entry : node.children()) {
    size +=
        entry.key.size() + 4 + estimateSerializedNodeSize(*entry.value);  // quotes, colon, comma
  }
  return size;
}

}  // namespace dz::database
