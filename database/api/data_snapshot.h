// DataSnapshot: the immutable data at one location as an observer or a transaction completion
// receives it, together with the location it was read at. A copyable handle over shared
// immutable state: cheap to copy and safe to read from any thread.
//
// Bad paths given to hasChild and childSnapshot throw dz::Exception "InvalidPathValidation" on
// the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/exception.h"
#include "platform/value.h"

namespace dz::database {

class DatabaseReference;
class IndexedNode;
class NodePtr;
class Path;
class Repo;

namespace detail {

// Walks the children of a node in the order of its index; shared by the child sequences of
// snapshots and mutable data so the index machinery stays out of the public headers.
class ChildCursor {
 public:
  ChildCursor() = default;
  explicit ChildCursor(const IndexedNode& node);

  bool atEnd() const;
  const std::string& key() const;
  const NodePtr& node() const;
  void next();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The children of a node as views of type T, each made as the caller advances to it.
template <class T>
class ChildSequence {
 public:
  using Make = std::function<T(const std::string& key, const NodePtr& node)>;

  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using difference_type = std::ptrdiff_t;
    using value_type = T;
    using reference = T;

    Iterator() = default;
    T operator*() const { return (*make_)(cursor_.key(), cursor_.node()); }
    Iterator& operator++() {
      cursor_.next();
      return *this;
    }
    void operator++(int) { cursor_.next(); }
    // Input iterators: only the end position compares equal to the end.
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.cursor_.atEnd() && b.cursor_.atEnd();
    }

   private:
    friend class ChildSequence;
    Iterator(ChildCursor cursor, const Make* make) : cursor_(std::move(cursor)), make_(make) {}
    ChildCursor cursor_;
    const Make* make_ = nullptr;
  };

  ChildSequence(ChildCursor cursor, Make make)
      : cursor_(std::move(cursor)), make_(std::move(make)) {}

  // One pass: the sequence's iterators share its cursor.
  Iterator begin() const { return Iterator(cursor_, &make_); }
  Iterator end() const { return Iterator(); }

 private:
  ChildCursor cursor_;
  Make make_;
};

}  // namespace detail

class DataSnapshot {
 public:
  // The data `node` read at `ref`; children are walked in the order of the node's index.
  DataSnapshot(const DatabaseReference& ref, const IndexedNode& node);
  // The same for the location `path` of the repository (none for a detached snapshot).
  DataSnapshot(std::shared_ptr<Repo> repo, const Path& path, const IndexedNode& node);

  // The plain value: null when there is no data; a map of children, or an array when every key
  // is a small integer key; priorities left out.
  Value value() const;
  // The value with priorities (".value" / ".priority") and never as an array.
  Value valueInExportFormat() const;
  // The priority's value: a string, a number or null.
  Value priority() const;

  bool exists() const;
  bool hasChildren() const;
  // Whether there is data at the relative path.
  bool hasChild(std::string_view path) const;
  uint64_t childrenCount() const;

  // The data at a relative path (a snapshot that does not exist when there is none), its
  // children ordered by priority.
  DataSnapshot childSnapshot(std::string_view path) const;
  // The children in the order of this snapshot's index, as snapshots ordered by priority.
  detail::ChildSequence<DataSnapshot> children() const;

  // The last key of the location; none at the root.
  std::optional<std::string> key() const;
  DatabaseReference ref() const;
  // "Snap (<key>) <data>".
  std::string description() const;

  // The data itself, for the engine and the repository.
  const IndexedNode& indexedNode() const;
  const NodePtr& node() const;
  // Where the data was read.
  const Path& path() const;

 private:
  struct State;
  std::shared_ptr<const State> state_;
};

}  // namespace dz::database
