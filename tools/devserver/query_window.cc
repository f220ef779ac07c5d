#include "tools/devserver/query_window.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "database/snapshot/query_params.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"

namespace dz::devserver {

using database::LeafNode;
using database::Node;
using database::NodePtr;

namespace {

constexpr std::string_view kPriorityIndex = ".priority";
constexpr std::string_view kKeyIndex = ".key";
constexpr std::string_view kValueIndex = ".value";

int sign(auto difference) { return difference < 0 ? -1 : (difference > 0 ? 1 : 0); }

// Plain byte order of the UTF-8 text.
int compareBytes(std::string_view a, std::string_view b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return sign(static_cast<int64_t>(a.size()) - static_cast<int64_t>(b.size()));
}

// Non-empty, only ASCII digits, fitting a signed 64-bit integer.
std::optional<int64_t> integerKey(std::string_view key) {
  if (key.empty()) return std::nullopt;
  for (char c : key) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  int64_t value = 0;
  auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), value);
  if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
  return value;
}

// An int64 and a double by their exact values.
int compareIntWithDouble(int64_t a, double b) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (b >= kTwoTo63) return -1;
  if (b < -kTwoTo63) return 1;
  double whole = std::trunc(b);
  auto wholeInt = static_cast<int64_t>(whole);
  if (a != wholeInt) return a < wholeInt ? -1 : 1;
  return sign(whole - b);  // a equals the whole part: b's fraction decides
}

int compareNumbers(const LeafNode::Data& a, const LeafNode::Data& b) {
  const auto* intA = std::get_if<int64_t>(&a);
  const auto* intB = std::get_if<int64_t>(&b);
  if (intA && intB) return *intA < *intB ? -1 : (*intA > *intB ? 1 : 0);
  if (intA) return compareIntWithDouble(*intA, std::get<double>(b));
  if (intB) return -compareIntWithDouble(*intB, std::get<double>(a));
  double x = std::get<double>(a);
  double y = std::get<double>(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// The place of a value in the value order: null, booleans, numbers, strings, placeholders,
// children nodes.
enum Rank { kNull, kBoolean, kNumber, kString, kPlaceholder, kChildren };

Rank rankOf(const Node& node) {
  if (node.isEmpty()) return kNull;
  if (!node.isLeafNode()) return kChildren;
  const LeafNode::Data& data = static_cast<const LeafNode&>(node).value();
  if (std::holds_alternative<bool>(data)) return kBoolean;
  if (std::holds_alternative<int64_t>(data) || std::holds_alternative<double>(data)) {
    return kNumber;
  }
  if (std::holds_alternative<std::string>(data)) return kString;
  return kPlaceholder;
}

}  // namespace

int keyOrder(std::string_view a, std::string_view b) {
  if (a == b) return 0;
  const std::string& minName = database::minName();
  const std::string& maxName = database::maxName();
  if (a == minName || b == maxName) return -1;
  if (a == maxName || b == minName) return 1;
  std::optional<int64_t> intA = integerKey(a);
  std::optional<int64_t> intB = integerKey(b);
  if (intA && intB && *intA != *intB) return *intA < *intB ? -1 : 1;
  if (intA && !intB) return -1;
  if (intB && !intA) return 1;
  return compareBytes(a, b);
}

int valueOrder(const Node& a, const Node& b) {
  Rank rankA = rankOf(a);
  Rank rankB = rankOf(b);
  if (rankA != rankB) return rankA < rankB ? -1 : 1;
  if (rankA == kNull || rankA == kChildren) return 0;
  const LeafNode::Data& x = static_cast<const LeafNode&>(a).value();
  const LeafNode::Data& y = static_cast<const LeafNode&>(b).value();
  switch (rankA) {
    case kBoolean:
      return sign(static_cast<int>(std::get<bool>(x)) - static_cast<int>(std::get<bool>(y)));
    case kNumber:
      return compareNumbers(x, y);
    case kString:
      return compareBytes(std::get<std::string>(x), std::get<std::string>(y));
    default:
      return compareBytes(std::get<LeafNode::Placeholder>(x)->toJsonString(),
                          std::get<LeafNode::Placeholder>(y)->toJsonString());
  }
}

std::optional<QueryWindow> QueryWindow::fromWire(const boost::json::value& query) {
  QueryWindow window;
  if (query.is_null()) return window;
  const auto* object = query.if_object();
  if (!object) return std::nullopt;
  auto text = [&](const char* key, std::optional<std::string>& into) {
    const auto* member = object->if_contains(key);
    if (member && !member->is_string()) return false;
    if (member) into = std::string(member->get_string());
    return true;
  };
  std::optional<std::string> index, viewFrom;
  if (!text(database::kQueryParamIndex, index) || !text(database::kQueryParamViewFrom, viewFrom)) {
    return std::nullopt;
  }
  if (index && *index == kKeyIndex) {
    window.index_ = IndexKind::kKey;
  } else if (index && *index == kValueIndex) {
    window.index_ = IndexKind::kValue;
  } else if (index && *index != kPriorityIndex) {
    window.index_ = IndexKind::kPath;
    window.indexPath_ = database::Path(*index);
    if (window.indexPath_.isEmpty()) return std::nullopt;
  }
  bool malformed = false;
  window.start_ = window.readBound(*object, database::kQueryParamStartValue,
                                   database::kQueryParamStartName, database::minName(), malformed);
  window.end_ = window.readBound(*object, database::kQueryParamEndValue,
                                 database::kQueryParamEndName, database::maxName(), malformed);
  if (malformed) return std::nullopt;
  if (const auto* limit = object->if_contains(database::kQueryParamLimit)) {
    if (limit->is_int64() && limit->get_int64() >= 0) {
      window.limit_ = limit->get_int64();
    } else if (limit->is_uint64()) {
      window.limit_ = INT64_MAX;
    } else {
      return std::nullopt;
    }
    if (viewFrom && *viewFrom != database::kViewFromLeft && *viewFrom != database::kViewFromRight) {
      return std::nullopt;
    }
    // Without an anchor the window reads from its start, unless only its end is bounded; with
    // both bounds the anchor is needed.
    if (!viewFrom && window.start_ && window.end_) return std::nullopt;
    window.fromStart_ =
        viewFrom ? *viewFrom == database::kViewFromLeft : !(window.end_ && !window.start_);
  }
  return window;
}

std::optional<QueryWindow::Post> QueryWindow::readBound(const boost::json::object& query,
                                                        const char* valueKey, const char* nameKey,
                                                        std::string_view defaultName,
                                                        bool& malformed) const {
  const auto* value = query.if_contains(valueKey);
  const auto* name = query.if_contains(nameKey);
  if (name && !name->is_string()) malformed = true;
  if (!value) return std::nullopt;
  Post post{database::SnapshotUtilities::tryNodeFromJson(*value),
            name && name->is_string() ? std::string(name->get_string()) : std::string(defaultName)};
  if (!post.value) malformed = true;
  // Ordered by key, the bound's value is the key; one that is not a string leaves the name.
  if (index_ == IndexKind::kKey && post.value && post.value->isLeafNode()) {
    const auto& data = static_cast<const LeafNode&>(*post.value).value();
    if (const auto* key = std::get_if<std::string>(&data)) post.key = *key;
  }
  return post;
}

NodePtr QueryWindow::indexValue(const Node& child) const {
  switch (index_) {
    case IndexKind::kPriority:
      return child.getPriority();
    case IndexKind::kKey:
      return database::EmptyNode::emptyNode();
    case IndexKind::kValue:
      return child.shared_from_this();
    case IndexKind::kPath:
      return child.getChild(indexPath_);
  }
  return database::EmptyNode::emptyNode();
}

int QueryWindow::compare(const Post& a, const Post& b) const {
  if (index_ != IndexKind::kKey) {
    if (int byValue = valueOrder(*a.value, *b.value)) return byValue;
  }
  return keyOrder(a.key, b.key);
}

bool QueryWindow::inBounds(const std::string& key, const Node& child) const {
  Post post{indexValue(child), key};
  return (!start_ || compare(post, *start_) >= 0) && (!end_ || compare(post, *end_) <= 0);
}

NodePtr QueryWindow::select(const NodePtr& data) const {
  if (data->isLeafNode()) return database::EmptyNode::emptyNode();
  std::vector<std::pair<Post, NodePtr>> children;
  for (const auto& entry : data->children()) {
    if (!inBounds(entry.key, *entry.value)) continue;
    children.emplace_back(Post{indexValue(*entry.value), entry.key}, entry.value);
  }
  if (limit_ && children.size() > static_cast<uint64_t>(*limit_)) {
    std::sort(children.begin(), children.end(),
              [&](const auto& a, const auto& b) { return compare(a.first, b.first) < 0; });
    auto kept = static_cast<std::ptrdiff_t>(*limit_);
    if (fromStart_) {
      children.erase(children.begin() + kept, children.end());
    } else {
      children.erase(children.begin(), children.end() - kept);
    }
  }
  database::ChildMap window;
  for (auto& [post, child] : children) window = window.insert(post.key, child);
  return database::ChildrenNode::create(std::move(window));
}

}  // namespace dz::devserver
