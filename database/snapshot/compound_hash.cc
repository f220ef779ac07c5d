#include "database/snapshot/compound_hash.h"

#include <algorithm>
#include <span>

#include "database/snapshot/hashing.h"
#include "database/snapshot/key_order.h"
#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

constexpr size_t kMinTargetRangeBytes = 1024;
constexpr size_t kTargetRangesPerNode = 32;

int compareKeyLists(std::span<const std::string> a, std::span<const std::string> b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (int c = compareKeys(a[i], b[i])) return c;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// `"wire/path":<entry text>;`
std::string entryText(const std::vector<std::string>& keys, std::string_view text) {
  std::string wirePath;
  if (keys.empty()) wirePath = "/";
  for (const std::string& key : keys) {
    if (!wirePath.empty()) wirePath.push_back('/');
    wirePath.append(key);
  }
  std::string entry;
  entry.reserve(wirePath.size() + text.size() + 4);
  appendQuotedHashText(entry, wirePath);
  entry.push_back(':');
  entry.append(text);
  entry.push_back(';');
  return entry;
}

// Calls visit(keys, entry) for every leaf and every priority of a children node, in path order.
template <class Visit>
void walkEntries(const Node& node, std::vector<std::string>& keys, Visit& visit) {
  if (node.isEmpty()) return;
  std::string text;
  appendPriorityHashText(text, *node.getPriority());
  if (node.isLeafNode()) {
    appendLeafValueHashText(text, static_cast<const LeafNode&>(node).value());
    visit(keys, entryText(keys, text));
    return;
  }
  if (!text.empty()) visit(keys, entryText(keys, text));
  for (const auto& child : node.children()) {
    keys.push_back(child.key);
    walkEntries(*child.value, keys, visit);
    keys.pop_back();
  }
}

std::string rangeHash(const std::string& range) {
  return range.empty() ? std::string() : hashOfText(range);
}

}  // namespace

int comparePathsInKeyOrder(const Path& a, const Path& b) {
  return compareKeyLists(a.keys(), b.keys());
}

CompoundHash CompoundHash::fromNode(const Node& node) {
  size_t estimate = SnapshotUtilities::estimateSerializedNodeSize(node);
  return fromNode(node, std::max(kMinTargetRangeBytes, estimate / kTargetRangesPerNode));
}

CompoundHash CompoundHash::fromNode(const Node& node, size_t targetRangeBytes) {
  CompoundHash result;
  std::string range;
  std::vector<std::string> keys;
  std::vector<std::string> lastKeys;
  auto visit = [&](const std::vector<std::string>& entryKeys, const std::string& entry) {
    if (!range.empty() && range.size() + entry.size() > targetRangeBytes) {
      result.posts.emplace_back(lastKeys);
      result.hashes.push_back(rangeHash(range));
      range.clear();
    }
    range.append(entry);
    lastKeys = entryKeys;
  };
  walkEntries(node, keys, visit);
  result.hashes.push_back(rangeHash(range));
  return result;
}

std::vector<std::string> CompoundHash::hashesForPosts(const Node& node,
                                                      const std::vector<Path>& posts) {
  std::vector<std::string> ranges(posts.size() + 1);
  size_t current = 0;
  std::vector<std::string> keys;
  auto visit = [&](const std::vector<std::string>& entryKeys, const std::string& entry) {
    while (current < posts.size() && compareKeyLists(entryKeys, posts[current].keys()) > 0) {
      ++current;
    }
    ranges[current].append(entry);
  };
  walkEntries(node, keys, visit);
  std::vector<std::string> hashes;
  hashes.reserve(ranges.size());
  for (const std::string& range : ranges) hashes.push_back(rangeHash(range));
  return hashes;
}

}  // namespace dz::database
