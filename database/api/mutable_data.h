// MutableData: the editable view of the data that a transaction's update function works on.
// Every view of one transaction run shares one holder of the data, so a change made through
// any view is seen through all of them. A copyable handle; views and their holder are used only
// by the update function while it runs (on the work queue) and take no lock.
//
// Values and priorities that cannot be stored throw dz::Exception ("InvalidDezuvuraData" and
// related names), and bad child paths "InvalidPathValidation", on the caller's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/api/data_snapshot.h"
#include "platform/exception.h"
#include "platform/value.h"

namespace dz::database {

class MutableData {
 public:
  // A view of a new holder whose data is `node` (the empty node when null).
  explicit MutableData(NodePtr node);

  // The value and priority at this view, as a snapshot reads them.
  Value value() const;
  Value priority() const;
  // Replaces the data at this view; null removes it.
  void setValue(const Value& value);
  // Replaces the priority of the data at this view; null removes it.
  void setPriority(const Value& priority);

  bool hasChildren() const;
  bool hasChildAtPath(std::string_view path) const;
  uint64_t childrenCount() const;
  // The children in priority order, as views.
  detail::ChildSequence<MutableData> children() const;
  // The view at a relative path below this one.
  MutableData childDataByAppendingPath(std::string_view path) const;
  // The view above this one; none at the top.
  std::optional<MutableData> parent() const;
  // The last key of the view's path; none at the top.
  std::optional<std::string> key() const;

  // The data at this view; the repository commits it.
  NodePtr nodeValue() const;

  // Views of the very same holder at the same path.
  bool isEqualToData(const MutableData& other) const;
  friend bool operator==(const MutableData& a, const MutableData& b) { return a.isEqualToData(b); }
  // "DZMutableData (<key>) <value>", or "DZMutableData (top-most transaction) ..." at the top.
  std::string description() const;

 private:
  struct Holder;
  struct Location;
  MutableData(std::shared_ptr<Holder> holder, std::shared_ptr<const Location> location);
  const Path& prefix() const;

  std::shared_ptr<Holder> holder_;
  std::shared_ptr<const Location> location_;
};

}  // namespace dz::database
