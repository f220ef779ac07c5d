// Path: an immutable sequence of child keys addressing a location in the database tree. A cheap
// value type: copies share one immutable vector of keys, and parent() and popFront() only move
// the bounds. Keys are never empty. Safe to share between threads.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dz::database {

class Path {
 public:
  // The root (no keys).
  Path() = default;
  // The keys of the "/"-separated text; empty pieces are dropped ("//a/b/" is "/a/b").
  explicit Path(std::string_view pathString);
  // The given keys in order; empty keys are dropped.
  explicit Path(std::vector<std::string> keys);

  static Path empty() { return Path(); }

  // This path extended by the other's keys.
  Path child(const Path& childPath) const;
  // This path extended by the "/"-separated non-empty segments of the text; a plain key
  // (keys never hold "/") appends itself.
  Path child(std::string_view keyOrPathString) const;
  Path childFromString(std::string_view pathString) const { return child(pathString); }

  // The path without its last key; none at the root.
  std::optional<Path> parent() const;
  // First and last key; the empty string at the root (no key is ever empty).
  const std::string& front() const;
  const std::string& back() const;
  // The path without its first key; the root stays the root.
  Path popFront() const;

  bool isEmpty() const { return begin_ == end_; }
  size_t size() const { return end_ - begin_; }
  // The keys, first to last.
  std::span<const std::string> keys() const;
  const std::string& operator[](size_t index) const { return (*keys_)[begin_ + index]; }

  // "/a/b", or "/" for the root.
  std::string toString() const;
  std::string description() const { return toString(); }
  // "a/b", or "/" for the root.
  std::string wireFormat() const;

  // True when `other` is this path or lies below it.
  bool contains(const Path& other) const;
  // The path that leads from `outer` to `inner`. Throws dz::Exception
  // "NSInternalInconsistencyException" when `inner` is not within `outer`.
  static Path relativePath(const Path& outer, const Path& inner);

  // Key by key in plain byte order of the keys, a shorter prefix first. This is an order for
  // containers, not the database's key order (which puts integer keys first).
  friend std::strong_ordering operator<=>(const Path& a, const Path& b);
  friend bool operator==(const Path& a, const Path& b);

  size_t hash() const;

 private:
  Path(std::shared_ptr<const std::vector<std::string>> keys, size_t begin, size_t end)
      : keys_(std::move(keys)), begin_(begin), end_(end) {}

  std::shared_ptr<const std::vector<std::string>> keys_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace dz::database

template <>
struct std::hash<dz::database::Path> {
  size_t operator()(const dz::database::Path& path) const noexcept { return path.hash(); }
};
