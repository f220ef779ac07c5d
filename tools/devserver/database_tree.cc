#include "tools/devserver/database_tree.h"

#include <boost/json/parse.hpp>
#include <vector>

#include "platform/value.h"

namespace dz::devserver {
namespace {

using database::EmptyNode;
using database::LeafNode;
using database::NodePtr;

constexpr std::string_view kTimestamp = "timestamp";
// Data may nest 1,000 levels below the envelope and the request body.
constexpr size_t kMaxJsonDepth = 1100;

NodePtr priorityOf(const boost::json::object& object) {
  auto it = object.find(database::kPriorityKey);
  if (it == object.end() || it->value().is_null()) return nullptr;
  return LeafNode::fromValue(Value::fromJson(it->value()));
}

NodePtr nodeOfObject(const boost::json::object& object) {
  if (object.contains(database::kServerValueKey)) {
    return LeafNode::fromValue(Value::fromJson(object));
  }
  NodePtr priority = priorityOf(object);
  if (auto it = object.find(database::kValueKey); it != object.end()) {
    if (it->value().is_null()) return EmptyNode::emptyNode();
    return nodeFromJson(it->value())->updatePriority(priority ? priority : EmptyNode::emptyNode());
  }
  NodePtr node = EmptyNode::emptyNode();
  for (const auto& [key, child] : object) {
    if (key.empty() || key.front() == '.') continue;
    node = node->updateImmediateChild(std::string(key), nodeFromJson(child));
  }
  if (priority && !node->isEmpty()) node = node->updatePriority(priority);
  return node;
}

}  // namespace

NodePtr nodeFromJson(const boost::json::value& json) {
  if (json.is_null()) return EmptyNode::emptyNode();
  if (const auto* object = json.if_object()) return nodeOfObject(*object);
  if (const auto* array = json.if_array()) {
    NodePtr node = EmptyNode::emptyNode();
    for (size_t i = 0; i < array->size(); ++i) {
      node = node->updateImmediateChild(std::to_string(i), nodeFromJson((*array)[i]));
    }
    return node;
  }
  return LeafNode::fromValue(Value::fromJson(json));
}

boost::json::value jsonOfNode(const database::Node& node) {
  if (node.isEmpty()) return nullptr;
  return node.val(/*exportFormat=*/true).toJson();
}

boost::json::value resolveServerValues(const boost::json::value& json, int64_t nowMs) {
  if (const auto* object = json.if_object()) {
    if (auto it = object->find(database::kServerValueKey); it != object->end()) {
      const auto* name = it->value().if_string();
      if (name && *name == kTimestamp) return nowMs;
      return json;
    }
    boost::json::object resolved;
    for (const auto& [key, child] : *object) resolved[key] = resolveServerValues(child, nowMs);
    return resolved;
  }
  if (const auto* array = json.if_array()) {
    boost::json::array resolved;
    for (const auto& child : *array) resolved.push_back(resolveServerValues(child, nowMs));
    return resolved;
  }
  return json;
}

std::optional<boost::json::value> parseJsonText(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::system::error_code ec;
  boost::json::value parsed = boost::json::parse(text, ec, {}, options);
  if (ec) return std::nullopt;
  return parsed;
}

void DatabaseTree::set(const database::Path& path, NodePtr node) {
  root_ = root_->updateChild(path, std::move(node));
}

void DatabaseTree::update(const database::Path& path, const boost::json::object& children,
                          int64_t nowMs) {
  // Convert everything first so a bad value leaves the tree untouched.
  std::vector<std::pair<database::Path, NodePtr>> writes;
  for (const auto& [key, child] : children) {
    writes.emplace_back(path.child(std::string_view(key)),
                        nodeFromJson(resolveServerValues(child, nowMs)));
  }
  for (auto& [childPath, node] : writes) set(childPath, std::move(node));
}

}  // namespace dz::devserver
