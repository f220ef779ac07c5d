#include "tools/devserver/database_tree.h"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <map>
#include <vector>

#include "database/snapshot/snapshot_utilities.h"
#include "platform/exception.h"
#include "platform/json_text.h"

namespace dz::devserver {
namespace {

using database::NodePtr;
using database::SnapshotUtilities;

constexpr std::string_view kTimestamp = database::kServerValueTimestamp;
// Data may nest 1,000 levels below the envelope and the request body.
constexpr size_t kMaxJsonDepth = database::kMaxObjectDepth + 100;

}  // namespace

boost::json::value jsonOfNode(const database::Node& node) {
  return SnapshotUtilities::toJson(node, /*exportFormat=*/true);
}

namespace {

bool holdsServerValue(const boost::json::value& json) {
  if (const auto* object = json.if_object()) {
    if (object->contains(database::kServerValueKey)) return true;
    for (const auto& [key, child] : *object) {
      if (holdsServerValue(child)) return true;
    }
  } else if (const auto* array = json.if_array()) {
    for (const auto& child : *array) {
      if (holdsServerValue(child)) return true;
    }
  }
  return false;
}

boost::json::value resolvePlaceholders(const boost::json::value& json, int64_t nowMs) {
  if (const auto* object = json.if_object()) {
    if (auto it = object->find(database::kServerValueKey); it != object->end()) {
      // Only a well-formed placeholder resolves; anything else stays for the node model to
      // refuse.
      const auto* name = it->value().if_string();
      const auto* priority = object->if_contains(database::kPriorityKey);
      if (!name || *name != kTimestamp || object->size() != (priority ? 2u : 1u)) return json;
      if (!priority) return nowMs;
      return boost::json::object{{database::kValueKey, nowMs},
                                 {database::kPriorityKey, resolvePlaceholders(*priority, nowMs)}};
    }
    boost::json::object resolved;
    for (const auto& [key, child] : *object) resolved[key] = resolvePlaceholders(child, nowMs);
    return resolved;
  }
  if (const auto* array = json.if_array()) {
    boost::json::array resolved;
    for (const auto& child : *array) resolved.push_back(resolvePlaceholders(child, nowMs));
    return resolved;
  }
  return json;
}

}  // namespace

boost::json::value resolveServerValues(const boost::json::value& json, int64_t nowMs) {
  // Most writes hold none: the copy alone is what they cost.
  if (!holdsServerValue(json)) return json;
  return resolvePlaceholders(json, nowMs);
}

namespace {

// Whether `node` holds data more than `levels` levels below itself.
bool nestsDeeperThan(const database::Node& node, size_t levels) {
  if (node.isLeafNode() || node.isEmpty()) return false;
  if (levels == 0) return true;
  return node.enumerateChildren([levels](const std::string&, const NodePtr& child) {
    return nestsDeeperThan(*child, levels - 1);
  });
}

}  // namespace

NodePtr nodeToStore(const database::Path& path, const boost::json::value& json) {
  NodePtr node = SnapshotUtilities::nodeFromJson(json);
  // A priority belongs to the node above its key.
  size_t depth = path.size();
  if (depth > 0 && path.back() == database::kPriorityKey) --depth;
  if (!node->isEmpty() && (depth > database::kMaxObjectDepth ||
                           nestsDeeperThan(*node, database::kMaxObjectDepth - depth))) {
    throw Exception(kInvalidArgumentException, "Data would nest more than " +
                                                   std::to_string(database::kMaxObjectDepth) +
                                                   " levels below the root at " + path.toString());
  }
  return node;
}

std::optional<boost::json::value> parseJsonText(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::system::error_code ec;
  boost::json::value parsed = dz::parseJsonExact(text, ec, options);
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
    database::Path childPath = path.child(std::string_view(key));
    writes.emplace_back(childPath, nodeToStore(childPath, resolveServerValues(child, nowMs)));
  }
  // An update is one change: every node above the written paths keeps its priority, or takes the
  // one the update writes for it, unless it ends without data, whichever children go first.
  auto isPriority = [](const database::Path& at) {
    return !at.isEmpty() && at.back() == database::kPriorityKey;
  };
  auto rewritten = [&](const database::Path& at) {
    return std::any_of(writes.begin(), writes.end(), [&](const auto& write) {
      return !isPriority(write.first) && write.first.contains(at);
    });
  };
  // By wire path; null where there is none to keep.
  std::map<std::string, std::pair<database::Path, NodePtr>> priorities;
  for (const auto& [childPath, node] : writes) {
    for (database::Path at = childPath; !at.isEmpty();) {
      at = *at.parent();
      auto [entry, added] = priorities.try_emplace(at.toString(), at, nullptr);
      // Its parents are known too.
      if (!added) break;
      NodePtr priority = get(at)->getPriority();
      if (!priority->isEmpty() && !rewritten(at)) entry->second.second = std::move(priority);
    }
  }
  for (const auto& [childPath, node] : writes) {
    if (isPriority(childPath)) priorities.at(childPath.parent()->toString()).second = node;
  }
  for (auto& [childPath, node] : writes) set(childPath, std::move(node));
  for (const auto& [key, entry] : priorities) {
    const auto& [at, priority] = entry;
    if (priority && !get(at)->isEmpty()) set(at.child(database::kPriorityKey), priority);
  }
}

}  // namespace dz::devserver
