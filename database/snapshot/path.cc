#include "database/snapshot/path.h"

#include <algorithm>

#include "platform/exception.h"

namespace dz::database {
namespace {

void appendSegments(std::vector<std::string>& keys, std::string_view text) {
  while (!text.empty()) {
    size_t slash = text.find('/');
    std::string_view segment = text.substr(0, slash);
    if (!segment.empty()) keys.emplace_back(segment);
    if (slash == std::string_view::npos) break;
    text.remove_prefix(slash + 1);
  }
}

const std::string& emptyKey() {
  static const std::string key;
  return key;
}

}  // namespace

Path::Path(std::string_view pathString) {
  std::vector<std::string> keys;
  appendSegments(keys, pathString);
  if (keys.empty()) return;
  end_ = keys.size();
  keys_ = std::make_shared<const std::vector<std::string>>(std::move(keys));
}

Path::Path(std::vector<std::string> keys) {
  std::erase_if(keys, [](const std::string& key) { return key.empty(); });
  if (keys.empty()) return;
  end_ = keys.size();
  keys_ = std::make_shared<const std::vector<std::string>>(std::move(keys));
}

std::span<const std::string> Path::keys() const {
  if (isEmpty()) return {};
  return std::span<const std::string>(keys_->data() + begin_, size());
}

Path Path::child(const Path& childPath) const {
  if (childPath.isEmpty()) return *this;
  if (isEmpty()) return childPath;
  std::vector<std::string> keys;
  keys.reserve(size() + childPath.size());
  keys.insert(keys.end(), this->keys().begin(), this->keys().end());
  keys.insert(keys.end(), childPath.keys().begin(), childPath.keys().end());
  return Path(std::make_shared<const std::vector<std::string>>(std::move(keys)), 0,
              size() + childPath.size());
}

Path Path::child(std::string_view keyOrPathString) const {
  std::vector<std::string> keys;
  keys.reserve(size() + 1);
  keys.insert(keys.end(), this->keys().begin(), this->keys().end());
  appendSegments(keys, keyOrPathString);
  if (keys.size() == size()) return *this;
  size_t count = keys.size();
  return Path(std::make_shared<const std::vector<std::string>>(std::move(keys)), 0, count);
}

std::optional<Path> Path::parent() const {
  if (isEmpty()) return std::nullopt;
  if (size() == 1) return Path();
  return Path(keys_, begin_, end_ - 1);
}

const std::string& Path::front() const { return isEmpty() ? emptyKey() : (*keys_)[begin_]; }

const std::string& Path::back() const { return isEmpty() ? emptyKey() : (*keys_)[end_ - 1]; }

Path Path::popFront() const {
  if (size() <= 1) return Path();
  return Path(keys_, begin_ + 1, end_);
}

std::string Path::toString() const {
  if (isEmpty()) return "/";
  std::string text;
  for (const std::string& key : keys()) {
    text += '/';
    text += key;
  }
  return text;
}

std::string Path::wireFormat() const {
  if (isEmpty()) return "/";
  std::string text;
  for (const std::string& key : keys()) {
    if (!text.empty()) text += '/';
    text += key;
  }
  return text;
}

bool Path::contains(const Path& other) const {
  if (size() > other.size()) return false;
  auto mine = keys();
  return std::equal(mine.begin(), mine.end(), other.keys().begin());
}

Path Path::relativePath(const Path& outer, const Path& inner) {
  if (!outer.contains(inner)) {
    throw Exception(
        kInternalInconsistencyException,
        "innerPath (" + inner.toString() + ") is not within outerPath (" + outer.toString() + ")");
  }
  if (outer.size() == inner.size()) return Path();
  return Path(inner.keys_, inner.begin_ + outer.size(), inner.end_);
}

std::strong_ordering operator<=>(const Path& a, const Path& b) {
  auto left = a.keys();
  auto right = b.keys();
  return std::lexicographical_compare_three_way(left.begin(), left.end(), right.begin(),
                                                right.end());
}

bool operator==(const Path& a, const Path& b) {
  if (a.size() != b.size()) return false;
  auto left = a.keys();
  return std::equal(left.begin(), left.end(), b.keys().begin());
}

size_t Path::hash() const {
  size_t seed = size();
  for (const std::string& key : keys()) {
    seed ^= std::hash<std::string>()(key) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  }
  return seed;
}

}  // namespace dz::database
