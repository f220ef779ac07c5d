#include "tools/devserver/listen_window.h"

#include <algorithm>

#include "database/snapshot/hashing.h"
#include "database/utilities/wire_protocol.h"
#include "tools/devserver/database_tree.h"

namespace dz::devserver {

namespace wire = database::wire;
using database::EmptyNode;
using database::Node;
using database::NodePtr;
using database::Path;

std::optional<ListenWindow> ListenWindow::create(const boost::json::value& query) {
  auto parsed = QueryWindow::fromWire(query);
  if (!parsed) return std::nullopt;
  ListenWindow window;
  window.query_ = std::move(*parsed);
  return window;
}

NodePtr ListenWindow::reset(const NodePtr& data) {
  if (!filtered()) return data;
  dataWasLeaf_ = data->isLeafNode();
  window_ = query_.select(data);
  return window_;
}

std::vector<WindowChange> ListenWindow::update(const NodePtr& data,
                                               const std::set<std::string>& keys) {
  NodePtr old = window_;
  bool incremental = !keys.empty() && !dataWasLeaf_ && !data->isLeafNode();
  for (const std::string& key : keys) incremental = incremental && key != database::kPriorityKey;
  // Without a limit whether a child is in the window depends on that child alone.
  bool byChild = incremental && !query_.limited();
  if (byChild) {
    for (const std::string& key : keys) {
      NodePtr child = data->getImmediateChild(key);
      bool held = query_.inBounds(key, *child);
      window_ = window_->updateImmediateChild(key, held ? child : EmptyNode::emptyNode());
    }
  } else {
    reset(data);
  }
  if (database::nodesEqual(old, window_)) return {};
  std::vector<WindowChange> changes;
  if (byChild) {
    for (const std::string& key : keys) {
      NodePtr before = old->getImmediateChild(key);
      NodePtr after = window_->getImmediateChild(key);
      if (database::nodesEqual(before, after)) continue;
      if (before->isEmpty()) {
        changes.push_back({WindowChange::Kind::kEntered, key, after});
      } else if (after->isEmpty()) {
        changes.push_back({WindowChange::Kind::kLeft, key, after});
      } else {
        changes.push_back({WindowChange::Kind::kWritten, key, after});
      }
    }
  }
  if (changes.empty()) return {{WindowChange::Kind::kWhole, std::string(), window_}};
  return changes;
}

namespace {

// The nodes from the root down to `path`, with their paths.
template <class Visit>
void forEachPrefix(const Path& path, Visit&& visit) {
  for (size_t length = 0; length <= path.size(); ++length) {
    visit(Path(std::vector<std::string>(path.keys().begin(), path.keys().begin() + length)));
  }
}

Path priorityPath(const Path& path) { return path.child(std::string_view(database::kPriorityKey)); }

// Whether `path` lies after `start` and up to and including `end`.
bool inRange(const Path& path, const std::optional<Path>& start, const std::optional<Path>& end) {
  return (!start || pathOrder(path, *start) > 0) && (!end || pathOrder(path, *end) <= 0);
}

// Whether the client applying a range puts the priority of the node at `path` inside it: there a
// priority sits at the path's ".priority" child.
bool priorityInRange(const Path& path, const std::optional<Path>& start,
                     const std::optional<Path>& end) {
  return inRange(priorityPath(path), start, end);
}

NodePtr rangeBelow(const NodePtr& node, const Path& path, const std::optional<Path>& start,
                   const std::optional<Path>& end) {
  if (node->isLeafNode()) {
    // A leaf goes whole: its value lies at its path. On the start, the client keeps its value
    // and takes the priority from the range.
    const bool priorityOnStart = start && path == *start && !node->getPriority()->isEmpty();
    return inRange(path, start, end) || priorityOnStart ? node : EmptyNode::emptyNode();
  }
  NodePtr range = EmptyNode::emptyNode();
  for (const auto& child : node->children()) {
    NodePtr below = rangeBelow(child.value, path.child(child.key), start, end);
    if (!below->isEmpty()) range = range->updateImmediateChild(child.key, below);
  }
  // Only a node with children in the range carries a priority to the client.
  if (!range->isEmpty() && priorityInRange(path, start, end)) {
    range = range->updatePriority(node->getPriority());
  }
  return range;
}

// `"wire/path":<text>;`, the text of one compound-hash entry.
std::string entryText(const Path& path, const std::string& text) {
  std::string entry;
  database::appendQuotedHashText(entry, path.isEmpty() ? "/" : path.wireFormat());
  return entry + ":" + text + ";";
}

// Every entry of `node`: each leaf at its path, and the priority of each children node at the
// node's own path.
void collectEntries(const Node& node, const Path& path,
                    std::vector<std::pair<Path, std::string>>& entries) {
  if (node.isEmpty()) return;
  std::string text;
  database::appendPriorityHashText(text, *node.getPriority());
  if (node.isLeafNode()) {
    database::appendLeafValueHashText(text, static_cast<const database::LeafNode&>(node).value());
    entries.emplace_back(path, entryText(path, text));
    return;
  }
  if (!text.empty()) entries.emplace_back(path, entryText(path, text));
  for (const auto& child : node.children()) {
    collectEntries(*child.value, path.child(child.key), entries);
  }
}

}  // namespace

int pathOrder(const Path& a, const Path& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (int order = keyOrder(a[i], b[i])) return order;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

NodePtr dataInRange(const NodePtr& node, const std::optional<Path>& start,
                    const std::optional<Path>& end) {
  return rangeBelow(node, Path(), start, end);
}

std::vector<std::string> rangeHashes(const Node& data, const std::vector<Path>& posts) {
  std::vector<std::pair<Path, std::string>> entries;
  collectEntries(data, Path(), entries);
  // In path order by the server's own key order, whatever order the node keeps its children in;
  // then the range only moves on.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return pathOrder(a.first, b.first) < 0; });
  std::vector<std::string> texts(posts.size() + 1);
  size_t range = 0;
  for (const auto& [path, text] : entries) {
    while (range < posts.size() && pathOrder(path, posts[range]) > 0) ++range;
    texts[range] += text;
  }
  std::vector<std::string> hashes;
  for (const std::string& text : texts) {
    hashes.push_back(text.empty() ? std::string() : database::hashOfText(text));
  }
  return hashes;
}

namespace {

// Which of the client's hash ranges go out. Two places disagree between a compound hash and a
// range merge: the hash counts a children node's priority at the node's own path, the client
// applying a range at the path's ".priority" child, which may fall in a later range; and a
// priority that falls in a range without any child of its node beside it cannot be carried.
class RangeSelection {
 public:
  RangeSelection(const Node& data, const std::vector<Path>& posts)
      : data_(data), posts_(posts), send_(posts.size() + 1, false) {}

  void markDiffering(size_t range) {
    send_[range] = true;
    if (range == posts_.size()) return;
    // Nodes on the way to the range's end whose priorities the client places after it.
    forEachPrefix(posts_[range], [&](const Path& node) {
      if (range == 0 || pathOrder(node, posts_[range - 1]) > 0) {
        send_[rangeOf(priorityPath(node))] = true;
      }
    });
  }

  // Consecutive ranges to send as one, each widened backwards until its data can carry every
  // priority it covers.
  std::vector<std::pair<size_t, size_t>> spans(const NodePtr& root) {
    while (true) {
      auto result = consecutive();
      bool widened = false;
      for (const auto& [first, last] : result) {
        switch (missingPriority(root, first, last)) {
          case Missing::kNothing:
            continue;
          case Missing::kBeforeStart:
            send_[first - 1] = true;
            break;
          case Missing::kAfterEnd:
            send_[last + 1] = true;
            break;
        }
        widened = true;
      }
      if (!widened) return result;
    }
  }

  std::optional<Path> start(size_t first) const {
    return first > 0 ? std::optional<Path>(posts_[first - 1]) : std::nullopt;
  }
  std::optional<Path> end(size_t last) const {
    return last < posts_.size() ? std::optional<Path>(posts_[last]) : std::nullopt;
  }

 private:
  size_t rangeOf(const Path& path) const {
    size_t range = 0;
    while (range < posts_.size() && pathOrder(path, posts_[range]) > 0) ++range;
    return range;
  }

  std::vector<std::pair<size_t, size_t>> consecutive() const {
    std::vector<std::pair<size_t, size_t>> result;
    for (size_t i = 0; i < send_.size(); ++i) {
      if (!send_[i]) continue;
      if (!result.empty() && result.back().second + 1 == i) {
        result.back().second = i;
      } else {
        result.emplace_back(i, i);
      }
    }
    return result;
  }

  // Whether the span's data misses a priority the client places inside it, on the way to its
  // start (it must reach further back) or to its end (further on).
  enum class Missing { kNothing, kBeforeStart, kAfterEnd };
  Missing missingPriority(const NodePtr& root, size_t first, size_t last) const {
    std::optional<Path> start = this->start(first);
    std::optional<Path> end = this->end(last);
    NodePtr range = dataInRange(root, start, end);
    auto misses = [&](const Path& path) {
      NodePtr node = data_.getChild(path);
      if (node->isLeafNode() || node->getPriority()->isEmpty()) return false;
      if (!priorityInRange(path, start, end)) return false;
      // A node without children cannot carry a priority to the client.
      NodePtr carried = range->getChild(path);
      return carried->isEmpty() || !carried->getPriority()->equals(*node->getPriority());
    };
    Missing missing = Missing::kNothing;
    if (start)
      forEachPrefix(*start, [&](const Path& path) {
        if (missing == Missing::kNothing && misses(path)) missing = Missing::kBeforeStart;
      });
    if (end)
      forEachPrefix(*end, [&](const Path& path) {
        if (missing == Missing::kNothing && misses(path)) missing = Missing::kAfterEnd;
      });
    return missing;
  }

  const Node& data_;
  const std::vector<Path>& posts_;
  std::vector<bool> send_;
};

}  // namespace

std::optional<boost::json::array> differingRanges(const Node& data,
                                                  const boost::json::value& compoundHash) {
  const auto* object = compoundHash.if_object();
  const auto* postsField = object ? object->if_contains(wire::kCompoundHashPosts) : nullptr;
  const auto* hashesField = object ? object->if_contains(wire::kCompoundHashHashes) : nullptr;
  const auto* postTexts = postsField ? postsField->if_array() : nullptr;
  const auto* hashTexts = hashesField ? hashesField->if_array() : nullptr;
  if (!postTexts || !hashTexts || hashTexts->size() != postTexts->size() + 1) return std::nullopt;
  std::vector<Path> posts;
  for (const auto& post : *postTexts) {
    if (!post.is_string()) return std::nullopt;
    posts.emplace_back(std::string_view(post.get_string()));
  }
  for (const auto& hash : *hashTexts) {
    if (!hash.is_string()) return std::nullopt;
  }
  NodePtr root = data.shared_from_this();
  std::vector<std::string> hashes = rangeHashes(data, posts);
  RangeSelection selection(data, posts);
  for (size_t i = 0; i < hashes.size(); ++i) {
    if (hashes[i] != (*hashTexts)[i].get_string()) selection.markDiffering(i);
  }
  boost::json::array ranges;
  for (const auto& [first, last] : selection.spans(root)) {
    std::optional<Path> start = selection.start(first);
    std::optional<Path> end = selection.end(last);
    boost::json::object range;
    if (start) range[wire::kRangeStart] = start->wireFormat();
    if (end) range[wire::kRangeEnd] = end->wireFormat();
    range[wire::kRangeUpdates] = jsonOfNode(*dataInRange(root, start, end));
    ranges.push_back(std::move(range));
  }
  return ranges;
}

}  // namespace dz::devserver
